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

  // A client area of 304 x 202 pixels at 96 dpi, in a sizable frame.
  RECT r{0, 0, 304, 202};
  AdjustWindowRectEx(&r, WS_OVERLAPPEDWINDOW, FALSE, 0);
  g_window = CreateWindowExW(0, wc.lpszClassName, win32::Wide(kCaption).c_str(), WS_OVERLAPPEDWINDOW,
                             CW_USEDEFAULT, CW_USEDEFAULT, r.right - r.left, r.bottom - r.top, nullptr,
                             nullptr, instance, nullptr);
  if (!g_window) return 1;
  SendMessageW(g_window, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(wc.hIcon));
  SendMessageW(g_window, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(wc.hIconSm));

  form.Form_Load();
  g_loaded = true;

  ShowWindow(g_window, SW_SHOWNORMAL);
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
  auto icon = reinterpret_cast<HICON>(SendMessageW(g_window, WM_GETICON, ICON_BIG, 0));
  if (!icon) icon = reinterpret_cast<HICON>(GetClassLongPtrW(g_window, GCLP_HICON));
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
