// What only the Linux settings file has: GBK files carried over from a
// Windows copy, and the atomic replacement of the file.
#include <gtest/gtest.h>
#include <iconv.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "settings/ini_file.h"
#include "settings/profile_text.h"

namespace pavo {
namespace {

namespace fs = std::filesystem;

std::string Gbk(const std::string& utf8) {
  iconv_t cd = iconv_open("GBK", "UTF-8");
  std::string out(utf8.size() * 2, '\0');
  char* in = const_cast<char*>(utf8.data());
  char* dst = out.data();
  size_t in_left = utf8.size(), out_left = out.size();
  const size_t r = iconv(cd, &in, &in_left, &dst, &out_left);
  iconv_close(cd);
  if (r == static_cast<size_t>(-1)) ADD_FAILURE() << "no GBK form: " << utf8;
  out.resize(out.size() - out_left);
  return out;
}

std::string Repeat(const std::string& s, int n) {
  std::string r;
  for (int i = 0; i < n; ++i) r += s;
  return r;
}

class Dir {
 public:
  Dir() {
    char name[] = "/tmp/pavo-settings-XXXXXX";
    path_ = mkdtemp(name);
  }
  ~Dir() { fs::remove_all(path_); }
  std::string File(const char* name = "cfg.ini") const { return path_ + "/" + name; }
  void Put(const std::string& bytes, const char* name = "cfg.ini") const {
    std::ofstream(File(name), std::ios::binary) << bytes;
  }
  std::optional<std::string> Get(const char* name = "cfg.ini") const {
    std::ifstream in(File(name), std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(path_)) names.push_back(e.path().filename());
    std::sort(names.begin(), names.end());
    return names;
  }
  mode_t Mode(const char* name = "cfg.ini") const {
    struct stat st {};
    EXPECT_EQ(stat(File(name).c_str(), &st), 0);
    return st.st_mode & 07777;
  }

