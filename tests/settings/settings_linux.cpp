// What only the Linux settings file has: files from Windows (GBK, UTF-16) read
// line by line as written, the 1 MiB cap, the replacement of the whole file.
#include <glib.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include "settings/ini_file.h"
#include "support/scratch.h"

namespace pavo {


namespace {

using test::L;

// By GLib, not by the program's own converter.
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

// A line that cannot be decoded costs that line alone (besides the files from
// other systems that tests/e2e reads). A GBK trail byte can be
// "A", "a" or "]" (丄 81 41, 乤 81 61, 乚 81 5D): only whole characters are compared.
TEST(SettingsFile, EachLineIsReadInTheEncodingItWasWrittenIn) {
  std::string zh;
  for (int i = 0; i < 150; ++i) zh += "中";
  const struct {
    std::string file, section, key, want;
  } rows[] = {
      {L("[Config]|") + Gbk("; 注释|") + L(kKeys.substr(9)), "config", "开机自启动", "1"},
      {L(kKeys + "k=a\xFF\xC3" "b|"), "Config", "k", "a\uFFFD\uFFFDb"},
      {L("[Config]|k=a\xFF|" + kKeys.substr(9)), "Config", "设为壁纸", "0"},
      {L("; 注释|") + Gbk("[Config]|开机自启动=1|") + "k=\x80\r\n", "Config", "开机自启动", "1"},  // € is GBK
      {Gbk(kKeys), "Config", "😀", ""},  // no GBK form: in no GBK file
      {L("[Config]|设为壁纸=0|; \x81\x30|; \x82\x31|"), "Config", "设为壁纸", "0"},  // no GBK either: no vote
      {Gbk("[A]|丄=1|"), "A", "乤", ""}, {Gbk("[A]|丄=1|乤=2|"), "a", "乤", "2"}, {Gbk("[乚]|k=v|"), "乚", "k", "v"},
      {Gbk("[A]|k=" + zh + "|"), "A", "k", zh.substr(0, 127 * 3)},  // 255 bytes of GBK
      {Gbk("[A]|k=a" + zh + "|"), "A", "k", "a" + zh.substr(0, 127 * 3)}, {Gbk(kKeys + "; 一|"), "config", "设为壁纸", "0"},
      {L("[A]|k=\xD6\xD0\xFF\x80\xFE|"), "A", "k", "中\uFFFD€\uFFFD"},
      {"\xFE\xFF" + In("UTF-16BE", kKeys), "Config", "域名", "https://a.example"},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.file);
    test::Scratch s("pavo-settings");
    test::Put(s / "cfg.ini", r.file);
    EXPECT_EQ(ReadIniValue(r.section, r.key, s / "cfg.ini"), r.want);
  }
}

// Written back in its own encoding or not at all (text it cannot hold, a
// UTF-16 file, one beyond the MiB that is read).
TEST(SettingsFile, StaysInItsEncodingWhenWritten) {
  test::Scratch s("pavo-settings");
  const std::string file = s / "cfg.ini";
  test::Put(file, Gbk(kKeys));
  EXPECT_NE(WriteIniValue("Config", "新键", "中文", file), 0);
  const std::string gbk = Gbk(kKeys + "新键=中文|");
  EXPECT_EQ(test::Get(file), gbk);
  const std::string utf16 = "\xFF\xFE" + In("UTF-16LE", kKeys);
  const std::string large = L("[Config]|域名=https://a.example|;" + std::string(3 << 20, 'x') + "|延迟运行=6|");
  const struct {
    std::string file, section, key, value;
  } refused[] = {
      {gbk, "Config", "ключ😀", "1"}, {L(kKeys), "Config", "开机自启动", "\xD6\xD0"}, {L(kKeys), "\xC3", "k", "1"},
      {utf16, "Config", "k", "1"}, {large, "Config", "k", "1"},
  };
  for (const auto& r : refused) {
    test::Put(file, r.file);
    EXPECT_EQ(WriteIniValue(r.section, r.key, r.value, file), 0) << r.key << "=" << r.value;
    EXPECT_EQ(test::Get(file), r.file);
  }
  EXPECT_EQ(ReadIniValue("Config", "域名", file), "https://a.example");
  EXPECT_EQ(ReadIniValue("Config", "延迟运行", file), "") << "beyond the first MiB";
  EXPECT_EQ(s.Names(), std::vector<std::string>{"cfg.ini"});
}

// The mode carries over. (A full disk: the first start's rows of tests/e2e.)
TEST(SettingsFile, IsReplacedKeepingMode) {
  test::Scratch s("pavo-settings");
  const std::string file = s / "cfg.ini";
  const mode_t old_umask = umask(022);
  EXPECT_NE(WriteIniValue("Config", "k", "v", file), 0);
  umask(old_umask);
  EXPECT_EQ(fs::symlink_status(file).permissions(), fs::perms(0644));
  chmod(file.c_str(), 0604);
  EXPECT_NE(WriteIniValue("Config", "k", "w", file), 0);
  EXPECT_EQ(fs::symlink_status(file).permissions(), fs::perms(0604));
  EXPECT_EQ(test::Get(file), L("[Config]|k=w|"));
}

}  // namespace
}  // namespace pavo
