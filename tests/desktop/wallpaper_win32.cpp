// The stored choice names the bitmap in a folder GBK cannot name (in one it can: e2e_run), and nothing is broadcast.
#include <gtest/gtest.h>
#include <windows.h>

#include "desktop/wallpaper.h"
#include "support/scratch.h"
#include "sys/text_win32.h"

namespace pavo {
namespace {

int g_broadcasts = 0;  // every top-level window hears of a broadcast, this thread's at once

TEST(SetWallpaper, TheStoredChoiceNamesTheBitmapAndNothingIsBroadcast) {
  ASSERT_EQ(GetACP(), 936u) << "the tests run with the GBK code page (tools/wine-run)";
  WNDCLASSW wc{};
  wc.lpfnWndProc = [](HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) -> LRESULT {
    g_broadcasts += msg == WM_SETTINGCHANGE && wparam == SPI_SETDESKWALLPAPER;
    return DefWindowProcW(hwnd, msg, wparam, lparam);
  };
  wc.lpszClassName = L"PavoSettingListener";
  RegisterClassW(&wc);
  const HWND listener = CreateWindowExW(0, wc.lpszClassName, L"", WS_OVERLAPPED, 0, 0, 9, 9, 0, 0, 0, 0);
  ASSERT_NE(listener, nullptr);
  test::Scratch dir("pavo-한글");  // Hangul has no place in GBK
  ConvertToBitmap(PAVO_FIXTURES "/photo.jpg", dir / "WallPaper.bmp");
  SetWallpaper(dir / "WallPaper.bmp");
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
  wchar_t stored[1024] = {};
  DWORD size = sizeof stored;
  RegGetValueW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", L"Wallpaper", RRF_RT_REG_SZ, nullptr, stored, &size);
  EXPECT_EQ(win32::Utf8(stored), dir / "WallPaper.bmp");
  EXPECT_EQ(g_broadcasts, 0);
  DestroyWindow(listener);
}

}  // namespace
}  // namespace pavo
