// The settings file on Linux, read by the program itself as the profile functions would: files from Windows
// (GBK, UTF-16) read line by line as written, the 1 MiB cap. "A/k": key k of section A. (The run never writes
// to a settings file: a first start writes its defaults whole, the bytes tests/e2e compares.)
#include <glib.h>
#include <gtest/gtest.h>

#include <string>

#include "settings/ini_file.h"
#include "support/scratch.h"

namespace pavo {
namespace {

using namespace std::string_literals;
using test::L;

const char kFolder[] = "pavo-设置-กข";  // a folder whose name is not ASCII

std::string Section(const std::string& at) { return at.substr(0, at.find('/')); }
std::string Key(const std::string& at) { return at.substr(at.find('/') + 1); }

// By GLib, not by the program's own converter. (No character of the rows has a byte "|" in these.)
std::string In(const char* encoding, const std::string& text) {
  const std::string utf8 = L(text);
  gsize n = 0;
  g_autofree char* out =
      g_convert(utf8.data(), static_cast<gssize>(utf8.size()), encoding, "UTF-8", nullptr, &n, nullptr);
  EXPECT_NE(out, nullptr) << utf8;
  return out ? std::string(out, n) : "";
}

std::string Gbk(const std::string& text) { return In("GBK", text); }

const std::string kKeys = "[Config]|开机自启动=1|设为壁纸=0|域名=https://a.example|";
const std::string kLarge = "[Config]|域名=https://a.example|;" + std::string(3 << 20, 'x') + "|延迟运行=6|";

// Values of at most 255 bytes of the file's encoding, never half a character. A line that cannot be
// decoded costs that line alone. (The names asked for are the run's: no blanks, no ";", each with a GBK form.)
TEST(ReadIniValue, FindsValuesAsTheProfileFunctionsDoAndLeavesTheFileAlone) {
  std::string a300, zh150, e150;
  for (int i = 0; i < 150; ++i) a300 += "ab", zh150 += "中", e150 += "é";
  const auto cut = [](const std::string& value) { return "[Config]|域名=" + value + "|设为壁纸=1|"; };
  const struct {
    std::string file, at, want;
  } rows[] = {
      {"[A]|k=1|[A]|k=2|j=3|", "A/k", "1"}, {"[A]|k=1|[A]|k=2|j=3|", "A/j", ""}, {"[A]|k=1|k=2|", "A/k", "1"},
      {"[B]|k=1|[A]|k=2|", "A/k", "2"}, {"k=0|[A]|k=1|", "A/k", "1"}, {"[cOnFiG]|KeY=VaLuE|", "Config/key", "VaLuE"},
      // One pair of matching outer quotes goes, after the blanks.
      {"[A]|k=\"v\"|", "A/k", "v"}, {"[A]|k='v'|", "A/k", "v"}, {"[A]|k=\"v'|", "A/k", "\"v'"},
      {"[A]|k=\"\"|", "A/k", ""}, {"[A]|k= \" v \" |", "A/k", " v "}, {"[A]|k='\"v\"'|", "A/k", "\"v\""},
      // Blanks around names and values.
      {"[A]|  k  =  v w  |", "A/k", "v w"}, {"[A]|\tk\t=\tv\v\f|", "A/k", "v"}, {"  [ A ] old|k=v|", "A/k", "v"},
      // Comments; lines without "=" or "]".
      {"[A]|  ;k=1|k=2|", "A/k", "2"}, {"[A]|k=a ; b|", "A/k", "a ; b"}, {"[A]|k=1|;[B]|j=2|", "A/j", "2"},
      {"[A]|k|k=v|", "A/k", "v"}, {"[A]|k=a=b|", "A/k", "a=b"}, {"[A|k=v|", "A/k", ""},
      // Line ends; a NUL ends the text of its line, not the line. (A signature: the run table's.)
      {"[A]\rx=0\rk=v\r", "A/k", "v"}, {"[A]|x=0\nk=v\rz=1|", "A/k", "v"}, {"[A]|k=v", "A/k", "v"},
      {"[A]|k=ab\0cd|"s, "A/k", "ab"}, {"[A]|j=\0|k=v|"s, "A/k", "v"},
      // Long values.
      {cut(a300), "Config/域名", a300.substr(0, 255)}, {cut(zh150), "Config/设为壁纸", "1"},
      {cut("\"" + a300.substr(0, 256) + "\""), "Config/域名", a300.substr(0, 255)},
      {cut("a" + zh150), "Config/域名", "a" + zh150.substr(0, 84 * 3)},
      {cut(zh150), "Config/域名", zh150.substr(0, 85 * 3)}, {cut(e150), "Config/域名", e150.substr(0, 127 * 2)},
      {Gbk("[A]|k=" + zh150 + "|"), "A/k", zh150.substr(0, 127 * 3)},  // 255 bytes of GBK
      {Gbk("[A]|k=a" + zh150 + "|"), "A/k", "a" + zh150.substr(0, 127 * 3)},
      // The encoding, line by line: the more lines of GBK or of UTF-8 (with bytes above ASCII) decide.
      {"[Config]|" + Gbk("; 注释|") + kKeys.substr(9), "config/开机自启动", "1"},
      {kKeys + "k=a\xFF\xC3" "b|", "Config/k", "a\uFFFD\uFFFDb"},
      {"; 注释|" + Gbk("[Config]|开机自启动=1|") + "k=\x80|", "Config/开机自启动", "1"},  // € is GBK
      {"[Config]|设为壁纸=0|; \x81\x30|; \x82\x31|", "Config/设为壁纸", "0"},  // no GBK either: no vote
      // A line with FF, or with a lead byte at the very end, is neither: no vote (and a tie goes to UTF-8).
      {"[Config]|设为壁纸=0|" + Gbk("; 注释|") + "; \xFF\x41|; \xD6", "Config/设为壁纸", "0"},
      {Gbk(kKeys + "; 一|"), "config/设为壁纸", "0"}, {"[A]|k=\xD6\xD0\xFF\x80\xFE|", "A/k", "中\uFFFD€\uFFFD"},
      {"\xFE\xFF" + In("UTF-16BE", kKeys), "Config/域名", "https://a.example"},
      {"\xFF\xFE[\0A\0]\0\r\0\n\0k\0=\0a\0\0\xDC" "b\0"s, "A/k", "a\uFFFDb"},  // a lone low surrogate
      {kLarge, "Config/域名", "https://a.example"}, {kLarge, "Config/延迟运行", ""},  // beyond the first MiB
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.file.substr(0, 40) + " " + r.at);
    test::Scratch s(kFolder);
    const std::string bytes = L(r.file);
    test::Put(s / "cfg.ini", bytes);
    EXPECT_EQ(ReadIniValue(Section(r.at), Key(r.at), s / "cfg.ini"), r.want);
    EXPECT_EQ(test::Get(s / "cfg.ini"), bytes) << "a read changed the file";
  }
}

}  // namespace
}  // namespace pavo
