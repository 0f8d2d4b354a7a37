#include "desktop/window.h"

#include <windows.h>
#include <objbase.h>

#include "sys/failure.h"
#include "sys/text_win32.h"

namespace pavo::window {

namespace {

constexpr UINT kStartMessage = WM_APP + 1;
constexpr int kIconResource = 1;

HWND g_window = nullptr;
Events* g_form = nullptr;
bool g_loaded = false;

LRESULT CALLBACK WindowProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  switch (msg) {
    case WM_SIZE:
      // The window is created before the load handler runs; nothing of the
      // program may run before it.
      if (g_loaded) g_form->Form_Resize();
      return 0;
    case WM_ACTIVATE: {
      LRESULT r = DefWindowProcW(hwnd, msg, wparam, lparam);
      if (g_loaded && LOWORD(wparam) != WA_INACTIVE) g_form->Form_Activate();
      return r;
    }
    case kStartMessage:
      // Should the platform never activate the window (a foreground lock, no
      // desktop), the run still starts; Form_Activate runs only once.
      if (g_loaded) g_form->Form_Activate();
      return 0;
    case WM_GETMINMAXINFO: {
      // Maximised, the window keeps its own place and size: a starter that
      // asks for a maximised window (a shortcut's "Run: Maximized") gets no
      // full-screen window for the moment before the run minimises it.
      RECT r{};
      if (!IsIconic(hwnd) && !IsZoomed(hwnd) && GetWindowRect(hwnd, &r)) {
        auto* info = reinterpret_cast<MINMAXINFO*>(lparam);
        info->ptMaxSize = {r.right - r.left, r.bottom - r.top};
        info->ptMaxPosition = {r.left, r.top};
      }
      return 0;
    }
    case WM_DPICHANGED: {
      // Moved to a monitor of another scale: the size the system suggests.
      const RECT* r = reinterpret_cast<const RECT*>(lparam);
      SetWindowPos(hwnd, nullptr, r->left, r->top, r->right - r->left, r->bottom - r->top,
                   SWP_NOZORDER | SWP_NOACTIVATE);
      return 0;
    }
    case WM_DESTROY:
      PostQuitMessage(1);
      return 0;
    default:
      return DefWindowProcW(hwnd, msg, wparam, lparam);
  }
}

HICON LoadAppIcon(HINSTANCE instance, int size) {
  auto icon = static_cast<HICON>(
      LoadImageW(instance, MAKEINTRESOURCEW(kIconResource), IMAGE_ICON, size, size, LR_DEFAULTCOLOR));
  return icon ? icon : LoadIconW(nullptr, MAKEINTRESOURCEW(32512) /* IDI_APPLICATION */);
}

// A function of user32 that only later versions of Windows have; null before.
template <class Fn>
Fn User32(const char* name) {
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(GetModuleHandleW(L"user32.dll"), name)));
}

// The scale of the monitor the window is on, and a system metric at that
// scale. The per-monitor functions came with Windows 10 1607; before it a
// per-monitor aware process sees the system's scale, which is the screen's.
UINT DpiOf(HWND hwnd) {
  static const auto fn = User32<UINT(WINAPI*)(HWND)>("GetDpiForWindow");
  if (UINT dpi = fn ? fn(hwnd) : 0) return dpi;
  HDC screen = GetDC(nullptr);
  const int dpi = GetDeviceCaps(screen, LOGPIXELSX);
  ReleaseDC(nullptr, screen);
  return dpi > 0 ? static_cast<UINT>(dpi) : 96;
}

int MetricFor(int index, UINT dpi) {
  static const auto fn = User32<int(WINAPI*)(int, UINT)>("GetSystemMetricsForDpi");
  const int value = fn ? fn(index, dpi) : 0;
  return value ? value : GetSystemMetrics(index);
}

// The window's icons drawn at the sizes the shell shows for its monitor: the
// small one is also the tray's (its handle is the tray icon's id), so the
// tray gets an image of its own size, not one it scales.
void SetIconsFor(HWND hwnd, HINSTANCE instance) {
  const UINT dpi = DpiOf(hwnd);
  SendMessageW(hwnd, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(LoadAppIcon(instance, MetricFor(SM_CXICON, dpi))));
  SendMessageW(hwnd, WM_SETICON, ICON_SMALL,
               reinterpret_cast<LPARAM>(LoadAppIcon(instance, MetricFor(SM_CXSMICON, dpi))));
}

// A client area of 304 x 202 pixels at 96 dpi, at the window's own scale, in
// a sizable frame.
void SizeFor(HWND hwnd) {
  const UINT dpi = DpiOf(hwnd);
  RECT r{0, 0, MulDiv(304, static_cast<int>(dpi), 96), MulDiv(202, static_cast<int>(dpi), 96)};
  static const auto fn = User32<BOOL(WINAPI*)(RECT*, DWORD, BOOL, DWORD, UINT)>("AdjustWindowRectExForDpi");
  if (!fn || !fn(&r, WS_OVERLAPPEDWINDOW, FALSE, 0, dpi)) AdjustWindowRectEx(&r, WS_OVERLAPPEDWINDOW, FALSE, 0);
  SetWindowPos(hwnd, nullptr, 0, 0, r.right - r.left, r.bottom - r.top, SWP_NOMOVE | SWP_NOZORDER | SWP_NOACTIVATE);
}

}  // namespace

