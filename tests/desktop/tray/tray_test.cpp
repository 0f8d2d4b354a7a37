// The tray presence on Windows: every record handed to the shell when the
// window is resized, minimised and removed, the icon in Wine's real tray,
// and the application icon, version information and manifest of the
// program itself. The tray cases run twice: under the GBK code page (the
// ANSI record) and under code page 1252 (the wide record, tray_test_cp1252).
#include <gtest/gtest.h>
#include <windows.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/text_win32.h"
#include "desktop/min_to_tray.h"
#include "desktop/min_to_tray_win32.h"
#include "desktop/window.h"
#include "desktop/window_win32.h"

namespace pavo {
namespace {

using MinToTray::TrayRecord;
using MinToTray::TrayRecordW;

struct Call {
  DWORD message;
  std::vector<unsigned char> bytes;  // the record as handed over
  BOOL result;
  bool wide;  // through Shell_NotifyIconW
};
std::vector<Call> g_calls;
bool g_forward = false;
int g_resize_failures = 0;

BOOL WINAPI RecordNotify(DWORD message, PNOTIFYICONDATAA data) {
  const auto* p = reinterpret_cast<const unsigned char*>(data);
  Call c{message, std::vector<unsigned char>(p, p + sizeof(TrayRecord)), TRUE, false};
  if (g_forward) c.result = Shell_NotifyIconA(message, data);
  g_calls.push_back(c);
  return c.result;
}

BOOL WINAPI RecordNotifyW(DWORD message, PNOTIFYICONDATAW data) {
  const auto* p = reinterpret_cast<const unsigned char*>(data);
  Call c{message, std::vector<unsigned char>(p, p + sizeof(TrayRecordW)), TRUE, true};
  if (g_forward) c.result = Shell_NotifyIconW(message, data);
  g_calls.push_back(c);
  return c.result;
}

// The code pages that hold the caption get the ANSI record, others the wide.
bool AnsiHoldsTheCaption() { return GetACP() == 936 || GetACP() == 54936; }

template <class Record>
Record As(const std::vector<unsigned char>& bytes) {
  Record r;
  EXPECT_EQ(bytes.size(), sizeof r);
  std::memcpy(&r, bytes.data(), sizeof r);
  return r;
}

TrayRecord AsRecord(const std::vector<unsigned char>& bytes) { return As<TrayRecord>(bytes); }

bool AllZero(const TrayRecord& r) {
  const auto* p = reinterpret_cast<const unsigned char*>(&r);
  for (std::size_t i = 0; i < sizeof r; ++i)
    if (p[i]) return false;
  return true;
}

// The program itself, opened as data: its resources are what is checked.
HMODULE Program() {
  static HMODULE module =
      LoadLibraryExW(win32::Wide(PAVO_EXE).c_str(), nullptr, LOAD_LIBRARY_AS_DATAFILE | LOAD_LIBRARY_AS_IMAGE_RESOURCE);
  return module;
}

LRESULT CALLBACK TestWindowProc(HWND hwnd, UINT msg, WPARAM wparam, LPARAM lparam) {
  if (msg == WM_SIZE) {
    // Form1 hands every resize to the tray handling in the same way.
    try {
      MinToTray::Form_Resize();
    } catch (...) {
      ++g_resize_failures;
    }
    return 0;
  }
  return DefWindowProcW(hwnd, msg, wparam, lparam);
}

// A window like Form1's: its caption, the program's icon, a sizable frame.
class TestWindow {
 public:
  TestWindow() {
    HINSTANCE instance = GetModuleHandleW(nullptr);
    big_ = static_cast<HICON>(LoadImageW(Program(), MAKEINTRESOURCEW(1), IMAGE_ICON, 32, 32, 0));
    small_ = static_cast<HICON>(LoadImageW(Program(), MAKEINTRESOURCEW(1), IMAGE_ICON, 16, 16, 0));
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = TestWindowProc;
    wc.hInstance = instance;
    wc.hIcon = big_;
    wc.hIconSm = small_;
    wc.lpszClassName = L"PavoTrayTest";
    RegisterClassExW(&wc);
    RECT r{0, 0, 304, 202};
    AdjustWindowRectEx(&r, WS_OVERLAPPEDWINDOW, FALSE, 0);
    hwnd_ = CreateWindowExW(0, wc.lpszClassName, win32::Wide(kCaption).c_str(), WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                            CW_USEDEFAULT, r.right - r.left, r.bottom - r.top, nullptr, nullptr, instance, nullptr);
    SendMessageW(hwnd_, WM_SETICON, ICON_BIG, reinterpret_cast<LPARAM>(big_));
    SendMessageW(hwnd_, WM_SETICON, ICON_SMALL, reinterpret_cast<LPARAM>(small_));
    window::AttachForTest(hwnd_);
  }
  ~TestWindow() {
    window::AttachForTest(nullptr);
    DestroyWindow(hwnd_);
    UnregisterClassW(L"PavoTrayTest", GetModuleHandleW(nullptr));
  }
  HWND hwnd() const { return hwnd_; }
  HICON icon() const { return big_; }
  void Show(int cmd) {
    ShowWindow(hwnd_, cmd);
    window::DoEvents();
  }

 private:
  HWND hwnd_ = nullptr;
  HICON big_ = nullptr, small_ = nullptr;
};

class TrayTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(GetACP() == 936u || GetACP() == 1252u) << "GBK (tools/wine-run) or 1252 (PAVO_WINE_LOCALE)";
    ASSERT_NE(Program(), nullptr) << PAVO_EXE;
    g_calls.clear();
    g_forward = false;
    g_resize_failures = 0;
    MinToTray::SetNotifyForTest(RecordNotify, RecordNotifyW);
  }
  void TearDown() override {
    MinToTray::SetNotifyForTest(nullptr);
    EXPECT_EQ(g_resize_failures, 0);
  }
};

