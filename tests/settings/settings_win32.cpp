// What only Windows has: a code page that cannot hold the Chinese key names
// (1252), where the settings file is UTF-16.
#include <gtest/gtest.h>
#include <windows.h>

#include "settings/ini_file.h"
#include "settings/settings_test.h"
#include "support/scratch.h"
#include "sys/text_win32.h"

namespace pavo {

namespace {

// (That the first start's file is UTF-16 there: tests/e2e.)
TEST(OutsideGbk, AValueIsAtMost255Utf16UnitsNeverHalfAPair) {
  ASSERT_EQ(GetACP(), 1252u);
  test::Scratch s("pavo-outside-gbk");
  const std::string file = s / "cfg.ini";
  std::string long_value;
  for (int i = 0; i < 300; ++i) long_value += "壁";
  const std::wstring w =
      win32::Wide(test::L("[Config]|域名=" + long_value + "|备用域名=" + long_value.substr(0, 254 * 3) + "😀|"));
  test::Put(file, "\xFF\xFE" + std::string(reinterpret_cast<const char*>(w.data()), w.size() * 2));
  EXPECT_EQ(ReadIniValue("Config", "域名", file), long_value.substr(0, 255 * 3));
  EXPECT_EQ(ReadIniValue("Config", "备用域名", file), long_value.substr(0, 254 * 3));
}

}  // namespace
}  // namespace pavo
