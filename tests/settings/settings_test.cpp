// The program's own reader and writer, as the profile functions read and write. "A/k": key k of section A.
#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "settings/ini_file.h"
#include "support/scratch.h"

namespace pavo {
namespace {

using namespace std::string_literals;
using std::nullopt;
using test::L;

std::optional<std::string> Stored(const std::optional<std::string>& text) { return text ? std::optional(L(*text)) : nullopt; }

const char* const kFolders[] = {"pavo-settings", "pavo-设置-กข"};

std::string Section(const std::string& at) { return at.substr(0, at.find('/')); }
std::string Key(const std::string& at) { return at.substr(at.find('/') + 1); }

// Values of at most 255 bytes of the file's encoding, on Linux (UTF-8) never half a character.
TEST(ReadIniValue, FindsValuesAsTheProfileFunctionsDoAndLeavesTheFileAlone) {
  std::string a300, zh150, e150;
  for (int i = 0; i < 150; ++i) a300 += "ab", zh150 += "中", e150 += "é";
  const auto cut = [](const std::string& value) { return "[Config]|域名=" + value + "|设为壁纸=1|"; };
  const struct {
    std::string file, at, want;
  } rows[] = {
      {"[A]|k=1|[A]|k=2|j=3|", "A/k", "1"}, {"[A]|k=1|[A]|k=2|j=3|", "A/j", ""}, {"[A]|k=1|k=2|", "A/k", "1"},
      {"[B]|k=1|[A]|k=2|", "A/k", "2"}, {"k=0|[A]|k=1|", "A/k", "1"}, {"[cOnFiG]|KeY=VaLuE|", "Config/key", "VaLuE"},
      {"[Config]|设为壁纸=1|延迟运行=壁纸 服务|", "Config/延迟运行", "壁纸 服务"},
      // One pair of matching outer quotes goes, after the blanks.
      {"[A]|k=\"v\"|", "A/k", "v"}, {"[A]|k='v'|", "A/k", "v"}, {"[A]|k=\"v'|", "A/k", "\"v'"},
      {"[A]|k=\"\"|", "A/k", ""}, {"[A]|k= \" v \" |", "A/k", " v "}, {"[A]|k='\"v\"'|", "A/k", "\"v\""},
      // Blanks around names and values; the names asked for lose theirs too.
      {"[A]|  k  =  v w  |", "A/k", "v w"}, {"[A]|\tk\t=\tv\v\f|", "A/k", "v"}, {"[A]|k k=v|", "A/k k", "v"},
      {"[A]|k=v|", " A /\tk ", "v"}, {"  [ A ] old|k=v|", "A/k", "v"}, {"[A|k=v|", "A/k", ""},
      // Comments; lines without "=".
      {"[A]|  ;k=1|k=2|", "A/k", "2"}, {"[A]|;k=1|", "A/;k", ""}, {"[A]|k=a ; b|", "A/k", "a ; b"},
      {"[A]|k=1|;[B]|j=2|", "A/j", "2"}, {"[A]|k|k=v|", "A/k", "v"}, {"[A]|k=a=b|", "A/k", "a=b"},
      // Line ends; absent names; a NUL ends the text of its line, not the line.
      {"[A]\rx=0\rk=v\r", "A/k", "v"}, {"[A]|x=0\nk=v\rz=1|", "A/k", "v"}, {"[A]|k=v", "A/k", "v"},
      {"[A]|k=v|", "B/k", ""}, {"[A]|k=v|", "A/j", ""}, {"[A]|k=ab\0cd|"s, "A/k", "ab"},
      {"[A]|j=\0|k=v|"s, "A/k", "v"}, {"\xEF\xBB\xBF[A]|k=v|", "A/k", "v"},  // (a signature: stored as it is)
      // Long values.
      {cut(a300), "Config/域名", a300.substr(0, 255)}, {cut(zh150), "Config/设为壁纸", "1"},
      {cut("\"" + a300.substr(0, 256) + "\""), "Config/域名", a300.substr(0, 255)},
      {cut("\"" + a300.substr(0, 255) + "\""), "Config/域名", a300.substr(0, 255)},
      {cut("a" + zh150), "Config/域名", "a" + zh150.substr(0, 84 * 3)}, {cut(zh150), "Config/域名", zh150.substr(0, 85 * 3)},
      {cut(e150), "Config/域名", e150.substr(0, 127 * 2)},
  };
  for (const auto& r : rows)
    for (const char* folder : kFolders) {
      SCOPED_TRACE(r.file.substr(0, 40) + " " + r.at + " in " + folder);
      test::Scratch s(folder);
      const std::string bytes = L(r.file);
      test::Put(s / "cfg.ini", bytes);
      EXPECT_EQ(ReadIniValue(Section(r.at), Key(r.at), s / "cfg.ini"), r.want);
      EXPECT_EQ(test::Get(s / "cfg.ini"), bytes) << "a read changed the file";
    }
}

// The program writes only its defaults, into a file of its own (tests/e2e sees the bytes): the
// rows keep the rest of a file as it was and refuse what would break it.
TEST(WriteIniValue, ChangesOnlyWhatItMustAndRefusesTextThatBreaksTheFile) {
  const struct {
    std::optional<std::string> before;  // nullopt: no file yet
    std::string at, value;
    std::optional<std::string> after;  // nullopt: refused, the file as it was
  } rows[] = {
      {nullopt, "Config/开机自启动", "0", "[Config]|开机自启动=0|"}, {"", "Config/k", "v", "[Config]|k=v|"},
      {"[A]|k=1|", "A/j", "2", "[A]|k=1|j=2|"}, {"[A]|x=1|[B]|y=2|", "A/k", "v", "[A]|x=1|k=v|[B]|y=2|"},
      {"[A]|x=1", "A/k", "v", "[A]|x=1|k=v|"}, {"[A]|x=1", "B/k", "v", "[A]|x=1|[B]|k=v|"},
      {"; c|[A]|  k = old  |z=1|", "A/k", "new", "; c|[A]|  k = new|z=1|"},
      {"[A]|K=1|k=2|", "a/k", "", "[A]|K=|k=2|"},
      // Text that would break the file is refused.
      {"[A]|k=1|z=0|", "A/k", "a|z=9", nullopt}, {"[A]|k=1|", "A/", "v", nullopt}, {"[A]|k=1|", "A/a=b", "v", nullopt},
      {"[A]|k=1|", "A/;j", "v", nullopt}, {"[A]|k=1|", "B|[A/k", "v", nullopt},
  };
  for (const auto& r : rows)
    for (const char* folder : kFolders) {
      SCOPED_TRACE(r.before.value_or("(none)") + " " + r.at + "=" + r.value + " in " + folder);
      test::Scratch s(folder);
      if (r.before) test::Put(s / "cfg.ini", *Stored(r.before));
      EXPECT_EQ(WriteIniValue(L(Section(r.at)), Key(r.at), L(r.value), s / "cfg.ini") != 0, r.after.has_value());
      EXPECT_EQ(test::Get(s / "cfg.ini"), Stored(r.after ? r.after : r.before));
      if (r.after) EXPECT_EQ(ReadIniValue(Section(r.at), Key(r.at), s / "cfg.ini"), r.value);
      EXPECT_EQ(s.Names().size(), r.after || r.before ? 1u : 0u) << "nothing but the file";
    }
}

}  // namespace
}  // namespace pavo
