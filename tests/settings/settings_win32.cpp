// Outside GBK (1252): a value of a UTF-16 file (the first start's there: tests/e2e) is at most 255 UTF-16 units, never
// half a pair; in a GBK file, read by the program itself, a byte GBK cannot read is U+FFFD, the next read on its own.
#include <gtest/gtest.h>
#include <windows.h>

#include "settings/ini_file.h"
#include "support/scratch.h"
#include "sys/text_win32.h"

namespace pavo {
namespace {

TEST(OutsideGbk, Utf16ValuesAreCutWholeAndGbkTheyCannotReadIsAReplacementCharacter) {
  ASSERT_EQ(GetACP(), 1252u);
  std::string zh;
  for (int i = 0; i < 254; ++i) zh += "壁";
  const std::wstring w = win32::Wide(test::L("[Config]|域名=" + zh + "😀|"));  // the pair at units 255 and 256
  const std::pair<std::string, std::string> rows[] = {
      {"\xFF\xFE" + std::string(reinterpret_cast<const char*>(w.data()), w.size() * 2), zh},
      // 域名=中, a pair GBK does not have, a lead byte at the end.
      {"[Config]\r\n\xD3\xF2\xC3\xFB=\xD6\xD0\x81\x30\xFE\r\n", "中\uFFFD0\uFFFD"},
  };
  for (const auto& [file, want] : rows) {
    test::Scratch s("pavo-outside-gbk");
    test::Put(s / "cfg.ini", file);
    EXPECT_EQ(ReadIniValue("Config", "域名", s / "cfg.ini"), want);
  }
}

}  // namespace
}  // namespace pavo
