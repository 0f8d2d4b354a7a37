// What only Windows has, a UTF-16 settings file (a first start writes one outside GBK: tests/e2e): a value is at most
// 255 UTF-16 units, never half a pair. (A GBK file there is read as on Linux: e2e_run and settings_test's rows.)
#include <gtest/gtest.h>
#include <windows.h>

#include "settings/ini_file.h"
#include "support/scratch.h"
#include "sys/text_win32.h"

namespace pavo {
namespace {

TEST(OutsideGbk, Utf16ValuesAreCutWhole) {
  ASSERT_EQ(GetACP(), 1252u);
  std::string zh;
  for (int i = 0; i < 254; ++i) zh += "壁";
  const std::wstring w = win32::Wide(test::L("[Config]|域名=" + zh + "😀|"));  // the pair at units 255 and 256
  test::Scratch s("pavo-outside-gbk");
  test::Put(s / "cfg.ini", "\xFF\xFE" + std::string(reinterpret_cast<const char*>(w.data()), w.size() * 2));
  EXPECT_EQ(ReadIniValue("Config", "域名", s / "cfg.ini"), zh);
}

}  // namespace
}  // namespace pavo
