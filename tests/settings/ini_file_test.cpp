// The settings operations against the behaviour of the Windows profile
// functions. The same cases run on Linux (our own version) and on Windows
// (the real functions, under Wine). Where Wine answers otherwise, the case
// says so in its `wine` field; those are the known differences between the
// two platforms.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "settings/file_text.h"
#include "settings/ini_file.h"

namespace pavo {
namespace {

namespace fs = std::filesystem;
using namespace std::string_literals;
using test::FileText;
using test::kOnWindows;

fs::path FromUtf8(const std::string& s) { return fs::path(std::u8string(s.begin(), s.end())); }

std::string ToUtf8(const fs::path& p) {
  const std::u8string u = p.u8string();
  return std::string(u.begin(), u.end());
}

// A fresh directory of its own for every case: Wine keeps recently read
// profile files cached by name and time stamp.
class Scratch {
 public:
  explicit Scratch(const std::string& name = "pavo-settings") {
    static std::atomic<int> counter{0};
    const auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    dir_ = fs::temp_directory_path() /
           FromUtf8(name + "-" + std::to_string(stamp) + "-" + std::to_string(counter++));
    fs::create_directories(dir_);
  }
  ~Scratch() {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  Scratch(const Scratch&) = delete;
  Scratch& operator=(const Scratch&) = delete;

  const fs::path& dir() const { return dir_; }
  std::string Path(const std::string& name = "cfg.ini") const { return ToUtf8(dir_ / FromUtf8(name)); }

  void Put(const std::string& bytes, const std::string& name = "cfg.ini") const {
    std::ofstream out(dir_ / FromUtf8(name), std::ios::binary);
    out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(out.good());
  }
  std::optional<std::string> Get(const std::string& name = "cfg.ini") const {
    std::ifstream in(dir_ / FromUtf8(name), std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(dir_)) names.push_back(ToUtf8(e.path().filename()));
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  fs::path dir_;
};

std::string Repeat(const std::string& s, int n) {
  std::string r;
  for (int i = 0; i < n; ++i) r += s;
  return r;
}

const std::string kAlphabet300 = [] {
  std::string s;
  for (int i = 0; i < 300; ++i) s += static_cast<char>('a' + i % 26);
  return s;
}();

struct ReadCase {
  const char* what;
  std::string file;  // UTF-8; stored in the platform's encoding unless raw
  const char* section;
  const char* key;
  std::string want;
  std::optional<std::string> wine = std::nullopt;  // Wine's answer, where it differs
  bool raw = false;
};

const std::vector<ReadCase> kReadCases = {
    // Duplicates: the first section of a name and the first key in it win.
    {"first of two sections", "[A]\r\nk=1\r\n[A]\r\nk=2\r\nj=3\r\n", "A", "k", "1"},
    {"a key only in the second same-named section", "[A]\r\nk=1\r\n[A]\r\nk=2\r\nj=3\r\n", "A", "j", ""},
    {"first of two keys", "[A]\r\nk=1\r\nk=2\r\n", "A", "k", "1"},
    {"first key even when empty", "[A]\r\nk=\r\nk=2\r\n", "A", "k", ""},
    {"same key in another section", "[B]\r\nk=1\r\n[A]\r\nk=2\r\n", "A", "k", "2"},
    {"a section ends at the next header", "[A]\r\n[B]\r\nk=1\r\n", "A", "k", ""},
    {"keys before any header belong to no named section", "k=0\r\n[A]\r\nk=1\r\n", "A", "k", "1"},
    // Letter case: names match regardless of it; values keep it.
    {"section and key in other case", "[cOnFiG]\r\nKeY=VaLuE\r\n", "Config", "key", "VaLuE"},
    {"Chinese key", "[Config]\r\n设为壁纸=1\r\n延迟运行=6\r\n", "Config", "延迟运行", "6"},
    {"Chinese value", "[Config]\r\n域名=壁纸 服务\r\n", "Config", "域名", "壁纸 服务"},
    // Quotes: one pair of matching outer quotes goes.
    {"double quotes", "[A]\r\nk=\"v\"\r\n", "A", "k", "v"},
    {"single quotes", "[A]\r\nk='v'\r\n", "A", "k", "v"},
    {"quotes that do not match", "[A]\r\nk=\"v'\r\n", "A", "k", "\"v'"},
    {"opening quote only", "[A]\r\nk=\"v\r\n", "A", "k", "\"v"},
    {"closing quote only", "[A]\r\nk=v\"\r\n", "A", "k", "v\""},
    {"empty quotes", "[A]\r\nk=\"\"\r\n", "A", "k", ""},
    {"a lone quote", "[A]\r\nk=\"\r\n", "A", "k", "\""},
    {"quotes inside blanks", "[A]\r\nk= \"v\" \r\n", "A", "k", "v"},
    {"blanks inside quotes stay", "[A]\r\nk=\" v \"\r\n", "A", "k", " v "},
    {"only one pair goes", "[A]\r\nk='\"v\"'\r\n", "A", "k", "\"v\""},
    {"a quote inside stays", "[A]\r\nk=\"a\"b\"\r\n", "A", "k", "a\"b"},
    // Blanks around names and values.
    {"spaces", "[A]\r\n  k  =  v w  \r\n", "A", "k", "v w"},
    {"tabs", "[A]\r\n\tk\t=\tv\t\r\n", "A", "k", "v"},
    {"vertical tab and form feed", "[A]\r\nk=ab\v\f\r\n", "A", "k", "ab"},
    {"ideographic space is no blank", "[A]\r\nk=\u3000v\u3000\r\n", "A", "k", "\u3000v\u3000"},
    {"blank inside a key", "[A]\r\nk k=v\r\n", "A", "k k", "v"},
    {"blanks around the names asked for", "[A]\r\nk=v\r\n", " A ", "\tk ", "v"},
    {"blanks inside the brackets", "[ A ]\r\nk=v\r\n", "A", "k", "v"},
    {"indented header", "  [A]\r\nk=v\r\n", "A", "k", "v"},
    {"text after the header", "[A] old\r\nk=v\r\n", "A", "k", "v"},
    {"a header without its bracket", "[A\r\nk=v\r\n", "A", "k", ""},
    // Comments.
    {"comment line", "[A]\r\n;k=1\r\nk=2\r\n", "A", "k", "2"},
    {"indented comment line", "[A]\r\n  ;k=1\r\nk=2\r\n", "A", "k", "2"},
    {"a comment is no key", "[A]\r\n;k=1\r\n", "A", ";k", "", "1"},
    {"semicolon inside a value", "[A]\r\nk=a ; b\r\n", "A", "k", "a ; b"},
    {"commented header", "[A]\r\nk=1\r\n;[B]\r\nj=2\r\n", "A", "j", "2"},
    // Line ends.
    {"LF", "[A]\nx=0\nk=v\n", "A", "k", "v"},
    {"CR", "[A]\rx=0\rk=v\r", "A", "k", "v"},
    {"mixed", "[A]\r\nx=0\nk=v\rz=1\r\n", "A", "k", "v"},
    {"no end on the last line", "[A]\r\nk=v", "A", "k", "v"},
    // Lines without "=", and "=" elsewhere.
    {"a line without = is ignored", "[A]\r\nk\r\nk=v\r\n", "A", "k", "v", ""},
    {"= inside a value", "[A]\r\nk=a=b\r\n", "A", "k", "a=b"},
    {"the name asked for holds =", "[A]\r\nk=1\r\n", "A", "k=1", ""},
    {"empty value", "[Config]\r\n延迟运行=\r\n", "Config", "延迟运行", ""},
    // Absent section or key.
    {"absent section", "[A]\r\nk=v\r\n", "B", "k", ""},
    {"absent key", "[A]\r\nk=v\r\n", "A", "j", ""},
    {"empty file", "", "A", "k", ""},
    // NUL ends the text of a line, never the line.
    {"NUL inside a value", "[A]\r\nk=ab\0cd\r\n"s, "A", "k", "ab"},
    {"NUL on an earlier line", "[A]\r\nj=\0\r\nk=v\r\n"s, "A", "k", "v"},
    // A UTF-8 signature before the first header.
    {"UTF-8 signature", "\xEF\xBB\xBF[A]\r\nk=v\r\n", "A", "k", "v", std::nullopt, true},
};

TEST(ReadIniValue, FindsValuesAsTheProfileFunctionsDoAndLeavesTheFileAlone) {
  for (const ReadCase& c : kReadCases) {
    SCOPED_TRACE(c.what);
    Scratch s;
    const std::string bytes = c.raw ? c.file : FileText(c.file);
    s.Put(bytes);
    const std::string want = kOnWindows && c.wine ? *c.wine : c.want;
    EXPECT_EQ(ReadIniValue(c.section, c.key, s.Path()), want);
    EXPECT_EQ(s.Get(), bytes) << "a read changed the file";
    EXPECT_EQ(s.Names(), std::vector<std::string>{"cfg.ini"});
  }
}

TEST(ReadIniValue, AbsentFileOrDirectoryGivesEmptyAndCreatesNothing) {
  Scratch s;
  EXPECT_EQ(ReadIniValue("Config", "开机自启动", s.Path()), "");
  EXPECT_EQ(ReadIniValue("Config", "开机自启动", s.Path("missing/cfg.ini")), "");
  EXPECT_TRUE(s.Names().empty());
}

// A value comes back as at most 255 bytes of the file's encoding, and never
// with a NUL. Windows cuts GBK bytes (two per Chinese character); Linux cuts
// UTF-8 bytes (three per Chinese character) and never half a character.
TEST(ReadIniValue, CutsLongValuesTo255Bytes) {
  const std::string zh = "中";
  struct Case {
    const char* what;
    std::string stored;
    std::string linux_want;
    std::string windows_want;
  };
  const std::vector<Case> cases = {
      {"300 bytes", kAlphabet300, kAlphabet300.substr(0, 255), kAlphabet300.substr(0, 255)},
      {"300 bytes quoted", "\"" + kAlphabet300 + "\"", kAlphabet300.substr(0, 255), kAlphabet300.substr(0, 255)},
      {"256 bytes quoted", "\"" + kAlphabet300.substr(0, 256) + "\"", kAlphabet300.substr(0, 255),
       kAlphabet300.substr(0, 255)},
      // Wine cuts the quote off after the cut and so loses one more byte.
      {"255 bytes quoted", "\"" + kAlphabet300.substr(0, 255) + "\"", kAlphabet300.substr(0, 255),
       kAlphabet300.substr(0, 254)},
      {"254 bytes quoted", "\"" + kAlphabet300.substr(0, 254) + "\"", kAlphabet300.substr(0, 254),
       kAlphabet300.substr(0, 254)},
      {"Chinese after one byte", "a" + Repeat(zh, 150), "a" + Repeat(zh, 84), "a" + Repeat(zh, 127)},
      {"Chinese only", Repeat(zh, 150), Repeat(zh, 85), Repeat(zh, 127)},
      {"two-byte characters", Repeat("é", 150), Repeat("é", 127), Repeat("é", 127)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Scratch s;
    s.Put(FileText("[Config]\r\n域名=" + c.stored + "\r\n设为壁纸=1\r\n"));
    const std::string got = ReadIniValue("Config", "域名", s.Path());
    EXPECT_EQ(got, kOnWindows ? c.windows_want : c.linux_want);
    EXPECT_EQ(got.find('\0'), std::string::npos);
    EXPECT_LE(FileText(got).size(), 255u);
    EXPECT_EQ(ReadIniValue("Config", "设为壁纸", s.Path()), "1");
  }
}

struct WriteCase {
  const char* what;
  std::optional<std::string> before;  // UTF-8; nullopt: no file yet
  const char* section;
  const char* key;
  std::string value;
  std::optional<std::string> after;  // nullopt: refused, the file stays as it was
  std::optional<std::string> wine = std::nullopt;  // the file Wine leaves, where it differs
  const char* reads = nullptr;                      // the value read back, where not value itself
};

const std::vector<WriteCase> kWriteCases = {
    {"new file", std::nullopt, "Config", "开机自启动", "0", "[Config]\r\n开机自启动=0\r\n"},
    {"new key after the last key", "[A]\r\nk=1\r\n", "A", "j", "2", "[A]\r\nk=1\r\nj=2\r\n"},
    {"new key before the next section", "[A]\r\nx=1\r\n[B]\r\ny=2\r\n", "A", "k", "v",
     "[A]\r\nx=1\r\nk=v\r\n[B]\r\ny=2\r\n"},
    {"new key before the blank line ending its section", "[A]\r\nx=1\r\n\r\n[B]\r\ny=2\r\n", "A", "k", "v",
     "[A]\r\nx=1\r\nk=v\r\n\r\n[B]\r\ny=2\r\n", "[A]\r\nx=1\r\nk=v\r\n[B]\r\ny=2\r\n"},
    {"new key before a closing comment", "[A]\r\nx=1\r\n; about B\r\n[B]\r\n", "A", "k", "v",
     "[A]\r\nx=1\r\nk=v\r\n; about B\r\n[B]\r\n", "[A]\r\nx=1\r\n; about B\r\nk=v\r\n[B]\r\n"},
    {"new key in an empty section", "[A]\r\n\r\n[B]\r\n", "A", "k", "v", "[A]\r\nk=v\r\n\r\n[B]\r\n",
     "[A]\r\nk=v\r\n[B]\r\n"},
    {"new key after a last line without end", "[A]\r\nx=1", "A", "k", "v", "[A]\r\nx=1\r\nk=v\r\n"},
    {"new section at the end", "[A]\r\nx=1\r\n", "B", "k", "v", "[A]\r\nx=1\r\n[B]\r\nk=v\r\n"},
    {"new section after a blank line", "[A]\r\nx=1\r\n\r\n", "B", "k", "v", "[A]\r\nx=1\r\n\r\n[B]\r\nk=v\r\n",
     "[A]\r\nx=1\r\n[B]\r\nk=v\r\n"},
    {"new section after a last line without end", "[A]\r\nx=1", "B", "k", "v", "[A]\r\nx=1\r\n[B]\r\nk=v\r\n"},
    {"new section in an empty file", "", "Config", "k", "v", "[Config]\r\nk=v\r\n"},
    {"replaced in place", "; c\r\n[A]\r\n  k = old  \r\nz=1\r\n", "A", "k", "new",
     "; c\r\n[A]\r\n  k = new\r\nz=1\r\n", "; c\r\n[A]\r\nk=new\r\nz=1\r\n"},
    {"replaced key keeps its letter case", "[A]\r\nKEY=old\r\n", "a", "key", "new", "[A]\r\nKEY=new\r\n"},
    {"replaced quoted value", "[A]\r\nk=\"old\"\r\n", "A", "k", "new", "[A]\r\nk=new\r\n"},
    {"replaced value with a semicolon", "[A]\r\nk=old ; note\r\n", "A", "k", "new", "[A]\r\nk=new\r\n"},
    {"first of two keys replaced", "[A]\r\nk=1\r\nk=2\r\n", "A", "k", "v", "[A]\r\nk=v\r\nk=2\r\n"},
    {"key of a second same-named section goes to the first", "[A]\r\nk=1\r\n[A]\r\nj=2\r\n", "A", "j", "v",
     "[A]\r\nk=1\r\nj=v\r\n[A]\r\nj=2\r\n"},
    {"same value", "[A]\r\nk=1\r\n", "A", "k", "1", "[A]\r\nk=1\r\n"},
    {"empty value", "[A]\r\nk=1\r\n", "A", "k", "", "[A]\r\nk=\r\n"},
    {"Chinese key beside others", "[Config]\r\n开机自启动=0\r\n\r\n", "Config", "设为壁纸", "1",
     "[Config]\r\n开机自启动=0\r\n设为壁纸=1\r\n\r\n", "[Config]\r\n开机自启动=0\r\n设为壁纸=1\r\n"},
    {"LF file keeps LF", "[A]\nx=1\n\n[B]\ny=2\n", "A", "k", "v", "[A]\nx=1\nk=v\n\n[B]\ny=2\n",
     "[A]\r\nx=1\r\nk=v\r\n[B]\r\ny=2\r\n"},
    {"CR file keeps CR", "[A]\rk=1\rz=2\r", "A", "k", "v", "[A]\rk=v\rz=2\r", "[A]\r\nk=v\r\nz=2\r\n"},
    {"every other byte stays", "; top\r\n\r\n[A]  \r\n  k = 1 ; c\r\n\r\n;end\r\n", "A", "j", "2",
     "; top\r\n\r\n[A]  \r\n  k = 1 ; c\r\nj=2\r\n\r\n;end\r\n", "; top\r\n[A]\r\nk=1 ; c\r\n;end\r\nj=2\r\n"},
    {"a line without = is not the key", "[A]\r\nk\r\n", "A", "k", "v", "[A]\r\nk=v\r\nk\r\n", "[A]\r\nk=v\r\n"},
    {"a comment is not the key", "[A]\r\n;k=1\r\n", "A", "k", "2", "[A]\r\nk=2\r\n;k=1\r\n",
     "[A]\r\n;k=1\r\nk=2\r\n"},
    {"NUL elsewhere stays", "[A]\r\nj=\0x\r\nk=1\r\n"s, "A", "k", "2", "[A]\r\nj=\0x\r\nk=2\r\n"s,
     "[A]\r\nj=\r\nk=2\r\n"},
    {"blanks around the value are written", "[A]\r\nk=1\r\n", "A", "k", "  v  ", "[A]\r\nk=  v  \r\n",
     "[A]\r\nk=v  \r\n", "v"},
    {"blanks around the names are not", "[A]\r\nk=1\r\n", " B ", " j ", "v", "[A]\r\nk=1\r\n[B]\r\nj=v\r\n",
     "[A]\r\nk=1\r\n[B ]\r\nj =v\r\n"},
    // Texts that would break the file's structure: Linux refuses them and
    // leaves the file alone; Windows writes them as they are.
    {"CR LF in a value", "[A]\r\nk=1\r\nz=0\r\n", "A", "k", "a\r\nz=9", std::nullopt,
     "[A]\r\nk=a\r\nz=9\r\nz=0\r\n"},
    {"LF in a value", "[A]\r\nk=1\r\n", "A", "k", "a\nb", std::nullopt, "[A]\r\nk=a\nb\r\n"},
    {"CR in a value", "[A]\r\nk=1\r\n", "A", "k", "a\rb", std::nullopt, "[A]\r\nk=a\rb\r\n"},
    {"= in a key", "[A]\r\nk=1\r\n", "A", "a=b", "v", std::nullopt, "[A]\r\nk=1\r\na=b=v\r\n"},
    {"empty key", "[A]\r\nk=1\r\n", "A", "", "v", std::nullopt, "[A]\r\nk=1\r\n=v\r\n"},
    {"key that reads as a comment", "[A]\r\nk=1\r\n", "A", ";j", "v", std::nullopt, "[A]\r\nk=1\r\n;j=v\r\n"},
    {"line end in a section name", "[A]\r\nk=1\r\n", "B\r\n[A", "k", "v", std::nullopt,
     "[A]\r\nk=1\r\n[B\r\n[A]\r\nk=v\r\n"},
};

TEST(WriteIniValue, ChangesOnlyWhatItMustAndRefusesTextThatBreaksTheFile) {
  for (const WriteCase& c : kWriteCases) {
    SCOPED_TRACE(c.what);
    Scratch s;
    if (c.before) s.Put(FileText(*c.before));
    const bool windows_differs = kOnWindows && c.wine;
    const std::optional<std::string> after = windows_differs ? c.wine : c.after;

    const std::int32_t result = WriteIniValue(c.section, c.key, c.value, s.Path());
    if (after) {
      EXPECT_NE(result, 0);
      EXPECT_EQ(s.Get(), FileText(*after));
      if (c.after) EXPECT_EQ(ReadIniValue(c.section, c.key, s.Path()), c.reads ? c.reads : c.value);
      EXPECT_EQ(s.Names(), std::vector<std::string>{"cfg.ini"});
    } else {
      EXPECT_EQ(result, 0);
      EXPECT_EQ(s.Get(), c.before ? std::optional(FileText(*c.before)) : std::nullopt);
      EXPECT_EQ(s.Names().size(), c.before ? 1u : 0u);
    }
  }
}

TEST(WriteIniValue, FirstRunDefaultsMakeExactlySixLines) {
  Scratch s;
  const char* keys[] = {"开机自启动", "设为壁纸", "延迟运行", "域名", "备用域名"};
  const char* values[] = {"0", "1", "6", "https://www.image-service.invalid", "https://backup.image-service.invalid"};
  for (int i = 0; i < 5; ++i) EXPECT_NE(WriteIniValue("Config", keys[i], values[i], s.Path()), 0);
  EXPECT_EQ(s.Get(), FileText("[Config]\r\n开机自启动=0\r\n设为壁纸=1\r\n延迟运行=6\r\n"
                              "域名=https://www.image-service.invalid\r\n"
                              "备用域名=https://backup.image-service.invalid\r\n"));
  EXPECT_EQ(s.Names(), std::vector<std::string>{"cfg.ini"});
  for (int i = 0; i < 5; ++i) EXPECT_EQ(ReadIniValue("Config", keys[i], s.Path()), values[i]);
}

TEST(WriteIniValue, FailsWithoutCreatingAnythingWhereNoFileCanBe) {
  Scratch s;
  EXPECT_EQ(WriteIniValue("Config", "k", "v", s.Path("missing/cfg.ini")), 0);
  fs::create_directory(s.dir() / "cfg.ini");
  EXPECT_EQ(WriteIniValue("Config", "k", "v", s.Path()), 0);
  EXPECT_EQ(ReadIniValue("Config", "k", s.Path()), "");
  EXPECT_TRUE(fs::is_directory(s.dir() / "cfg.ini"));
  EXPECT_EQ(s.Names(), std::vector<std::string>{"cfg.ini"});
}

// A program directory named with characters outside the ANSI code page
// (Thai is not in GBK): the file still works, and still in the file's
// encoding.
const char* const kNonAnsiDir = "pavo-设置-กข";

TEST(IniFile, WorksInADirectoryOutsideTheAnsiCodePage) {
  Scratch s(kNonAnsiDir);
  EXPECT_NE(WriteIniValue("Config", "设为壁纸", "1", s.Path()), 0);
  EXPECT_NE(WriteIniValue("Config", "延迟运行", "6", s.Path()), 0);
  EXPECT_NE(WriteIniValue("Config", "设为壁纸", "0", s.Path()), 0);
  EXPECT_EQ(s.Get(), FileText("[Config]\r\n设为壁纸=0\r\n延迟运行=6\r\n"));
  EXPECT_EQ(ReadIniValue("Config", "延迟运行", s.Path()), "6");
  EXPECT_EQ(s.Names(), std::vector<std::string>{"cfg.ini"});
}

// The cut there is the one of every other directory: whole characters,
// never half of one turned into "?".
TEST(IniFile, CutsLongValuesAlikeInADirectoryOutsideTheAnsiCodePage) {
  const std::string zh = "中";
  for (const std::string& value : {Repeat(zh, 150), "a" + Repeat(zh, 150)}) {
    std::string answers[2];
    for (int i = 0; i < 2; ++i) {
      Scratch s(i == 0 ? "pavo-settings" : kNonAnsiDir);
      s.Put(FileText("[Config]\r\n域名=" + value + "\r\n"));
      answers[i] = ReadIniValue("Config", "域名", s.Path());
    }
    EXPECT_EQ(answers[1], answers[0]);
  }
}

}  // namespace
}  // namespace pavo
