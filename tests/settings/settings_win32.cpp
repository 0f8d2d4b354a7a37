// What only Windows has: a system whose code page cannot hold the Chinese
// key names (run as settings_test_cp1252). There a new file is UTF-16 with
// its byte-order mark; any other is read, and written, as it was written.
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

using test::L;

std::string In(UINT code_page, const std::string& text) {
  const std::wstring w = win32::Wide(L(text));
  if (code_page == 1200) return "\xFF\xFE" + std::string(reinterpret_cast<const char*>(w.data()), w.size() * 2);
  std::string out(w.size() * 2, '\0');
  out.resize(WideCharToMultiByte(code_page, 0, w.data(), static_cast<int>(w.size()), out.data(),
                                 static_cast<int>(out.size()), nullptr, nullptr));
  return out;
}

TEST(OutsideGbk, ANewFileIsUtf16AndAnyOtherStaysAsItWasWritten) {
  if (GetACP() == 936) GTEST_SKIP() << "the GBK code page (settings_test_cp1252 runs this)";
  ASSERT_EQ(GetACP(), 1252u);
  test::Scratch s("pavo-outside-gbk");
  const std::string file = s / "cfg.ini";
  for (bool empty : {true, false}) {  // an empty file has no encoding yet
    if (empty) test::Put(file, "");
    EXPECT_NE(WriteIniValue("Config", "设为壁纸", "1", file), 0);
    EXPECT_NE(WriteIniValue("Config", "备用域名", "https://b.example", file), 0);
    EXPECT_EQ(test::Get(file), In(1200, "[Config]|设为壁纸=1|备用域名=https://b.example|"));
    EXPECT_EQ(ReadIniValue("Config", "域名", file), "") << "two keys that once were one";
    fs::remove(test::FsPath(file));
  }
  std::string long_value;  // at most 255 UTF-16 units come back
  for (int i = 0; i < 300; ++i) long_value += "壁";
  test::Put(file, In(1200, "[Config]|域名=" + long_value + "|"));
  EXPECT_EQ(ReadIniValue("Config", "域名", file), long_value.substr(0, 255 * 3));
  // From a Chinese system (GBK), or UTF-8 as Notepad saves a new file.
  for (UINT code_page : {936u, 65001u}) {
    test::Put(file, In(code_page, "[Config]|开机自启动=1|"));
    EXPECT_EQ(ReadIniValue("Config", "开机自启动", file), "1");
    EXPECT_NE(WriteIniValue("Config", "设为壁纸", "0", file), 0);
    EXPECT_EQ(test::Get(file), In(code_page, "[Config]|开机自启动=1|设为壁纸=0|"));
  }
}

}  // namespace
}  // namespace pavo
