// The tray icon as Wine's own tray shows it (its id, tip, callback, picture)
// from the minimise to the removal, under GBK and 1252 (tray_test_cp1252).
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "desktop/min_to_tray.h"
#include "desktop/window.h"
#include "sys/text_win32.h"

namespace pavo {
namespace {

// The tray icons' windows whose tip, read in the shell's process, is the caption.
std::vector<HWND> OursInTheTray() {
  std::vector<HWND> ours;
  for (HWND tips = nullptr; (tips = FindWindowExW(nullptr, tips, TOOLTIPS_CLASSW, nullptr));) {
    DWORD pid = 0;
    GetWindowThreadProcessId(tips, &pid);
    HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
    auto* remote = process ? static_cast<char*>(VirtualAllocEx(process, nullptr, 4096, MEM_COMMIT, PAGE_READWRITE)) : nullptr;
    for (LRESULT i = 0; remote && i < SendMessageW(tips, TTM_GETTOOLCOUNT, 0, 0); ++i) {
      TTTOOLINFOW tool{sizeof tool};
      tool.lpszText = reinterpret_cast<wchar_t*>(remote + 1024);  // (the text's bytes come zeroed, NUL-ended)
      wchar_t text[512] = {};
      WriteProcessMemory(process, remote, &tool, sizeof tool, nullptr);
      if (!SendMessageW(tips, TTM_ENUMTOOLSW, i, reinterpret_cast<LPARAM>(remote))) continue;
      ReadProcessMemory(process, remote, &tool, sizeof tool, nullptr);
      ReadProcessMemory(process, remote + 1024, text, sizeof text - 2, nullptr);
      if (text == win32::Wide(kCaption)) ours.push_back(tool.hwnd);
    }
    if (remote) VirtualFreeEx(process, remote, 0, MEM_RELEASE);
    if (process) CloseHandle(process);
  }
  return ours;
}

// A modification that changes nothing is refused for an icon the tray lacks.
bool InTray(HWND owner, UINT id) {
  NOTIFYICONDATAW probe{NOTIFYICONDATAW_V1_SIZE, owner, id};
  return Shell_NotifyIconW(NIM_MODIFY, &probe);
}

// A window's pixels on the screen, or the icon drawn as the tray draws it
// (small, centred, over the corner's colour).
std::vector<COLORREF> Pixels(HWND window, HICON icon = nullptr, COLORREF ground = 0) {
  RECT r{};
  GetWindowRect(window, &r);
  const int w = r.right - r.left, h = r.bottom - r.top, cx = GetSystemMetrics(SM_CXSMICON);
  HDC screen = GetDC(nullptr), dc = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, w, h);
  SelectObject(dc, bitmap);
  SelectObject(dc, GetStockObject(DC_BRUSH));
  SetDCBrushColor(dc, ground);
  BitBlt(dc, 0, 0, w, h, screen, r.left, r.top, icon ? PATCOPY : SRCCOPY);  // the ground, or the screen
  if (icon) DrawIconEx(dc, (w - cx) / 2, (h - cx) / 2, icon, cx, cx, 0, nullptr, DI_NORMAL);
  std::vector<COLORREF> pixels;
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) pixels.push_back(GetPixel(dc, x, y));
  DeleteDC(dc);
  DeleteObject(bitmap);
  ReleaseDC(nullptr, screen);
  return pixels;
}

template <class Done>
bool Within(DWORD ms, Done done) {
  for (const DWORD end = GetTickCount() + ms; !done(); Sleep(20))
    if (window::DoEvents(), static_cast<LONG>(GetTickCount() - end) > 0) return false;
  return true;
}

WNDPROC g_host = nullptr;
std::vector<WPARAM> g_clicks;  // the tray's callbacks for a click, with the icon's id

class TrayForm : public window::Events {
 public:
  int activations = 0;
  void Form_Load() override {}
  void Form_Resize() override { MinToTray::Form_Resize(); }  // as Form1 hands it on
  void Form_Activate() override {
    if (activations++ > 0) return;
    const HWND hwnd = reinterpret_cast<HWND>(window::Handle());
    g_host = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
        hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(+[](HWND w, UINT msg, WPARAM wp, LPARAM lp) -> LRESULT {
          // The callback number is WM_MOUSEMOVE's: the tray's carry a mouse message.
          if (msg == WM_MOUSEMOVE && lp == WM_LBUTTONDOWN) g_clicks.push_back(wp);
          return CallWindowProcW(g_host, w, msg, wp, lp);
        })));
    Watch(hwnd);
    PostQuitMessage(0);
  }

  void Watch(HWND hwnd) {
    const HICON icon = reinterpret_cast<HICON>(SendMessageW(hwnd, WM_GETICON, ICON_BIG, 0));
    ASSERT_NE(icon, nullptr) << "the window has the program's icon";
    const UINT id = static_cast<UINT>(reinterpret_cast<std::uintptr_t>(icon));
    window::SetState(window::kMaximised);  // no icon for any state but minimised
    window::SetState(window::kNormal);
    SetWindowPos(hwnd, nullptr, 0, 0, 500, 400, SWP_NOMOVE | SWP_NOZORDER);
    window::DoEvents();
    EXPECT_FALSE(InTray(hwnd, id));
    for (int round = 0; round < 2; ++round) {
      SCOPED_TRACE(round == 0 ? "first minimise" : "brought back and minimised again");
      window::SetState(window::kMinimised);
      EXPECT_TRUE(InTray(hwnd, id));
      std::vector<HWND> shown;
      ASSERT_TRUE(Within(3000, [&] { return (shown = OursInTheTray()).size() == 1; })) << shown.size() << " icons";
      EXPECT_FALSE(IsWindowVisible(hwnd));
      EXPECT_EQ(window::State(), window::kMinimised);
      g_clicks.clear();
      SendMessageW(shown[0], WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
      EXPECT_TRUE(Within(3000, [] { return !g_clicks.empty(); }) && g_clicks[0] == id) << "no callback";
      std::vector<COLORREF> screen;
      EXPECT_TRUE(Within(3000, [&] {
        return !(screen = Pixels(shown[0])).empty() && screen == Pixels(shown[0], icon, screen.front());
      })) << "the tray does not show the window's icon";
      MinToTray::RemoveIcon();
      EXPECT_FALSE(InTray(hwnd, id)) << "the removal takes the icon it added";
      ShowWindow(hwnd, SW_RESTORE);
      window::DoEvents();
      EXPECT_TRUE(IsWindowVisible(hwnd));
    }
  }
};

TEST(Tray, OneIconFromTheMinimiseToTheRemovalAsTheTrayShowsIt) {
  ASSERT_TRUE(GetACP() == 936u || GetACP() == 1252u) << "GBK (tools/wine-run) or 1252 (PAVO_WINE_LOCALE)";
  TrayForm form;
  EXPECT_EQ(window::Run(form), 0);
  EXPECT_GE(form.activations, 1) << "the window was never activated";
}

}  // namespace
}  // namespace pavo
