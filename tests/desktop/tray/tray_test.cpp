// The tray presence on Windows as Wine's own tray shows it: the icon that
// minimising the program's window puts up (its owner and id, its tip, its
// callback and its picture) and that the removal takes down, with the window
// run by the program's own host; and the application icon, version
// information and manifest of the program itself. The tray case runs twice:
// under the GBK code page (the ANSI record) and under code page 1252 (where
// only the wide record shows the caption, tray_test_cp1252).
#include <gtest/gtest.h>
#include <windows.h>
#include <commctrl.h>
#include <shellapi.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "desktop/min_to_tray.h"
#include "desktop/window.h"
#include "sys/text_win32.h"

namespace pavo {
namespace {

// The program itself, opened as data: its resources are what is checked.
HMODULE Program() {
  static HMODULE module =
      LoadLibraryExW(win32::Wide(PAVO_EXE).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  return module;
}

// One icon of the tray as the tray shows it: the window that draws it and
// the text of its tip, read from the tip windows in the shell's own process.
struct Shown {
  HWND window;
  std::wstring tip;
};

BOOL CALLBACK CollectTips(HWND tips, LPARAM list) {
  wchar_t name[64] = {};
  GetClassNameW(tips, name, 64);
  DWORD pid = 0;
  GetWindowThreadProcessId(tips, &pid);
  if (std::wstring(name) != TOOLTIPS_CLASSW || pid == GetCurrentProcessId()) return TRUE;
  HANDLE process = OpenProcess(PROCESS_VM_OPERATION | PROCESS_VM_READ | PROCESS_VM_WRITE, FALSE, pid);
  if (!process) return TRUE;
  // The tool's record and its text live in the shell's memory while it fills them.
  auto* remote = static_cast<char*>(VirtualAllocEx(process, nullptr, 4096, MEM_COMMIT, PAGE_READWRITE));
  const auto count = SendMessageW(tips, TTM_GETTOOLCOUNT, 0, 0);
  for (LRESULT i = 0; remote && i < count; ++i) {
    TTTOOLINFOW tool{};
    tool.cbSize = sizeof tool;
    tool.lpszText = reinterpret_cast<wchar_t*>(remote + 1024);
    wchar_t text[1024] = {};
    WriteProcessMemory(process, remote, &tool, sizeof tool, nullptr);
    WriteProcessMemory(process, remote + 1024, text, sizeof text, nullptr);
    if (!SendMessageW(tips, TTM_ENUMTOOLSW, i, reinterpret_cast<LPARAM>(remote))) continue;
    ReadProcessMemory(process, remote, &tool, sizeof tool, nullptr);
    ReadProcessMemory(process, remote + 1024, text, sizeof text - sizeof(wchar_t), nullptr);
    reinterpret_cast<std::vector<Shown>*>(list)->push_back({tool.hwnd, text});
  }
  if (remote) VirtualFreeEx(process, remote, 0, MEM_RELEASE);
  CloseHandle(process);
  return TRUE;
}

// The icons whose tip is the program's caption.
std::vector<Shown> OursInTheTray() {
  std::vector<Shown> all, ours;
  EnumWindows(CollectTips, reinterpret_cast<LPARAM>(&all));
  for (const Shown& s : all)
    if (s.tip == win32::Wide(kCaption)) ours.push_back(s);
  return ours;
}

// Whether the tray holds an icon of this owner and id (a modification that
// changes nothing is refused for any other).
bool InTray(HWND owner, UINT id) {
  NOTIFYICONDATAW probe{};
  probe.cbSize = NOTIFYICONDATAW_V1_SIZE;
  probe.hWnd = owner;
  probe.uID = id;
  return Shell_NotifyIconW(NIM_MODIFY, &probe);
}

// The screen's pixels in a window's rectangle.
std::vector<COLORREF> Pixels(HWND window) {
  RECT r{};
  GetWindowRect(window, &r);
  HDC screen = GetDC(nullptr);
  std::vector<COLORREF> pixels;
  for (LONG y = r.top; y < r.bottom; ++y)
    for (LONG x = r.left; x < r.right; ++x) pixels.push_back(GetPixel(screen, x, y));
  ReleaseDC(nullptr, screen);
  return pixels;
}

// The icon as the tray draws it: small, in the middle of a window of the
// given size over the colour found at its corner.
std::vector<COLORREF> Drawn(HICON icon, int width, int height, COLORREF ground) {
  HDC screen = GetDC(nullptr);
  HDC dc = CreateCompatibleDC(screen);
  HBITMAP bitmap = CreateCompatibleBitmap(screen, width, height);
  HGDIOBJ old = SelectObject(dc, bitmap);
  HBRUSH brush = CreateSolidBrush(ground);
  const RECT all{0, 0, width, height};
  FillRect(dc, &all, brush);
  const int cx = GetSystemMetrics(SM_CXSMICON), cy = GetSystemMetrics(SM_CYSMICON);
  DrawIconEx(dc, (width - cx) / 2, (height - cy) / 2, icon, cx, cy, 0, nullptr, DI_DEFAULTSIZE | DI_NORMAL);
  std::vector<COLORREF> pixels;
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) pixels.push_back(GetPixel(dc, x, y));
  SelectObject(dc, old);
  DeleteObject(brush);
  DeleteObject(bitmap);
  DeleteDC(dc);
  ReleaseDC(nullptr, screen);
  return pixels;
}

// The tray works in the shell's process: give it a moment to catch up.
template <class Done>
bool Within(DWORD ms, Done done) {
  for (const DWORD end = GetTickCount() + ms; !done(); Sleep(20)) {
    window::DoEvents();
    if (static_cast<LONG>(GetTickCount() - end) > 0) return false;
  }
  return true;
}

// The tray's answers to a click on the icon, as they reach the window.
constexpr UINT kCallback = 0x0200;
std::vector<std::pair<WPARAM, LPARAM>> g_callbacks;
WNDPROC g_host_procedure = nullptr;

LRESULT CALLBACK Listening(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  // The callback number is also WM_MOUSEMOVE's: the tray's carry a mouse
  // message where the pointer's carry its position.
  if (msg == kCallback && lparam == WM_LBUTTONDOWN) g_callbacks.emplace_back(wparam, lparam);
  return CallWindowProcW(g_host_procedure, hwnd, msg, wparam, lparam);
}

void WatchTheTray(HWND hwnd) {
  const HICON icon = reinterpret_cast<HICON>(SendMessageW(hwnd, WM_GETICON, ICON_BIG, 0));
  ASSERT_NE(icon, nullptr) << "the window has the program's icon";
  const UINT id = static_cast<UINT>(reinterpret_cast<std::uintptr_t>(icon));  // the handle's 32 significant bits

  // Appearing, maximised, resized, restored: no icon at all.
  window::SetState(window::kMaximised);
  EXPECT_TRUE(IsZoomed(hwnd));
  window::SetState(window::kNormal);
  SetWindowPos(hwnd, nullptr, 0, 0, 500, 400, SWP_NOMOVE | SWP_NOZORDER);
  window::DoEvents();
  EXPECT_FALSE(InTray(hwnd, id));
  EXPECT_TRUE(OursInTheTray().empty());
  EXPECT_TRUE(IsWindowVisible(hwnd));

  for (int round = 0; round < 2; ++round) {
    SCOPED_TRACE(round == 0 ? "first minimise" : "brought back and minimised again");
    window::SetState(window::kMinimised);
    // One icon of the window's, under the icon's handle, with the caption
    // whole as its tip (question marks where the code page cannot hold it).
    EXPECT_TRUE(InTray(hwnd, id));
    std::vector<Shown> shown;
    EXPECT_TRUE(Within(3000, [&] { return (shown = OursInTheTray()).size() == 1; }))
        << shown.size() << " icons with the caption as tip";
    // Hidden, still minimised, still there.
    EXPECT_FALSE(IsWindowVisible(hwnd));
    EXPECT_TRUE(IsIconic(hwnd));
    EXPECT_EQ(window::State(), window::kMinimised);
    if (shown.size() != 1) return;

    // A click on the icon comes back to the window as the callback, with the
    // icon's id.
    g_callbacks.clear();
    SendMessageW(shown[0].window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(5, 5));
    EXPECT_TRUE(Within(3000, [] { return !g_callbacks.empty(); })) << "no callback";
    if (!g_callbacks.empty()) EXPECT_EQ(g_callbacks[0].first, id);

    // The picture is the window's icon.
    RECT r{};
    GetWindowRect(shown[0].window, &r);
    std::vector<COLORREF> screen;
    const auto drawn = [&] {
      screen = Pixels(shown[0].window);
      return !screen.empty() &&
             screen == Drawn(icon, r.right - r.left, r.bottom - r.top, screen.front());
    };
    EXPECT_TRUE(Within(3000, drawn)) << "the tray does not show the window's icon";

    MinToTray::RemoveIcon();
    EXPECT_FALSE(InTray(hwnd, id)) << "the removal takes the icon it added";
    EXPECT_TRUE(Within(3000, [] { return OursInTheTray().empty(); }));

    // Brought back: still no icon until the next minimise.
    ShowWindow(hwnd, SW_RESTORE);
    window::DoEvents();
    EXPECT_TRUE(IsWindowVisible(hwnd));
    EXPECT_FALSE(InTray(hwnd, id));
  }
}

// A form on the program's window host whose activation watches the tray and
// then lets the host's message loop end.
class TrayForm : public window::Events {
 public:
  int resize_failures = 0;
  bool watched = false;

