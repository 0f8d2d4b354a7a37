// What only Windows has: a code page that cannot hold the Chinese key names
// (1252), where a new settings file is UTF-16 and a GBK one is read by the
// program itself.
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

// A GBK file there is read by the program itself: what GBK cannot read
// becomes U+FFFD, and the byte after it is read on its own.
TEST(OutsideGbk, WhatAGbkFileCannotSayIsAReplacementCharacter) {
  test::Scratch s("pavo-outside-gbk");
  // 域名=中, a pair GBK does not have, a lead byte at the end.
  test::Put(s / "cfg.ini", "[Config]\r\n\xD3\xF2\xC3\xFB=\xD6\xD0\x81\x30\xFE\r\n");
  EXPECT_EQ(ReadIniValue("Config", "域名", s / "cfg.ini"), "中\uFFFD0\uFFFD");
}

}  // namespace
}  // namespace pavo
