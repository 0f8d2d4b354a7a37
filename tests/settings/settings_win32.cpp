// What only Windows has: a code page that cannot hold the Chinese key names
// (settings_test_cp1252), where a new or empty file becomes UTF-16.
#include <gtest/gtest.h>
#include <windows.h>

#include "settings/ini_file.h"
#include "settings/settings_test.h"
#include "support/scratch.h"
#include "sys/text_win32.h"

namespace pavo {

const bool test::kOnWindows = true;
std::string test::FileText(const std::string& utf8) { return win32::Ansi(utf8); }

namespace {

std::string Utf16(const std::string& text) {
  const std::wstring w = win32::Wide(test::L(text));
  return "\xFF\xFE" + std::string(reinterpret_cast<const char*>(w.data()), w.size() * 2);
}

TEST(OutsideGbk, ANewOrEmptyFileIsUtf16) {
  if (GetACP() == 936) GTEST_SKIP() << "the GBK code page (settings_test_cp1252 runs this)";
  ASSERT_EQ(GetACP(), 1252u);
  test::Scratch s("pavo-outside-gbk");
  const std::string file = s / "cfg.ini";
  for (bool empty : {true, false}) {
    if (empty) test::Put(file, "");
    EXPECT_NE(WriteIniValue("Config", "设为壁纸", "1", file), 0);
    EXPECT_NE(WriteIniValue("Config", "备用域名", "https://b.example", file), 0);
    EXPECT_EQ(test::Get(file), Utf16("[Config]|设为壁纸=1|备用域名=https://b.example|"));
    EXPECT_EQ(ReadIniValue("Config", "域名", file), "") << "two keys that once were one";
    fs::remove(test::FsPath(file));
  }
  std::string long_value;  // at most 255 UTF-16 units, never half a pair
  for (int i = 0; i < 300; ++i) long_value += "壁";
  test::Put(file, Utf16("[Config]|域名=" + long_value + "|备用域名=" + long_value.substr(0, 254 * 3) + "😀|"));
  EXPECT_EQ(ReadIniValue("Config", "域名", file), long_value.substr(0, 255 * 3));
  EXPECT_EQ(ReadIniValue("Config", "备用域名", file), long_value.substr(0, 254 * 3));
}

}  // namespace
}  // namespace pavo
