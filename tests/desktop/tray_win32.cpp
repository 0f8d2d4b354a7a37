// The tray icon as Wine's own tray shows it, under GBK and 1252 (tray_test_cp1252). The program, at a scale of the
// prefix (its LogPixels, read as each Wine process starts), started as a shortcut asks (its start-up information's show
// state): in its delay its window is hidden and minimised, never having filled the screen, and the tray shows its icon
// at the scale's small size. Then this process's window through MinToTray: its states, id and callback, and removal.
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "desktop/min_to_tray.h"
#include "desktop/window.h"
#include "support/scratch.h"
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
    auto* remote =
        process ? static_cast<char*>(VirtualAllocEx(process, nullptr, 4096, MEM_COMMIT, PAGE_READWRITE)) : nullptr;
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

// A window's pixels on the screen, or the icon drawn as the tray draws it
// (small at the tray's scale, this process's, centred, over the corner's colour).
std::vector<COLORREF> Pixels(HWND window, HICON icon = nullptr, COLORREF ground = 0) {
  RECT r{};
  GetWindowRect(window, &r);
  const int w = r.right - r.left, h = r.bottom - r.top;
  const int cx = GetSystemMetrics(SM_CXSMICON);
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
bool Within(DWORD ms, Done done, DWORD step = 20) {
  for (const DWORD end = GetTickCount() + ms; !done(); Sleep(step))
    if (window::DoEvents(), static_cast<LONG>(GetTickCount() - end) > 0) return false;
  return true;
}

WNDPROC g_host = nullptr;
std::vector<WPARAM> g_clicks;  // the tray's callbacks for a click, with the icon's id

class TrayForm : public window::Events {
 public:
  bool watched = false;
  void Form_Load() override {}
  void Form_Resize() override { MinToTray::Form_Resize(); }  // as Form1 hands it on
  void Form_Activate() override {
    if (std::exchange(watched, true)) return;
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
    const auto id = static_cast<UINT>(SendMessageW(hwnd, WM_GETICON, ICON_SMALL, 0));  // the small icon's handle
    window::SetState(window::kMaximised);  // no icon and no hiding in any state but minimised
    window::SetState(window::kNormal);
    EXPECT_EQ(OursInTheTray().size(), 0u);
    EXPECT_TRUE(IsWindowVisible(hwnd));
    window::SetState(window::kMinimised);
    std::vector<HWND> shown;
    ASSERT_TRUE(Within(3000, [&] { return (shown = OursInTheTray()).size() == 1; })) << shown.size() << " icons";
    SendMessageW(shown[0], WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    EXPECT_TRUE(Within(3000, [] { return !g_clicks.empty(); }) && g_clicks[0] == id) << "no callback";
    MinToTray::RemoveIcon();
    EXPECT_TRUE(Within(3000, [] { return OursInTheTray().empty(); })) << "the removal takes the icon it added";
  }
};

// The scale and the show state asked for (-1: none).
const std::pair<DWORD, int> kRows[] = {{96, -1}, {192, -1}, {96, SW_SHOWMINNOACTIVE}, {96, SW_SHOWMAXIMIZED}};

void StartAs(DWORD dpi, int show) {
  test::Scratch dir("pavo-start");
  ASSERT_TRUE(CopyFileW(win32::Wide("Z:" PAVO_PROGRAM).c_str(), win32::Wide(dir / "pavo.exe").c_str(), FALSE));
  // A delay of 4 s, then a request nobody answers, and the end.
  test::Put(dir / "cfg.ini", test::L("[Config]|开机自启动=0|设为壁纸=0|延迟运行=4|域名=http://127.0.0.1:1|"));
  RegSetKeyValueW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", L"LogPixels", REG_DWORD, &dpi, sizeof dpi);
  STARTUPINFOW si{.cb = sizeof si, .dwFlags = show < 0 ? 0u : STARTF_USESHOWWINDOW,
                  .wShowWindow = static_cast<WORD>(show)};
  PROCESS_INFORMATION pi{};
  std::wstring command = win32::Wide(dir / "pavo.exe");
  ASSERT_TRUE(CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi));
  CloseHandle(pi.hThread);
  HWND hwnd = nullptr;
  LONG widest = 0;  // of the window while it was on the screen
  EXPECT_TRUE(Within(20000, [&] {
    RECT r{};
    if (!(hwnd = FindWindowW(L"PavoForm1", nullptr))) return false;  // (each row waits for the program's end)
    if (IsWindowVisible(hwnd) && GetWindowRect(hwnd, &r)) widest = std::max(widest, r.right - r.left);
    return !IsWindowVisible(hwnd) && OursInTheTray().size() == 1;
  }, 1)) << "no hidden window with its icon in the tray";  // (looked at every millisecond: it may be seen only briefly)
  Sleep(1000);  // still in the delay, past the run's first step (the one icon: below)
  EXPECT_TRUE(IsIconic(hwnd));
  EXPECT_FALSE(IsWindowVisible(hwnd)) << "a taskbar button";
  EXPECT_LT(widest, GetSystemMetrics(SM_CXSCREEN) / 2) << "the window filled the screen";
  // The program's icon, as drawn for the scale's small size (16 at 96 dpi).
  const auto icon = static_cast<HICON>(LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(1), IMAGE_ICON,
                                                  static_cast<int>(dpi / 6), static_cast<int>(dpi / 6), 0));
  std::vector<COLORREF> screen;
  EXPECT_TRUE(Within(3000, [&] {
    const std::vector<HWND> shown = OursInTheTray();
    return shown.size() == 1 && !(screen = Pixels(shown[0])).empty() &&
           screen == Pixels(shown[0], icon, screen.front());
  })) << "the tray does not show the program's icon at the scale's size";
  EXPECT_EQ(WaitForSingleObject(pi.hProcess, 60000), WAIT_OBJECT_0) << "the run did not end";
  CloseHandle(pi.hProcess);
  EXPECT_TRUE(Within(3000, [] { return OursInTheTray().empty(); })) << "the icon stayed";
}

TEST(Tray, OneIconFromTheMinimiseToTheRemovalAsTheTrayShowsIt) {
  ASSERT_TRUE(GetACP() == 936u || GetACP() == 1252u) << "GBK (tools/wine-run) or 1252 (PAVO_WINE_LOCALE)";
  for (const auto& [dpi, show] : kRows) {
    SCOPED_TRACE(testing::Message() << dpi << " dpi, show state " << show);
    StartAs(dpi, show);
  }
  RegDeleteKeyValueW(HKEY_CURRENT_USER, L"Control Panel\\Desktop", L"LogPixels");  // the test prefix's own: none (96)
  TrayForm form;  // (after the program's rows: its window is of the program's class)
  EXPECT_EQ(window::Run(form), 0);
  EXPECT_TRUE(form.watched) << "the window was never activated";
}

}  // namespace
}  // namespace pavo