int Run(Events& form) {
  g_form = &form;
  // The HTTP request component is an apartment-threaded COM object.
  CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);

  HINSTANCE instance = GetModuleHandleW(nullptr);
  WNDCLASSEXW wc{};
  wc.cbSize = sizeof wc;
  wc.lpfnWndProc = WindowProc;
  wc.hInstance = instance;
  wc.hIcon = LoadAppIcon(instance, GetSystemMetrics(SM_CXICON));
  wc.hIconSm = LoadAppIcon(instance, GetSystemMetrics(SM_CXSMICON));
  wc.hCursor = LoadCursorW(nullptr, MAKEINTRESOURCEW(32512) /* IDC_ARROW */);
  wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_BTNFACE + 1);
  wc.lpszClassName = L"PavoForm1";
  if (!RegisterClassExW(&wc)) return 1;

  g_window = CreateWindowExW(0, wc.lpszClassName, win32::Wide(kCaption).c_str(), WS_OVERLAPPEDWINDOW,
                             CW_USEDEFAULT, CW_USEDEFAULT, 304, 202, nullptr, nullptr, instance, nullptr);
  if (!g_window) return 1;
  SizeFor(g_window);
  SetIconsFor(g_window, instance);

  form.Form_Load();
  g_loaded = true;

  // The first show of the main window is in the state the starter asked for
  // (a shortcut set to "Minimized" or "Maximized" sets it in the start-up
  // information): the system gives it that state whatever is asked, and it is
  // asked for here as the system does. A minimised window already has its
  // tray icon up and is hidden (the resize handling ran); any other state
  // becomes the normal one, in which the window always opens.
  STARTUPINFOW start{};
  start.cb = sizeof start;
  GetStartupInfoW(&start);
  ShowWindow(g_window, (start.dwFlags & STARTF_USESHOWWINDOW) ? start.wShowWindow : SW_SHOWNORMAL);
  if (!IsIconic(g_window) && (IsZoomed(g_window) || !IsWindowVisible(g_window))) ShowWindow(g_window, SW_SHOWNORMAL);
  PostMessageW(g_window, kStartMessage, 0, 0);

  MSG msg{};
  BOOL got;
  while ((got = GetMessageW(&msg, nullptr, 0, 0)) > 0) {
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
  // 0: the quit message, with the status in it; -1: the loop failed, and msg
  // holds nothing of use.
  return got == 0 ? static_cast<int>(msg.wParam) : 1;
}

void SetState(int state) {
  int cmd = state == kMinimised ? SW_MINIMIZE : state == kMaximised ? SW_MAXIMIZE : SW_RESTORE;
  if (!g_window) throw Failure("no window");
  // Already minimised (the starter asked for it): the system would change no
  // state and send no resize, and SW_MINIMIZE would show a hidden window as
  // a taskbar button. The resize handling runs as for any minimise.
  if (state == kMinimised && IsIconic(g_window)) {
    if (g_loaded) g_form->Form_Resize();
    return;
  }
  ShowWindow(g_window, cmd);
}

int State() {
  if (!g_window || !IsWindow(g_window)) throw Failure("no window");
  if (IsIconic(g_window)) return kMinimised;
  if (IsZoomed(g_window)) return kMaximised;
  return kNormal;
}

std::uintptr_t Handle() {
  if (!g_window) throw Failure("no window");
  return reinterpret_cast<std::uintptr_t>(g_window);
}

std::uintptr_t IconHandle() {
  if (!g_window) throw Failure("no window");
  // The small icon: the one drawn at the tray's size.
  auto icon = reinterpret_cast<HICON>(SendMessageW(g_window, WM_GETICON, ICON_SMALL, 0));
  if (!icon) icon = reinterpret_cast<HICON>(GetClassLongPtrW(g_window, GCLP_HICONSM));
  if (!icon) throw Failure("window without icon");
  return reinterpret_cast<std::uintptr_t>(icon);
}

std::string Caption() {
  if (!g_window) throw Failure("no window");
  wchar_t buf[256];
  int n = GetWindowTextW(g_window, buf, 256);
  return win32::Utf8(std::wstring(buf, static_cast<size_t>(n > 0 ? n : 0)));
}

void Hide() {
  if (!g_window) throw Failure("no window");
  ShowWindow(g_window, SW_HIDE);
}

void DoEvents() {
  MSG msg;
  while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
    if (msg.message == WM_QUIT) continue;  // the run ends the process itself
    TranslateMessage(&msg);
    DispatchMessageW(&msg);
  }
}

void WaitForMessages(std::uint32_t timeout_ms) {
  MsgWaitForMultipleObjectsEx(0, nullptr, timeout_ms, QS_ALLINPUT, MWMO_INPUTAVAILABLE);
}

void EndProcess(int status) { ExitProcess(static_cast<UINT>(status)); }

}  // namespace pavo::window