 private:
  std::string path_;
};

const std::vector<std::string> kOnlyTheFile = {"cfg.ini"};

const std::string kWindowsFile =
    "[Config]\r\n开机自启动=1\r\n设为壁纸=0\r\n延迟运行=12.5\r\n域名=https://a.example\r\n备用域名=壁纸\r\n";

TEST(GbkFile, IsReadAsGbkAndAnsweredInUtf8) {
  // The encoder the test relies on gives the bytes Windows writes.
  ASSERT_EQ(Gbk("开机自启动"), "\xBF\xAA\xBB\xFA\xD7\xD4\xC6\xF4\xB6\xAF");
  Dir d;
  const std::string bytes = Gbk(kWindowsFile);
  ASSERT_FALSE(profile::IsUtf8(bytes));
  d.Put(bytes);
  EXPECT_EQ(ReadIniValue("Config", "开机自启动", d.File()), "1");
  EXPECT_EQ(ReadIniValue("config", "设为壁纸", d.File()), "0");
  EXPECT_EQ(ReadIniValue("Config", "延迟运行", d.File()), "12.5");
  EXPECT_EQ(ReadIniValue("Config", "域名", d.File()), "https://a.example");
  EXPECT_EQ(ReadIniValue("Config", "备用域名", d.File()), "壁纸");
  EXPECT_EQ(ReadIniValue("Config", "缺少", d.File()), "");
  EXPECT_EQ(ReadIniValue("Config", "😀", d.File()), "") << "a name with no GBK form";
  EXPECT_EQ(d.Get(), bytes);
}

// A GBK trail byte can be an ASCII letter or "]": 丄 is 81 41 ("A"), 乤 is
// 81 61 ("a"), 乚 is 81 5D ("]"). Only whole characters may be compared,
// folded or searched.
TEST(GbkFile, TrailBytesAreNeverTakenForAscii) {
  struct Case {
    const char* what;
    std::string file;
    const char* section;
    const char* key;
    std::string want;
  };
  const std::vector<Case> cases = {
      {"trail byte A is not folded to a", "[A]\r\n丄=1\r\n", "A", "乤", ""},
      {"the same character matches", "[A]\r\n丄=1\r\n乤=2\r\n", "A", "乤", "2"},
      {"trail byte ] does not end the header", "[乚]\r\nk=v\r\n", "乚", "k", "v"},
      {"cut keeps whole characters", "[A]\r\nk=a" + Repeat("中", 150) + "\r\n", "A", "k", "a" + Repeat("中", 127)},
      {"cut keeps whole characters, even", "[A]\r\nk=" + Repeat("中", 150) + "\r\n", "A", "k", Repeat("中", 127)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Dir d;
    ASSERT_FALSE(profile::IsUtf8(Gbk(c.file)));
    d.Put(Gbk(c.file));
    EXPECT_EQ(ReadIniValue(c.section, c.key, d.File()), c.want);
  }
  // Bytes that are not GBK either still come back as valid UTF-8.
  Dir d;
  d.Put("[A]\r\nk=\xD6\xD0\xFF\x80\xFE\r\n");
  EXPECT_EQ(ReadIniValue("A", "k", d.File()), "中\xEF\xBF\xBD€\xEF\xBF\xBD");
}

TEST(GbkFile, StaysGbkWhenWritten) {
  Dir d;
  d.Put(Gbk(kWindowsFile));
  EXPECT_NE(WriteIniValue("Config", "设为壁纸", "1", d.File()), 0);
  EXPECT_NE(WriteIniValue("Config", "新键", "中文", d.File()), 0);
  const std::string want = Gbk(
      "[Config]\r\n开机自启动=1\r\n设为壁纸=1\r\n延迟运行=12.5\r\n域名=https://a.example\r\n备用域名=壁纸\r\n"
      "新键=中文\r\n");
  EXPECT_EQ(d.Get(), want);
  // Text with no GBK form is refused, not stored as question marks.
  EXPECT_EQ(WriteIniValue("Config", "设为壁纸", "😀", d.File()), 0);
  EXPECT_EQ(WriteIniValue("Config", "ключ😀", "1", d.File()), 0);
  EXPECT_EQ(d.Get(), want);
  EXPECT_EQ(d.Names(), kOnlyTheFile);
}

// A UTF-8 file stays valid UTF-8: what the program writes never adds a line
// in another encoding.
TEST(Utf8File, RefusesTextThatIsNotUtf8) {
  Dir d;
  const std::string file = "[Config]\r\n开机自启动=0\r\n";
  d.Put(file);
  EXPECT_EQ(WriteIniValue("Config", "开机自启动", "\xD6\xD0", d.File()), 0);
  EXPECT_EQ(WriteIniValue("Config", "\xFF", "1", d.File()), 0);
  EXPECT_EQ(WriteIniValue("\xC3", "k", "1", d.File()), 0);
  EXPECT_EQ(d.Get(), file);
  EXPECT_EQ(ReadIniValue("Config", "开机自启动", d.File()), "0");
}

// A line the reader cannot decode costs that line alone; a file from either
// Windows (GBK from a Chinese one, UTF-16 from any other) reads as written.
TEST(Encodings, OneStrayLineCostsThatLineAloneAndEveryWindowsFileIsRead) {
  const std::string keys = "开机自启动=1\r\n设为壁纸=0\r\n域名=https://a.example\r\n";
  const std::string stray = "; \xFF\xFE\r\n";
  const auto utf16 = [](const std::string& utf8, bool big_endian) {
    std::string out = big_endian ? "\xFE\xFF" : "\xFF\xFE";
    iconv_t cd = iconv_open(big_endian ? "UTF-16BE" : "UTF-16LE", "UTF-8");
    std::string buf(utf8.size() * 4, '\0');
    char* in = const_cast<char*>(utf8.data());
    char* dst = buf.data();
    size_t in_left = utf8.size(), out_left = buf.size();
    iconv(cd, &in, &in_left, &dst, &out_left);
    iconv_close(cd);
    return out + buf.substr(0, buf.size() - out_left);
  };
  struct Case {
    const char* what;
    std::string file;
    const char* key;
    std::string want;
  };
  const std::vector<Case> cases = {
      {"UTF-8, a comment that is no UTF-8", "[Config]\r\n" + stray + keys, "域名", "https://a.example"},
      {"UTF-8, a comment in GBK", "[Config]\r\n" + Gbk("; 注释\r\n") + keys, "开机自启动", "1"},
      {"UTF-8, a broken value", "[Config]\r\n" + keys + "k=a\xFF\xC3" "b\r\n", "k", "a\uFFFD\uFFFDb"},
      {"UTF-8, the others beside a broken value", "[Config]\r\nk=a\xFF\r\n" + keys, "设为壁纸", "0"},
      {"GBK, a comment that is no GBK", Gbk("[Config]\r\n") + stray + Gbk(keys), "域名", "https://a.example"},
      {"GBK, its own keys", Gbk("[Config]\r\n" + keys), "开机自启动", "1"},
      {"GBK, one line that reads as UTF-8 too", Gbk("[Config]\r\n" + keys + "; 一\r\n"), "设为壁纸", "0"},
      {"UTF-16, little-endian", utf16("[Config]\r\n" + keys, false), "开机自启动", "1"},
      {"UTF-16, big-endian", utf16("[Config]\r\n" + keys, true), "域名", "https://a.example"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Dir d;
    d.Put(c.file);
    EXPECT_EQ(ReadIniValue("Config", c.key, d.File()), c.want);
  }
  // A UTF-16 file is never rewritten in another encoding.
  Dir d;
  d.Put(utf16("[Config]\r\n" + keys, false));
  EXPECT_EQ(WriteIniValue("Config", "设为壁纸", "1", d.File()), 0);
  EXPECT_EQ(d.Get(), utf16("[Config]\r\n" + keys, false));
}

// A settings file is read up to 1 MiB, however large it is, and a file too
// large to read whole is never rewritten.
TEST(Encodings, OnlyTheFirstMebibyteIsRead) {
  Dir d;
  const std::string junk(3u << 20, 'x');
  const std::string file = "[Config]\r\n域名=https://a.example\r\n;" + junk + "\r\n延迟运行=6\r\n";
  d.Put(file);
  EXPECT_EQ(ReadIniValue("Config", "域名", d.File()), "https://a.example");
  EXPECT_EQ(ReadIniValue("Config", "延迟运行", d.File()), "") << "beyond the first MiB";
  EXPECT_EQ(WriteIniValue("Config", "设为壁纸", "1", d.File()), 0);
  EXPECT_EQ(d.Get(), file);
  EXPECT_EQ(d.Names(), kOnlyTheFile);
}

// The file is replaced by a complete new one or not at all: no temporary
// file stays behind, the permission bits carry over, and a write that fails
// half-way leaves the old file.
TEST(AtomicReplace, LeavesTheOldFileOrTheNewOneAndNothingElse) {
  Dir d;
  const mode_t old_umask = umask(022);
  EXPECT_NE(WriteIniValue("Config", "k", "v", d.File()), 0);
  umask(old_umask);
  EXPECT_EQ(d.Mode(), 0644u) << "a new file gets 0666 less the umask";

  chmod(d.File().c_str(), 0604);
  EXPECT_NE(WriteIniValue("Config", "k", "w", d.File()), 0);
  EXPECT_EQ(d.Mode(), 0604u);
  EXPECT_EQ(d.Get(), "[Config]\r\nk=w\r\n");
  EXPECT_EQ(d.Names(), kOnlyTheFile);

  // A file-size limit makes the new file's write fail half-way.
  const std::string before = *d.Get();
  rlimit old_limit {};
  getrlimit(RLIMIT_FSIZE, &old_limit);
  auto old_handler = signal(SIGXFSZ, SIG_IGN);
  rlimit small = old_limit;
  small.rlim_cur = 64;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const std::int32_t result = WriteIniValue("Config", "k", std::string(200, 'x'), d.File());
  setrlimit(RLIMIT_FSIZE, &old_limit);
  signal(SIGXFSZ, old_handler);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(d.Get(), before);
  EXPECT_EQ(d.Names(), kOnlyTheFile);
}

TEST(AtomicReplace, WritesThroughALinkAndKeepsTheLink) {
  Dir d;
  d.Put("[Config]\r\nk=1\r\n", "real.ini");
  fs::create_symlink("real.ini", d.File());
  EXPECT_NE(WriteIniValue("Config", "k", "2", d.File()), 0);
  EXPECT_TRUE(fs::is_symlink(d.File()));
  EXPECT_EQ(d.Get("real.ini"), "[Config]\r\nk=2\r\n");
  EXPECT_EQ(d.Names(), (std::vector<std::string>{"cfg.ini", "real.ini"}));
}

TEST(AtomicReplace, NeverBlocksOnOrReplacesSomethingThatIsNoFile) {
  Dir d;
  ASSERT_EQ(mkfifo(d.File().c_str(), 0644), 0);
  EXPECT_EQ(ReadIniValue("Config", "k", d.File()), "");
  EXPECT_EQ(WriteIniValue("Config", "k", "v", d.File()), 0);
  struct stat st {};
  ASSERT_EQ(lstat(d.File().c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  EXPECT_EQ(d.Names(), kOnlyTheFile);
}

}  // namespace
}  // namespace pavo