  void Form_Load() override {}
  void Form_Resize() override {
    // Form1 hands every resize to the tray handling in the same way.
    try {
      MinToTray::Form_Resize();
    } catch (...) {
      ++resize_failures;
    }
  }
  void Form_Activate() override {
    if (watched) return;
    watched = true;
    const HWND hwnd = reinterpret_cast<HWND>(window::Handle());
    g_host_procedure =
        reinterpret_cast<WNDPROC>(SetWindowLongPtrW(hwnd, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(Listening)));
    WatchTheTray(hwnd);
    PostQuitMessage(0);
  }
};

TEST(TrayTest, OneIconFromTheMinimiseToTheRemovalAsTheTrayShowsIt) {
  ASSERT_TRUE(GetACP() == 936u || GetACP() == 1252u) << "GBK (tools/wine-run) or 1252 (PAVO_WINE_LOCALE)";
  TrayForm form;
  EXPECT_EQ(window::Run(form), 0);
  EXPECT_TRUE(form.watched) << "the window was never activated";
  EXPECT_EQ(form.resize_failures, 0);
}

// --- The program's own resources ---------------------------------------------

std::string Resource(LPCWSTR type, WORD id) {
  HRSRC r = FindResourceW(Program(), MAKEINTRESOURCEW(id), type);
  if (!r) return {};
  HGLOBAL g = LoadResource(Program(), r);
  return std::string(static_cast<const char*>(LockResource(g)), SizeofResource(Program(), r));
}

std::uint32_t U16(const std::string& d, std::size_t at) {
  return static_cast<unsigned char>(d[at]) | (static_cast<unsigned char>(d[at + 1]) << 8);
}
std::uint32_t U32(const std::string& d, std::size_t at) { return U16(d, at) | (U16(d, at + 2) << 16); }
std::uint32_t Be32(const std::string& d, std::size_t at) {
  return (static_cast<std::uint32_t>(static_cast<unsigned char>(d[at])) << 24) |
         (static_cast<unsigned char>(d[at + 1]) << 16) | (static_cast<unsigned char>(d[at + 2]) << 8) |
         static_cast<unsigned char>(d[at + 3]);
}

TEST(AppIcon, FourImagesWithAlphaAndA256PixelPng) {
  ASSERT_NE(Program(), nullptr) << PAVO_EXE;
  const std::string group = Resource(MAKEINTRESOURCEW(14) /* RT_GROUP_ICON */, 1);
  ASSERT_GE(group.size(), 6u) << "icon resource 1";
  EXPECT_EQ(U16(group, 2), 1u) << "an icon, not a cursor";
  ASSERT_EQ(U16(group, 4), 4u) << "four images";
  ASSERT_EQ(group.size(), 6u + 4u * 14u);
  const unsigned sizes[] = {16, 32, 48, 256};
  for (int i = 0; i < 4; ++i) {
    const std::size_t e = 6 + 14 * i;
    const unsigned side = static_cast<unsigned char>(group[e]) ? static_cast<unsigned char>(group[e]) : 256;
    SCOPED_TRACE(side);
    EXPECT_EQ(side, sizes[i]);
    EXPECT_EQ(U16(group, e + 6), 32u) << "32 bits per pixel";
    const std::string image = Resource(MAKEINTRESOURCEW(3) /* RT_ICON */, static_cast<WORD>(U16(group, e + 12)));
    ASSERT_EQ(image.size(), U32(group, e + 8));
    if (side == 256) {
      ASSERT_EQ(image.substr(0, 8), std::string("\x89PNG\r\n\x1a\n", 8));
      EXPECT_EQ(image.substr(12, 4), "IHDR");
      EXPECT_EQ(Be32(image, 16), 256u);
      EXPECT_EQ(Be32(image, 20), 256u);
      EXPECT_EQ(static_cast<unsigned char>(image[24]), 8) << "8 bits per channel";
      EXPECT_EQ(static_cast<unsigned char>(image[25]), 6) << "RGBA";
      continue;
    }
    ASSERT_GE(image.size(), 40u + side * side * 4);
    EXPECT_EQ(U32(image, 0), 40u);
    EXPECT_EQ(U32(image, 4), side);
    EXPECT_EQ(U32(image, 8), 2 * side) << "colour and mask";
    EXPECT_EQ(U16(image, 14), 32u);
    // Transparent around the drawing, opaque in it, soft at its edges.
    int clear = 0, opaque = 0, partial = 0;
    for (unsigned p = 0; p < side * side; ++p) {
      const unsigned a = static_cast<unsigned char>(image[40 + 4 * p + 3]);
      (a == 0 ? clear : a == 255 ? opaque : partial)++;
    }
    EXPECT_GT(clear, 0);
    EXPECT_GT(opaque, 0);
    EXPECT_GT(partial, 0);
  }
}

TEST(AppIcon, VersionInformationAndManifest) {
  ASSERT_NE(Program(), nullptr) << PAVO_EXE;
  const std::wstring exe = win32::Wide(PAVO_EXE);
  DWORD handle = 0;
  DWORD size = GetFileVersionInfoSizeW(exe.c_str(), &handle);
  ASSERT_GT(size, 0u);
  std::vector<unsigned char> info(size);
  ASSERT_TRUE(GetFileVersionInfoW(exe.c_str(), 0, size, info.data()));
  VS_FIXEDFILEINFO* fixed = nullptr;
  UINT len = 0;
  ASSERT_TRUE(VerQueryValueW(info.data(), L"\\", reinterpret_cast<void**>(&fixed), &len));
  EXPECT_EQ(fixed->dwSignature, 0xFEEF04BDu);
  EXPECT_EQ(fixed->dwFileType, static_cast<DWORD>(VFT_APP));
  // Every version the program shows is the project's (absent numbers are 0).
  unsigned v[4] = {0, 0, 0, 0};
  ASSERT_GE(std::sscanf(PAVO_VERSION, "%u.%u.%u.%u", &v[0], &v[1], &v[2], &v[3]), 2) << PAVO_VERSION;
  char quad[64];
  std::snprintf(quad, sizeof quad, "%u.%u.%u.%u", v[0], v[1], v[2], v[3]);
  EXPECT_EQ(fixed->dwFileVersionMS, v[0] << 16 | v[1]);
  EXPECT_EQ(fixed->dwFileVersionLS, v[2] << 16 | v[3]);
  EXPECT_EQ(fixed->dwProductVersionMS, v[0] << 16 | v[1]);
  EXPECT_EQ(fixed->dwProductVersionLS, v[2] << 16 | v[3]);
  const auto text = [&info](const wchar_t* name) {
    wchar_t* value = nullptr;
    UINT length = 0;
    const std::wstring path = std::wstring(L"\\StringFileInfo\\080404b0\\") + name;
    return VerQueryValueW(info.data(), path.c_str(), reinterpret_cast<void**>(&value), &length) && value
               ? win32::Utf8(value)
               : std::string("(none)");
  };
  EXPECT_EQ(text(L"ProductName"), "Pavo壁纸");
  EXPECT_EQ(text(L"FileVersion"), quad);
  EXPECT_EQ(text(L"ProductVersion"), quad);

  const std::string manifest = Resource(MAKEINTRESOURCEW(24) /* RT_MANIFEST */, 1);
  ASSERT_FALSE(manifest.empty()) << "manifest resource 1";
  EXPECT_NE(manifest.find(std::string("version=\"") + quad + "\""), std::string::npos) << manifest;
  for (const char* os : {"35138b9a-5d96-4fbd-8e2d-a2440225f93a", "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38",
                         "1f676c76-80e1-4239-95bb-83d0f6d0da78", "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"})
    EXPECT_NE(manifest.find(std::string("<supportedOS Id=\"{") + os + "}\"/>"), std::string::npos) << os;
  // The program relies on the system's ANSI code page.
  EXPECT_EQ(manifest.find("activeCodePage"), std::string::npos);
}

}  // namespace
}  // namespace pavo
