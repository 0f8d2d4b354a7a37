// The wallpaper request on Windows: the choice the system stores for the
// user, made without a setting-change broadcast.
#include <gtest/gtest.h>
#include <windows.h>

#include <filesystem>
#include <string>

#include "desktop/wallpaper.h"
#include "desktop/wallpaper/picture.h"
#include "sys/text_win32.h"

namespace pavo {
namespace {

std::wstring StoredWallpaper() {
  wchar_t buf[1024] = {};
  DWORD size = sizeof buf;
  if (RegGetValueW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", L"Wallpaper", RRF_RT_REG_SZ, nullptr, buf,
                   &size) != ERROR_SUCCESS)
    return L"<none>";
  return buf;
}

// Every top-level window hears of a broadcast change, this thread's at once.
int g_broadcasts = 0;

LRESULT CALLBACK Listening(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  if (msg == WM_SETTINGCHANGE && wparam == SPI_SETDESKWALLPAPER) ++g_broadcasts;
  return DefWindowProcW(hwnd, msg, wparam, lparam);
}

TEST(SetWallpaperTest, TheStoredChoiceNamesTheBitmapAndNothingIsBroadcast) {
  ASSERT_EQ(GetACP(), 936u) << "the tests run with the GBK code page (tools/wine-run)";
  WNDCLASSW wc{};
  wc.lpfnWndProc = Listening;
  wc.hInstance = GetModuleHandleW(nullptr);
  wc.lpszClassName = L"PavoSettingListener";
  RegisterClassW(&wc);
  HWND listener = CreateWindowExW(0, wc.lpszClassName, L"", WS_OVERLAPPED, 0, 0, 10, 10, nullptr, nullptr,
                                  wc.hInstance, nullptr);
  ASSERT_NE(listener, nullptr);
  const std::wstring before = StoredWallpaper();
  namespace fs = std::filesystem;
  // The ANSI request names a folder of the code page; Hangul has no place
  // in GBK, and only the wide request can name that folder.
  for (const char* dir_name : {"Pavo壁纸", "Pavo한글"}) {
    SCOPED_TRACE(dir_name);
    fs::path dir = fs::temp_directory_path() / test::FsPath(std::string("pavo-setwallpaper-") + dir_name);
    fs::create_directories(dir);
    const std::string bmp = test::Utf8Path(dir / "WallPaper.bmp");
    ConvertToBitmap(std::string(PAVO_FIXTURES) + "/odd_641x3.jpg", bmp);
    g_broadcasts = 0;
    SetWallpaper(bmp);
    MSG msg;
    while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    EXPECT_EQ(win32::Utf8(StoredWallpaper()), bmp);
    EXPECT_EQ(g_broadcasts, 0) << "the change was broadcast";
    fs::remove_all(dir);
  }
  // Leave the prefix's setting as it was.
  if (before != L"<none>")
    SystemParametersInfoW(SPI_SETDESKWALLPAPER, 0, const_cast<wchar_t*>(before.c_str()), SPIF_UPDATEINIFILE);
  DestroyWindow(listener);
}

}  // namespace
}  // namespace pavo
