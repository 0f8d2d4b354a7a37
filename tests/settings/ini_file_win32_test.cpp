// What only the Windows settings file has: a system whose code page cannot
// hold the Chinese key names (run as settings_test_cp1252). There a new file
// is UTF-16 with its byte-order mark, written and read through the wide
// profile functions; any other file is read, and written, as it was written.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>

#include "settings/ini_file.h"
#include "sys/text_win32.h"

namespace pavo {
namespace {

namespace fs = std::filesystem;

std::string Utf16(const std::string& utf8) {
  const std::wstring w = win32::Wide(utf8);
  return std::string("\xFF\xFE", 2) + std::string(reinterpret_cast<const char*>(w.data()), w.size() * 2);
}

std::string Gbk(const std::string& utf8) {
  const std::wstring w = win32::Wide(utf8);
  std::string out(w.size() * 2, '\0');
  out.resize(static_cast<size_t>(WideCharToMultiByte(936, 0, w.data(), static_cast<int>(w.size()), out.data(),
                                                     static_cast<int>(out.size()), nullptr, nullptr)));
  return out;
}

class OutsideGbk : public ::testing::Test {
 protected:
  void SetUp() override {
    if (GetACP() == 936 || GetACP() == 54936) GTEST_SKIP() << "the GBK code page (settings_test_cp1252 runs this)";
    dir_ = fs::temp_directory_path() / ("pavo-outside-gbk-" + std::to_string(GetCurrentProcessId()) + "-" +
                                        std::to_string(counter_++));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }
  std::string File(const char* name = "cfg.ini") const { return win32::Utf8((dir_ / name).wstring()); }
  void Put(const std::string& bytes) const {
    std::ofstream(dir_ / "cfg.ini", std::ios::binary) << bytes;
  }
  std::optional<std::string> Get() const {
    std::ifstream in(dir_ / "cfg.ini", std::ios::binary);
    if (!in) return std::nullopt;
    return std::string(std::istreambuf_iterator<char>(in), {});
  }

  fs::path dir_;
  static inline int counter_ = 0;
};

TEST_F(OutsideGbk, ANewFileIsUtf16AndKeepsEveryName) {
  ASSERT_EQ(GetACP(), 1252u);
  EXPECT_NE(WriteIniValue("Config", "设为壁纸", "1", File()), 0);
  EXPECT_NE(WriteIniValue("Config", "延迟运行", "6", File()), 0);
  EXPECT_NE(WriteIniValue("Config", "备用域名", "https://b.example", File()), 0);
  EXPECT_EQ(Get(), Utf16("[Config]\r\n设为壁纸=1\r\n延迟运行=6\r\n备用域名=https://b.example\r\n"));
  EXPECT_EQ(ReadIniValue("Config", "设为壁纸", File()), "1");
  EXPECT_EQ(ReadIniValue("Config", "延迟运行", File()), "6");
  EXPECT_EQ(ReadIniValue("Config", "域名", File()), "") << "three keys that once were one";

  // An empty file holds no encoding yet: it becomes UTF-16 too.
  Put("");
  EXPECT_NE(WriteIniValue("Config", "域名", "https://a.example", File()), 0);
  EXPECT_EQ(Get(), Utf16("[Config]\r\n域名=https://a.example\r\n"));

  // A value comes back as at most 255 UTF-16 units.
  std::string long_value;
  for (int i = 0; i < 300; ++i) long_value += "壁";
  Put(Utf16("[Config]\r\n域名=" + long_value + "\r\n"));
  EXPECT_EQ(ReadIniValue("Config", "域名", File()), long_value.substr(0, 255 * 3));

  // Where no file can be, none is made.
  EXPECT_EQ(WriteIniValue("Config", "k", "v", File("missing\\cfg.ini")), 0);
  fs::remove(dir_ / "cfg.ini");
  fs::create_directory(dir_ / "cfg.ini");
  EXPECT_EQ(WriteIniValue("Config", "k", "v", File()), 0);
  EXPECT_TRUE(fs::is_directory(dir_ / "cfg.ini"));
}

TEST_F(OutsideGbk, AFileFromAChineseSystemOrByHandStaysAsItWasWritten) {
  const std::string keys = "[Config]\r\n开机自启动=1\r\n域名=https://a.example\r\n";
  Put(Gbk(keys));
  EXPECT_EQ(ReadIniValue("Config", "开机自启动", File()), "1");
  EXPECT_EQ(ReadIniValue("Config", "域名", File()), "https://a.example");
  EXPECT_NE(WriteIniValue("Config", "设为壁纸", "0", File()), 0);
  EXPECT_EQ(Get(), Gbk(keys + "设为壁纸=0\r\n"));

  Put(keys);  // UTF-8, as Notepad saves a new file
  EXPECT_EQ(ReadIniValue("Config", "域名", File()), "https://a.example");
  EXPECT_NE(WriteIniValue("Config", "设为壁纸", "0", File()), 0);
  EXPECT_EQ(Get(), keys + "设为壁纸=0\r\n");
}

}  // namespace
}  // namespace pavo
