// What only the Linux settings file has: files carried over from Windows
// (GBK, UTF-16) read line by line as they were written, the 1 MiB cap, and
// the replacement of the whole file.
#include <gtest/gtest.h>
#include <iconv.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include "settings/ini_file.h"
#include "settings/settings_platform.h"
#include "support/scratch.h"

namespace pavo {

const bool test::kOnWindows = false;
std::string test::FileText(const std::string& utf8) { return utf8; }

namespace {

// Text in another encoding, converted by iconv (not by the program's own
// converter); UTF-16 gets its byte-order mark.
std::string In(const char* encoding, const std::string& utf8) {
  iconv_t cd = iconv_open(encoding, "UTF-8");
  std::string out(utf8.size() * 4, '\0');
  char* in = const_cast<char*>(utf8.data());
  char* to = out.data();
  size_t in_left = utf8.size(), out_left = out.size();
  EXPECT_NE(iconv(cd, &in, &in_left, &to, &out_left), static_cast<size_t>(-1)) << utf8;
  iconv_close(cd);
  out.resize(out.size() - out_left);
  if (std::string(encoding) == "UTF-16LE") return "\xFF\xFE" + out;
  return std::string(encoding) == "UTF-16BE" ? "\xFE\xFF" + out : out;
}

std::string Gbk(const std::string& utf8) { return In("GBK", utf8); }

const std::string kKeys = "[Config]\r\n开机自启动=1\r\n设为壁纸=0\r\n域名=https://a.example\r\n";

// One line that cannot be decoded costs that line alone, never the file. A
// GBK trail byte can be an ASCII letter or "]" (丄 is 81 41 "A", 乤 81 61 "a",
// 乚 81 5D "]"): only whole characters are compared, folded or cut.
TEST(SettingsFile, EachLineIsReadInTheEncodingItWasWrittenIn) {
  const std::string stray = "; \xFF\xFE\r\n";
  const struct {
    std::string file;
    const char* section;
    const char* key;
    std::string want;
  } rows[] = {
      {kKeys + stray, "Config", "域名", "https://a.example"},
      {"[Config]\r\n" + Gbk("; 注释\r\n") + kKeys.substr(10), "config", "开机自启动", "1"},
      {kKeys + "k=a\xFF\xC3" "b\r\n", "Config", "k", "a\uFFFD\uFFFDb"},
      {"[Config]\r\nk=a\xFF\r\n" + kKeys.substr(10), "Config", "设为壁纸", "0"},
      {Gbk("[Config]\r\n") + stray + Gbk(kKeys.substr(10)), "Config", "域名", "https://a.example"},
      {Gbk(kKeys + "; 一\r\n"), "config", "设为壁纸", "0"},
      {Gbk(kKeys), "Config", "😀", ""},  // no GBK form: in no GBK file
      {Gbk("[A]\r\n丄=1\r\n"), "A", "乤", ""},
      {Gbk("[A]\r\n丄=1\r\n乤=2\r\n"), "a", "乤", "2"},
      {Gbk("[乚]\r\nk=v\r\n"), "乚", "k", "v"},
      {"[A]\r\nk=\xD6\xD0\xFF\x80\xFE\r\n", "A", "k", "中\uFFFD€\uFFFD"},
      {In("UTF-16LE", kKeys), "Config", "开机自启动", "1"},
      {In("UTF-16BE", kKeys), "Config", "域名", "https://a.example"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.file);
    test::Scratch s("pavo-settings");
    test::Put(s / "cfg.ini", r.file);
    EXPECT_EQ(ReadIniValue(r.section, r.key, s / "cfg.ini"), r.want);
  }
  // A GBK value is cut to 255 GBK bytes, whole characters: 127 of them.
  test::Scratch s("pavo-settings");
  std::string zh;
  for (int i = 0; i < 150; ++i) zh += "中";
  for (const std::string& value : {zh, "a" + zh}) {
    test::Put(s / "cfg.ini", Gbk("[A]\r\nk=" + value + "\r\n"));
    EXPECT_EQ(ReadIniValue("A", "k", s / "cfg.ini"), value.substr(0, value.size() % 3 + 127 * 3));
  }
}

// A file is written back in its own encoding, or not at all: text it cannot
// hold is refused, never stored as question marks or as a line in another
// encoding, and a UTF-16 file is never rewritten.
TEST(SettingsFile, StaysInItsEncodingWhenWritten) {
  ASSERT_EQ(Gbk("开机自启动"), "\xBF\xAA\xBB\xFA\xD7\xD4\xC6\xF4\xB6\xAF");
  test::Scratch s("pavo-settings");
  test::Put(s / "cfg.ini", Gbk(kKeys));
  EXPECT_NE(WriteIniValue("Config", "设为壁纸", "1", s / "cfg.ini"), 0);
  EXPECT_NE(WriteIniValue("Config", "新键", "中文", s / "cfg.ini"), 0);
  const std::string want = Gbk("[Config]\r\n开机自启动=1\r\n设为壁纸=1\r\n域名=https://a.example\r\n新键=中文\r\n");
  EXPECT_EQ(test::Get(s / "cfg.ini"), want);
  EXPECT_EQ(WriteIniValue("Config", "设为壁纸", "😀", s / "cfg.ini"), 0);
  EXPECT_EQ(WriteIniValue("Config", "ключ😀", "1", s / "cfg.ini"), 0);
  EXPECT_EQ(test::Get(s / "cfg.ini"), want);

  test::Put(s / "cfg.ini", kKeys);
  EXPECT_EQ(WriteIniValue("Config", "开机自启动", "\xD6\xD0", s / "cfg.ini"), 0);
  EXPECT_EQ(WriteIniValue("Config", "\xFF", "1", s / "cfg.ini"), 0);
  EXPECT_EQ(WriteIniValue("\xC3", "k", "1", s / "cfg.ini"), 0);
  EXPECT_EQ(test::Get(s / "cfg.ini"), kKeys);

  test::Put(s / "cfg.ini", In("UTF-16LE", kKeys));
  EXPECT_EQ(WriteIniValue("Config", "设为壁纸", "1", s / "cfg.ini"), 0);
  EXPECT_EQ(test::Get(s / "cfg.ini"), In("UTF-16LE", kKeys));

  // Only the first MiB is read, and a file too large to read whole is never
  // rewritten.
  const std::string large = "[Config]\r\n域名=https://a.example\r\n;" + std::string(3 << 20, 'x') + "\r\n延迟运行=6\r\n";
  test::Put(s / "cfg.ini", large);
  EXPECT_EQ(ReadIniValue("Config", "域名", s / "cfg.ini"), "https://a.example");
  EXPECT_EQ(ReadIniValue("Config", "延迟运行", s / "cfg.ini"), "");
  EXPECT_EQ(WriteIniValue("Config", "设为壁纸", "1", s / "cfg.ini"), 0);
  EXPECT_EQ(test::Get(s / "cfg.ini"), large);
  EXPECT_EQ(s.Names(), std::vector<std::string>{"cfg.ini"});
}

mode_t Mode(const std::string& path) {
  struct stat st {};
  lstat(path.c_str(), &st);
  return st.st_mode;
}

// The file is replaced by a complete new one or not at all: the permission
// bits carry over, a link stays a link, a write that fails half-way (a full
// disk) leaves the old file, and what is no file is neither read nor replaced.
TEST(SettingsFile, IsReplacedWholeOrNotAtAll) {
  test::Scratch s("pavo-settings");
  const std::string file = s / "cfg.ini";
  const mode_t old_umask = umask(022);
  EXPECT_NE(WriteIniValue("Config", "k", "v", file), 0);
  umask(old_umask);
  EXPECT_EQ(Mode(file) & 07777, 0644u);
  chmod(file.c_str(), 0604);
  EXPECT_NE(WriteIniValue("Config", "k", "w", file), 0);
  EXPECT_EQ(Mode(file) & 07777, 0604u);

  rlimit limit{};
  getrlimit(RLIMIT_FSIZE, &limit);
  const auto handler = signal(SIGXFSZ, SIG_IGN);
  rlimit small = limit;
  small.rlim_cur = 64;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  const std::int32_t result = WriteIniValue("Config", "k", std::string(200, 'x'), file);
  setrlimit(RLIMIT_FSIZE, &limit);
  signal(SIGXFSZ, handler);
  EXPECT_EQ(result, 0);
  EXPECT_EQ(test::Get(file), "[Config]\r\nk=w\r\n");
  EXPECT_EQ(s.Names(), std::vector<std::string>{"cfg.ini"});

  fs::rename(s.dir() / "cfg.ini", s.dir() / "real.ini");
  fs::create_symlink("real.ini", s.dir() / "cfg.ini");
  EXPECT_NE(WriteIniValue("Config", "k", "2", file), 0);
  EXPECT_TRUE(S_ISLNK(Mode(file)));
  EXPECT_EQ(test::Get(s / "real.ini"), "[Config]\r\nk=2\r\n");

  fs::remove(s.dir() / "cfg.ini");
  ASSERT_EQ(mkfifo(file.c_str(), 0644), 0);
  EXPECT_EQ(ReadIniValue("Config", "k", file), "");
  EXPECT_EQ(WriteIniValue("Config", "k", "v", file), 0);
  EXPECT_TRUE(S_ISFIFO(Mode(file)));
  EXPECT_EQ(s.Names(), (std::vector<std::string>{"cfg.ini", "real.ini"}));
}

}  // namespace
}  // namespace pavo