TEST_F(TrayTest, OneAddPerMinimiseWithTheExactRecordThenAnIdenticalDelete) {
  TestWindow w;
  ASSERT_NE(w.hwnd(), nullptr);
  ASSERT_NE(w.icon(), nullptr) << "the program's icon, resource 1";

  // Appearing, maximised, resized, restored: nothing happens at all.
  w.Show(SW_SHOWNORMAL);
  w.Show(SW_MAXIMIZE);
  EXPECT_TRUE(IsZoomed(w.hwnd()));
  w.Show(SW_RESTORE);
  SetWindowPos(w.hwnd(), nullptr, 0, 0, 500, 400, SWP_NOMOVE | SWP_NOZORDER);
  window::DoEvents();
  EXPECT_TRUE(g_calls.empty());
  EXPECT_TRUE(AllZero(MinToTray::TrayIconForTest())) << "the record stays untouched";
  EXPECT_TRUE(IsWindowVisible(w.hwnd()));

  window::SetState(window::kMinimised);
  ASSERT_EQ(g_calls.size(), 1u);
  EXPECT_EQ(g_calls[0].message, static_cast<DWORD>(NIM_ADD));
  const auto check_fields = [&](const auto& added) {
    EXPECT_EQ(added.hWnd, w.hwnd());
    EXPECT_EQ(added.hIcon, w.icon()) << "the window's own icon";
    EXPECT_EQ(added.uID, static_cast<UINT>(reinterpret_cast<std::uintptr_t>(w.icon()))) << "uID is the icon's handle";
    EXPECT_EQ(added.uFlags, 7u);
    EXPECT_EQ(added.uCallbackMessage, 512u);
  };
  if (AnsiHoldsTheCaption()) {
    ASSERT_FALSE(g_calls[0].wide) << "the ANSI record, as ever";
    const TrayRecord added = AsRecord(g_calls[0].bytes);
#ifdef _WIN64
    EXPECT_EQ(added.cbSize, 104u);
#else
    EXPECT_EQ(added.cbSize, 88u);
#endif
    check_fields(added);
    // The caption's GBK bytes (18), one zero byte, spaces to the 64th byte.
    const std::string tip = std::string("Pavo\xB1\xDA\xD6\xBD - by RZ31") + '\0' + std::string(45, ' ');
    ASSERT_EQ(tip.size(), 64u);
    EXPECT_EQ(std::string(added.szTip, 64), tip);
    EXPECT_EQ(std::memcmp(&MinToTray::TrayIconForTest(), g_calls[0].bytes.data(), sizeof(TrayRecord)), 0);
  } else {
    // Code page 1252 cannot hold 壁纸: the wide record, the caption whole.
    ASSERT_TRUE(g_calls[0].wide) << "an ANSI tip would read Pavo??";
    const TrayRecordW added = As<TrayRecordW>(g_calls[0].bytes);
    EXPECT_EQ(added.cbSize, static_cast<DWORD>(NOTIFYICONDATAW_V1_SIZE));
    check_fields(added);
    const std::wstring tip = win32::Wide("Pavo壁纸 - by RZ31") + L'\0' + std::wstring(47, L' ');
    ASSERT_EQ(tip.size(), 64u);
    EXPECT_EQ(std::wstring(added.szTip, 64), tip);
    EXPECT_EQ(win32::Utf8(added.szTip), "Pavo壁纸 - by RZ31");
  }

  // Hidden, still minimised, still there.
  EXPECT_FALSE(IsWindowVisible(w.hwnd()));
  EXPECT_TRUE(IsIconic(w.hwnd()));
  EXPECT_TRUE(IsWindow(w.hwnd()));
  EXPECT_EQ(window::State(), window::kMinimised);

  MinToTray::RemoveIcon();
  ASSERT_EQ(g_calls.size(), 2u);
  EXPECT_EQ(g_calls[1].message, static_cast<DWORD>(NIM_DELETE));
  EXPECT_EQ(g_calls[1].wide, g_calls[0].wide);
  EXPECT_EQ(g_calls[1].bytes, g_calls[0].bytes) << "the delete record is the add record";

  // Brought back and minimised again: one more add, the same record.
  w.Show(SW_RESTORE);
  EXPECT_TRUE(IsWindowVisible(w.hwnd()));
  EXPECT_EQ(g_calls.size(), 2u);
  window::SetState(window::kMinimised);
  ASSERT_EQ(g_calls.size(), 3u);
  EXPECT_EQ(g_calls[2].message, static_cast<DWORD>(NIM_ADD));
  EXPECT_EQ(g_calls[2].bytes, g_calls[0].bytes);
  EXPECT_FALSE(IsWindowVisible(w.hwnd()));
}

TEST_F(TrayTest, WinesTrayTakesTheIconAndGivesItBack) {
  TestWindow w;
  g_forward = true;
  w.Show(SW_SHOWNORMAL);
  window::SetState(window::kMinimised);
  ASSERT_EQ(g_calls.size(), 1u);
  EXPECT_TRUE(g_calls[0].result) << "NIM_ADD refused";
  MinToTray::RemoveIcon();
  ASSERT_EQ(g_calls.size(), 2u);
  EXPECT_TRUE(g_calls[1].result) << "NIM_DELETE refused";
  // Nothing left to remove.
  MinToTray::RemoveIcon();
  ASSERT_EQ(g_calls.size(), 3u);
  EXPECT_FALSE(g_calls[2].result) << "the icon was still there";
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
