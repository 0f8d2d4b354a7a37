// MinToTray on Windows: the tray record in the shell's ANSI layout.
#include "desktop/min_to_tray.h"

#include <cstring>
#include <string>

#include "app/text_win32.h"
#include "desktop/min_to_tray_win32.h"
#include "desktop/window.h"

namespace pavo::MinToTray {

namespace {

// All zero at start; written only by the resize handling, read again,
// unchanged, by the removal.
TrayRecord TrayIcon;

NotifyFunction g_notify = Shell_NotifyIconA;

constexpr UINT kNotifyFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;  // 7
constexpr UINT kCallbackMessage = 0x0200;  // nothing handles it: the icon only shows that a run works
constexpr std::size_t kTipChars = 64;

// The tip field holds 64 characters: the caption, one NUL and spaces. It
// becomes bytes in the ANSI code page, cut at 64: the Chinese characters
// take two bytes each, so a few of the trailing spaces fall off.
void SetTip(const std::string& caption) {
  std::wstring wide = win32::Wide(caption);
  // Counted in characters, not UTF-16 units.
  std::wstring field;
  std::size_t count = 0;
  for (std::size_t i = 0; i < wide.size() && count < kTipChars; ++count) {
    std::size_t len = (IS_HIGH_SURROGATE(wide[i]) && i + 1 < wide.size()) ? 2 : 1;
    field.append(wide, i, len);
    i += len;
  }
  if (count < kTipChars) {
    field.push_back(L'\0');
    ++count;
  }
  field.append(kTipChars - count, L' ');
  std::string bytes = win32::Ansi(win32::Utf8(field));
  std::memset(TrayIcon.szTip, 0, sizeof TrayIcon.szTip);
  std::memcpy(TrayIcon.szTip, bytes.data(), bytes.size() < sizeof TrayIcon.szTip ? bytes.size() : sizeof TrayIcon.szTip);
}

}  // namespace

void SetNotifyForTest(NotifyFunction notify) { g_notify = notify ? notify : Shell_NotifyIconA; }

const TrayRecord& TrayIconForTest() { return TrayIcon; }

void Form_Resize() {
  if (window::State() != window::kMinimised) return;
  TrayIcon.hWnd = reinterpret_cast<HWND>(window::Handle());
  TrayIcon.uID = static_cast<UINT>(window::IconHandle());  // the handle's 32 significant bits
  TrayIcon.uFlags = kNotifyFlags;
  TrayIcon.uCallbackMessage = kCallbackMessage;
  TrayIcon.hIcon = reinterpret_cast<HICON>(window::IconHandle());
  SetTip(window::Caption());
  TrayIcon.cbSize = sizeof(TrayRecord);
  g_notify(NIM_ADD, reinterpret_cast<PNOTIFYICONDATAA>(&TrayIcon));
  window::Hide();
}

void RemoveIcon() { g_notify(NIM_DELETE, reinterpret_cast<PNOTIFYICONDATAA>(&TrayIcon)); }

}  // namespace pavo::MinToTray
