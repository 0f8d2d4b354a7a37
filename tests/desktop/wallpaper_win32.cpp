// Nothing is broadcast (the stored choice names the bitmap, in folders in and outside GBK: e2e_run).
#include <gtest/gtest.h>
#include <windows.h>

#include "desktop/wallpaper.h"
#include "support/scratch.h"

namespace pavo {
namespace {

int g_broadcasts = 0;  // every top-level window hears of a broadcast, this thread's at once

TEST(SetWallpaper, NothingIsBroadcast) {
  WNDCLASSW wc{};
  wc.lpfnWndProc = [](HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) -> LRESULT {
    g_broadcasts += msg == WM_SETTINGCHANGE && wparam == SPI_SETDESKWALLPAPER;
    return DefWindowProcW(hwnd, msg, wparam, lparam);
  };
  wc.lpszClassName = L"PavoSettingListener";
  RegisterClassW(&wc);
  const HWND listener = CreateWindowExW(0, wc.lpszClassName, L"", WS_OVERLAPPED, 0, 0, 9, 9, 0, 0, 0, 0);
  ASSERT_NE(listener, nullptr);
  test::Scratch dir("pavo-broadcast");
  ConvertToBitmap(PAVO_FIXTURES "/photo.jpg", dir / "WallPaper.bmp");
  SetWallpaper(dir / "WallPaper.bmp");
  EXPECT_EQ(g_broadcasts, 0);
}

}  // namespace
}  // namespace pavo
