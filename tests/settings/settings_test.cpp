// The settings operations against the behaviour of the Windows profile
// functions: the same rows on Linux (the program's own reader and writer)
// and on Windows (the real functions, under Wine). Where Wine answers
// otherwise, the row says so in its `wine` field.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "settings/ini_file.h"
#include "settings/settings_platform.h"
#include "support/scratch.h"

namespace pavo {
namespace {

using namespace std::string_literals;
using test::FileText;
using test::kOnWindows;

std::string Repeat(const std::string& s, int n) {
  std::string r;
  while (n-- > 0) r += s;
  return r;
}

TEST(ReadIniValue, FindsValuesAsTheProfileFunctionsDoAndLeavesTheFileAlone) {
  const struct {
    std::string file;  // UTF-8, stored in the platform's encoding unless raw
    const char* section;
    const char* key;
    std::string want;
    std::optional<std::string> wine = std::nullopt;
    bool raw = false;
  } rows[] = {
      // The first section of a name and the first key in it win.
      {"[A]\r\nk=1\r\n[A]\r\nk=2\r\nj=3\r\n", "A", "k", "1"},
      {"[A]\r\nk=1\r\n[A]\r\nk=2\r\nj=3\r\n", "A", "j", ""},
      {"[A]\r\nk=1\r\nk=2\r\n", "A", "k", "1"},
      {"[B]\r\nk=1\r\n[A]\r\nk=2\r\n", "A", "k", "2"},
      {"k=0\r\n[A]\r\nk=1\r\n", "A", "k", "1"},
      {"[cOnFiG]\r\nKeY=VaLuE\r\n", "Config", "key", "VaLuE"},
      {"[Config]\r\n设为壁纸=1\r\n延迟运行=壁纸 服务\r\n", "Config", "延迟运行", "壁纸 服务"},
      // One pair of matching outer quotes goes, after the blanks.
      {"[A]\r\nk=\"v\"\r\n", "A", "k", "v"},
      {"[A]\r\nk='v'\r\n", "A", "k", "v"},
      {"[A]\r\nk=\"v'\r\n", "A", "k", "\"v'"},
      {"[A]\r\nk=\"\"\r\n", "A", "k", ""},
      {"[A]\r\nk= \" v \" \r\n", "A", "k", " v "},
      {"[A]\r\nk='\"v\"'\r\n", "A", "k", "\"v\""},
      // Blanks around names and values; the names asked for are trimmed too.
      {"[A]\r\n  k  =  v w  \r\n", "A", "k", "v w"},
      {"[A]\r\n\tk\t=\tv\v\f\r\n", "A", "k", "v"},
      {"[A]\r\nk k=v\r\n", "A", "k k", "v"},
      {"[A]\r\nk=v\r\n", " A ", "\tk ", "v"},
      {"  [ A ] old\r\nk=v\r\n", "A", "k", "v"},
      {"[A\r\nk=v\r\n", "A", "k", ""},
      // Comments; lines without "=".
      {"[A]\r\n  ;k=1\r\nk=2\r\n", "A", "k", "2"},
      {"[A]\r\n;k=1\r\n", "A", ";k", "", "1"},
      {"[A]\r\nk=a ; b\r\n", "A", "k", "a ; b"},
      {"[A]\r\nk=1\r\n;[B]\r\nj=2\r\n", "A", "j", "2"},
      {"[A]\r\nk\r\nk=v\r\n", "A", "k", "v", ""},
      {"[A]\r\nk=a=b\r\n", "A", "k", "a=b"},
      // Line ends.
      {"[A]\rx=0\rk=v\r", "A", "k", "v"},
      {"[A]\r\nx=0\nk=v\rz=1\r\n", "A", "k", "v"},
      {"[A]\r\nk=v", "A", "k", "v"},
      {"[A]\r\nk=v\r\n", "B", "k", ""},
      {"[A]\r\nk=v\r\n", "A", "j", ""},
      // A NUL ends the text of its line, never the line.
      {"[A]\r\nk=ab\0cd\r\n"s, "A", "k", "ab"},
      {"[A]\r\nj=\0\r\nk=v\r\n"s, "A", "k", "v"},
      {"\xEF\xBB\xBF[A]\r\nk=v\r\n", "A", "k", "v", std::nullopt, true},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.file + " " + r.section + "." + r.key);
    test::Scratch s("pavo-settings");
    const std::string bytes = r.raw ? r.file : FileText(r.file);
    test::Put(s / "cfg.ini", bytes);
    EXPECT_EQ(ReadIniValue(r.section, r.key, s / "cfg.ini"), kOnWindows && r.wine ? *r.wine : r.want);
    EXPECT_EQ(test::Get(s / "cfg.ini"), bytes) << "a read changed the file";
  }
  test::Scratch s("pavo-settings");
  EXPECT_EQ(ReadIniValue("Config", "k", s / "cfg.ini"), "");
  EXPECT_EQ(ReadIniValue("Config", "k", s / "missing/cfg.ini"), "");
  EXPECT_TRUE(s.Names().empty());
}

// At most 255 bytes of the file's encoding, never a NUL and, on Linux (UTF-8,
// three bytes for a Chinese character), never half a character. A folder
// outside the ANSI code page (Thai is not in GBK) cuts alike.
TEST(ReadIniValue, CutsLongValuesTo255Bytes) {
  const std::string a300 = Repeat("abcdefghij", 30), zh = "中";
  const struct {
    std::string stored, on_linux, on_windows;
  } rows[] = {
      {a300, a300.substr(0, 255), a300.substr(0, 255)},
      {"\"" + a300.substr(0, 256) + "\"", a300.substr(0, 255), a300.substr(0, 255)},
      // Wine takes the quote off after the cut and loses one more byte.
      {"\"" + a300.substr(0, 255) + "\"", a300.substr(0, 255), a300.substr(0, 254)},
      {"a" + Repeat(zh, 150), "a" + Repeat(zh, 84), "a" + Repeat(zh, 127)},
      {Repeat(zh, 150), Repeat(zh, 85), Repeat(zh, 127)},
      {Repeat("é", 150), Repeat("é", 127), Repeat("é", 127)},
  };
  for (const auto& r : rows)
    for (const char* folder : {"pavo-settings", "pavo-设置-กข"}) {
      SCOPED_TRACE(std::string(folder) + " " + r.stored.substr(0, 12));
      test::Scratch s(folder);
      test::Put(s / "cfg.ini", FileText("[Config]\r\n域名=" + r.stored + "\r\n设为壁纸=1\r\n"));
      const std::string got = ReadIniValue("Config", "域名", s / "cfg.ini");
      EXPECT_EQ(got, kOnWindows ? r.on_windows : r.on_linux);
      EXPECT_EQ(ReadIniValue("Config", "设为壁纸", s / "cfg.ini"), "1");
    }
}

TEST(WriteIniValue, ChangesOnlyWhatItMustAndRefusesTextThatBreaksTheFile) {
  const struct {
    std::optional<std::string> before;  // nullopt: no file yet
    const char* section;
    const char* key;
    std::string value;
    std::optional<std::string> after;  // nullopt: refused, the file stays as it was
    std::optional<std::string> wine = std::nullopt;
    const char* reads = nullptr;  // the value read back, where not value itself
  } rows[] = {
      {std::nullopt, "Config", "开机自启动", "0", "[Config]\r\n开机自启动=0\r\n"},
      {"", "Config", "k", "v", "[Config]\r\nk=v\r\n"},
      {"[A]\r\nk=1\r\n", "A", "j", "2", "[A]\r\nk=1\r\nj=2\r\n"},
      {"[A]\r\nx=1\r\n[B]\r\ny=2\r\n", "A", "k", "v", "[A]\r\nx=1\r\nk=v\r\n[B]\r\ny=2\r\n"},
      {"[A]\r\nx=1\r\n\r\n[B]\r\ny=2\r\n", "A", "k", "v", "[A]\r\nx=1\r\nk=v\r\n\r\n[B]\r\ny=2\r\n",
       "[A]\r\nx=1\r\nk=v\r\n[B]\r\ny=2\r\n"},
      {"[A]\r\nx=1\r\n; about B\r\n[B]\r\n", "A", "k", "v", "[A]\r\nx=1\r\nk=v\r\n; about B\r\n[B]\r\n",
       "[A]\r\nx=1\r\n; about B\r\nk=v\r\n[B]\r\n"},
      {"[A]\r\n\r\n[B]\r\n", "A", "k", "v", "[A]\r\nk=v\r\n\r\n[B]\r\n", "[A]\r\nk=v\r\n[B]\r\n"},
      {"[A]\r\nx=1", "A", "k", "v", "[A]\r\nx=1\r\nk=v\r\n"},
      {"[A]\r\nx=1\r\n\r\n", "B", "k", "v", "[A]\r\nx=1\r\n\r\n[B]\r\nk=v\r\n", "[A]\r\nx=1\r\n[B]\r\nk=v\r\n"},
      {"[A]\r\nx=1", "B", "k", "v", "[A]\r\nx=1\r\n[B]\r\nk=v\r\n"},
      {"; c\r\n[A]\r\n  k = old  \r\nz=1\r\n", "A", "k", "new", "; c\r\n[A]\r\n  k = new\r\nz=1\r\n",
       "; c\r\n[A]\r\nk=new\r\nz=1\r\n"},
      {"[A]\r\nKEY=old\r\n", "a", "key", "new", "[A]\r\nKEY=new\r\n"},
      {"[A]\r\nk=\"old\" ; note\r\n", "A", "k", "new", "[A]\r\nk=new\r\n"},
      {"[A]\r\nk=1\r\nk=2\r\n", "A", "k", "", "[A]\r\nk=\r\nk=2\r\n"},
      {"[A]\r\nk=1\r\n[A]\r\nj=2\r\n", "A", "j", "v", "[A]\r\nk=1\r\nj=v\r\n[A]\r\nj=2\r\n"},
      {"[A]\nx=1\n\n[B]\ny=2\n", "A", "k", "v", "[A]\nx=1\nk=v\n\n[B]\ny=2\n", "[A]\r\nx=1\r\nk=v\r\n[B]\r\ny=2\r\n"},
      {"[A]\rk=1\rz=2\r", "A", "k", "v", "[A]\rk=v\rz=2\r", "[A]\r\nk=v\r\nz=2\r\n"},
      {"; top\r\n\r\n[A]  \r\n  k = 1 ; c\r\n\r\n;end\r\n", "A", "j", "2",
       "; top\r\n\r\n[A]  \r\n  k = 1 ; c\r\nj=2\r\n\r\n;end\r\n", "; top\r\n[A]\r\nk=1 ; c\r\n;end\r\nj=2\r\n"},
      {"[A]\r\nk\r\n", "A", "k", "v", "[A]\r\nk=v\r\nk\r\n", "[A]\r\nk=v\r\n"},
      {"[A]\r\n;k=1\r\n", "A", "k", "2", "[A]\r\nk=2\r\n;k=1\r\n", "[A]\r\n;k=1\r\nk=2\r\n"},
      {"[A]\r\nj=\0x\r\nk=1\r\n"s, "A", "k", "2", "[A]\r\nj=\0x\r\nk=2\r\n"s, "[A]\r\nj=\r\nk=2\r\n"},
      {"[A]\r\nk=1\r\n", "A", "k", "  v  ", "[A]\r\nk=  v  \r\n", "[A]\r\nk=v  \r\n", "v"},
      {"[A]\r\nk=1\r\n", " B ", " j ", "v", "[A]\r\nk=1\r\n[B]\r\nj=v\r\n", "[A]\r\nk=1\r\n[B ]\r\nj =v\r\n"},
      // Text that would break the file's structure: Linux refuses it and
      // leaves the file alone; Windows writes it as it is.
      {"[A]\r\nk=1\r\nz=0\r\n", "A", "k", "a\r\nz=9", std::nullopt, "[A]\r\nk=a\r\nz=9\r\nz=0\r\n"},
      {"[A]\r\nk=1\r\n", "A", "a=b", "v", std::nullopt, "[A]\r\nk=1\r\na=b=v\r\n"},
      {"[A]\r\nk=1\r\n", "A", "", "v", std::nullopt, "[A]\r\nk=1\r\n=v\r\n"},
      {"[A]\r\nk=1\r\n", "A", ";j", "v", std::nullopt, "[A]\r\nk=1\r\n;j=v\r\n"},
      {"[A]\r\nk=1\r\n", "B\r\n[A", "k", "v", std::nullopt, "[A]\r\nk=1\r\n[B\r\n[A]\r\nk=v\r\n"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.before.value_or("(none)") + " " + r.section + "." + r.key + "=" + r.value);
    test::Scratch s("pavo-settings");
    if (r.before) test::Put(s / "cfg.ini", FileText(*r.before));
    const std::optional<std::string> after = kOnWindows && r.wine ? r.wine : r.after;
    const std::int32_t result = WriteIniValue(r.section, r.key, r.value, s / "cfg.ini");
    EXPECT_EQ(result != 0, after.has_value());
    const std::optional<std::string> left = after ? after : r.before;
    EXPECT_EQ(test::Get(s / "cfg.ini"), left ? std::optional(FileText(*left)) : std::nullopt);
    if (r.after) EXPECT_EQ(ReadIniValue(r.section, r.key, s / "cfg.ini"), r.reads ? r.reads : r.value);
    EXPECT_EQ(s.Names().size(), left ? 1u : 0u) << "nothing but the file";
  }
}

// Where no file can be, nothing is made; a folder outside the ANSI code page
// works, in the file's own encoding.
TEST(WriteIniValue, FailsWhereNoFileCanBeAndWorksInAnyFolder) {
  test::Scratch s("pavo-设置-กข");
  EXPECT_EQ(WriteIniValue("Config", "k", "v", s / "missing/cfg.ini"), 0);
  fs::create_directory(s.dir() / "dir.ini");
  EXPECT_EQ(WriteIniValue("Config", "k", "v", s / "dir.ini"), 0);
  EXPECT_TRUE(fs::is_directory(s.dir() / "dir.ini"));
  EXPECT_NE(WriteIniValue("Config", "设为壁纸", "1", s / "cfg.ini"), 0);
  EXPECT_NE(WriteIniValue("Config", "延迟运行", "6", s / "cfg.ini"), 0);
  EXPECT_NE(WriteIniValue("Config", "设为壁纸", "0", s / "cfg.ini"), 0);
  EXPECT_EQ(test::Get(s / "cfg.ini"), FileText("[Config]\r\n设为壁纸=0\r\n延迟运行=6\r\n"));
  EXPECT_EQ(ReadIniValue("Config", "延迟运行", s / "cfg.ini"), "6");
  EXPECT_EQ(s.Names(), (std::vector<std::string>{"cfg.ini", "dir.ini"}));
}

}  // namespace
}  // namespace pavo
