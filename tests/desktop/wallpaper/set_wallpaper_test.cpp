// The wallpaper request on Windows: the exact arguments handed to the
// system, and the choice the system stores for the user.
#include <gtest/gtest.h>
#include <windows.h>

#include <cstring>
#include <cwchar>
#include <filesystem>
#include <string>
#include <vector>

#include "app/text_win32.h"
#include "desktop/set_wallpaper_win32.h"
#include "desktop/wallpaper.h"
#include "desktop/wallpaper/picture.h"

namespace pavo {
namespace {

struct Request {
  bool wide;
  UINT action, param, winini;
  std::string ansi;     // the path's bytes, up to and including the zero byte
  std::wstring unicode;  // the same for the wide request
};
std::vector<Request> g_requests;

BOOL WINAPI RecordAnsi(UINT action, UINT param, PVOID data, UINT winini) {
  const char* s = static_cast<const char*>(data);
  g_requests.push_back({false, action, param, winini, std::string(s, std::strlen(s) + 1), {}});
  return TRUE;
}

BOOL WINAPI RecordWide(UINT action, UINT param, PVOID data, UINT winini) {
  const wchar_t* s = static_cast<const wchar_t*>(data);
  g_requests.push_back({true, action, param, winini, {}, std::wstring(s, std::wcslen(s) + 1)});
  return TRUE;
}

class SetWallpaperTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(GetACP(), 936u) << "the tests run with the GBK code page (tools/wine-run)";
    g_requests.clear();
  }
  void TearDown() override { wallpaper::SetSystemParametersForTest(nullptr, nullptr); }
};

TEST_F(SetWallpaperTest, OneAnsiRequestStoredWithoutBroadcast) {
  wallpaper::SetSystemParametersForTest(RecordAnsi, RecordWide);
  SetWallpaper("C:\\Pavo壁纸\\img\\WallPaper.bmp");
  ASSERT_EQ(g_requests.size(), 1u);
  const Request& r = g_requests[0];
  EXPECT_FALSE(r.wide);
  EXPECT_EQ(r.action, 20u);
  EXPECT_EQ(r.param, 0xFFFFFFFFu);
  EXPECT_EQ(r.winini, 1u);
  EXPECT_EQ(r.ansi, std::string("C:\\Pavo\xB1\xDA\xD6\xBD\\img\\WallPaper.bmp\0", 30));
}

TEST_F(SetWallpaperTest, APathOutsideTheCodePageGoesByTheWideRequest) {
  wallpaper::SetSystemParametersForTest(RecordAnsi, RecordWide);
  // Hangul has no place in GBK: its ANSI form could not name the file.
  SetWallpaper("C:\\한글\\img\\WallPaper.bmp");
  ASSERT_EQ(g_requests.size(), 1u);
  const Request& r = g_requests[0];
  EXPECT_TRUE(r.wide);
  EXPECT_EQ(r.action, 20u);
  EXPECT_EQ(r.param, 0xFFFFFFFFu);
  EXPECT_EQ(r.winini, 1u);
  EXPECT_EQ(r.unicode, std::wstring(L"C:\\\xD55C\xAE00\\img\\WallPaper.bmp") + L'\0');
}

std::wstring StoredWallpaper() {
  wchar_t buf[1024] = {};
  DWORD size = sizeof buf;
  if (RegGetValueW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", L"Wallpaper", RRF_RT_REG_SZ, nullptr, buf,
                   &size) != ERROR_SUCCESS)
    return L"<none>";
  return buf;
}

TEST_F(SetWallpaperTest, TheStoredChoiceNamesTheBitmap) {
  const std::wstring before = StoredWallpaper();
  namespace fs = std::filesystem;
  for (const char* dir_name : {"Pavo壁纸", "Pavo한글"}) {
    SCOPED_TRACE(dir_name);
    fs::path dir = fs::temp_directory_path() / test::FsPath(std::string("pavo-setwallpaper-") + dir_name);
    fs::create_directories(dir);
    const std::string bmp = test::Utf8Path(dir / "WallPaper.bmp");
    ConvertToBitmap(std::string(PAVO_FIXTURES) + "/odd_641x3.jpg", bmp);
    SetWallpaper(bmp);
    EXPECT_EQ(win32::Utf8(StoredWallpaper()), bmp);
    fs::remove_all(dir);
  }
  // Leave the prefix's setting as it was.
  if (before != L"<none>")
    SystemParametersInfoW(SPI_SETDESKWALLPAPER, 0, const_cast<wchar_t*>(before.c_str()), SPIF_UPDATEINIFILE);
}

}  // namespace
}  // namespace pavo
