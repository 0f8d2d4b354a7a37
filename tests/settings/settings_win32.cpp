// What only Windows has: a system whose code page cannot hold the Chinese
// key names (run as settings_test_cp1252). There a new file is UTF-16 with
// its byte-order mark; any other file is read, and written, as it was
// written.
#include <gtest/gtest.h>
#include <windows.h>

#include "settings/ini_file.h"
#include "settings/settings_platform.h"
#include "support/scratch.h"
#include "sys/text_win32.h"

namespace pavo {

const bool test::kOnWindows = true;
std::string test::FileText(const std::string& utf8) { return win32::Ansi(utf8); }

namespace {

std::string Utf16(const std::string& utf8) {
  const std::wstring w = win32::Wide(utf8);
  return "\xFF\xFE" + std::string(reinterpret_cast<const char*>(w.data()), w.size() * 2);
}

std::string Gbk(const std::string& utf8) {
  const std::wstring w = win32::Wide(utf8);
  std::string out(w.size() * 2, '\0');
  out.resize(WideCharToMultiByte(936, 0, w.data(), static_cast<int>(w.size()), out.data(),
                                 static_cast<int>(out.size()), nullptr, nullptr));
  return out;
}

TEST(OutsideGbk, ANewFileIsUtf16AndAnyOtherStaysAsItWasWritten) {
  if (GetACP() == 936) GTEST_SKIP() << "the GBK code page (settings_test_cp1252 runs this)";
  ASSERT_EQ(GetACP(), 1252u);
  test::Scratch s("pavo-outside-gbk");
  const std::string file = s / "cfg.ini";
  EXPECT_NE(WriteIniValue("Config", "设为壁纸", "1", file), 0);
  EXPECT_NE(WriteIniValue("Config", "延迟运行", "6", file), 0);
  EXPECT_NE(WriteIniValue("Config", "备用域名", "https://b.example", file), 0);
  EXPECT_EQ(test::Get(file), Utf16("[Config]\r\n设为壁纸=1\r\n延迟运行=6\r\n备用域名=https://b.example\r\n"));
  EXPECT_EQ(ReadIniValue("Config", "延迟运行", file), "6");
  EXPECT_EQ(ReadIniValue("Config", "域名", file), "") << "three keys that once were one";
  test::Put(file, "");  // no encoding yet: it becomes UTF-16 too
  EXPECT_NE(WriteIniValue("Config", "域名", "https://a.example", file), 0);
  EXPECT_EQ(test::Get(file), Utf16("[Config]\r\n域名=https://a.example\r\n"));
  // A value comes back as at most 255 UTF-16 units.
  std::string long_value;
  for (int i = 0; i < 300; ++i) long_value += "壁";
  test::Put(file, Utf16("[Config]\r\n域名=" + long_value + "\r\n"));
  EXPECT_EQ(ReadIniValue("Config", "域名", file), long_value.substr(0, 255 * 3));
  // Where no file can be, none is made.
  EXPECT_EQ(WriteIniValue("Config", "k", "v", s / "missing\\cfg.ini"), 0);
  fs::create_directory(s.dir() / "dir.ini");
  EXPECT_EQ(WriteIniValue("Config", "k", "v", s / "dir.ini"), 0);
  EXPECT_EQ(s.Names(), (std::vector<std::string>{"cfg.ini", "dir.ini"}));

  // From a Chinese system, or UTF-8 as Notepad saves a new file.
  const std::string keys = "[Config]\r\n开机自启动=1\r\n域名=https://a.example\r\n";
  for (const auto& encoded : {Gbk, +[](const std::string& t) { return t; }}) {
    test::Put(file, encoded(keys));
    EXPECT_EQ(ReadIniValue("Config", "开机自启动", file), "1");
    EXPECT_NE(WriteIniValue("Config", "设为壁纸", "0", file), 0);
    EXPECT_EQ(test::Get(file), encoded(keys + "设为壁纸=0\r\n"));
  }
}

}  // namespace
}  // namespace pavo
