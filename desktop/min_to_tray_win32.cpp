// MinToTray on Windows: the tray record in the shell's ANSI layout, or in
// its wide layout where the ANSI code page cannot hold the caption.
#include "desktop/min_to_tray.h"

#include <windows.h>
#include <shellapi.h>

#include <cstddef>
#include <cstring>
#include <cwchar>
#include <string>

#include "desktop/window.h"
#include "sys/text_win32.h"

namespace pavo::MinToTray {

namespace {

// NOTIFYICONDATAA in its first form, exactly as many bytes as that form has
// (88 in a 32-bit process, 104 in a 64-bit one), and the same first form in
// its wide layout, NOTIFYICONDATAW: what the shell is handed where the ANSI
// code page cannot hold the caption.
template <class Char>
struct Record {
  DWORD cbSize;
  HWND hWnd;
  UINT uID;
  UINT uFlags;
  UINT uCallbackMessage;
  HICON hIcon;
  Char szTip[64];
};
using TrayRecord = Record<CHAR>;
using TrayRecordW = Record<WCHAR>;

static_assert(sizeof(TrayRecord) == NOTIFYICONDATAA_V1_SIZE);
static_assert(offsetof(TrayRecord, hWnd) == offsetof(NOTIFYICONDATAA, hWnd));
static_assert(offsetof(TrayRecord, uID) == offsetof(NOTIFYICONDATAA, uID));
static_assert(offsetof(TrayRecord, uFlags) == offsetof(NOTIFYICONDATAA, uFlags));
static_assert(offsetof(TrayRecord, uCallbackMessage) == offsetof(NOTIFYICONDATAA, uCallbackMessage));
static_assert(offsetof(TrayRecord, hIcon) == offsetof(NOTIFYICONDATAA, hIcon));
static_assert(offsetof(TrayRecord, szTip) == offsetof(NOTIFYICONDATAA, szTip));
static_assert(sizeof(TrayRecordW) == NOTIFYICONDATAW_V1_SIZE);
static_assert(offsetof(TrayRecordW, szTip) == offsetof(NOTIFYICONDATAW, szTip));

// All zero at start; written only by the resize handling, read again,
// unchanged, by the removal.
TrayRecord TrayIcon;

// Outside the code pages that hold the caption's Chinese characters the ANSI
// tip would show question marks: the shell gets the record's wide twin,
// with the same fields and the caption as it is.
TrayRecordW TrayIconW;
bool g_wide = false;

constexpr UINT kNotifyFlags = NIF_MESSAGE | NIF_ICON | NIF_TIP;  // 7
constexpr UINT kCallbackMessage = 0x0200;  // nothing handles it: the icon only shows that a run works
constexpr std::size_t kTipChars = 64;

// The tip field holds 64 characters: the caption, one NUL and spaces. It
// becomes bytes in the ANSI code page, cut at 64: the Chinese characters
// take two bytes each, so a few of the trailing spaces fall off.
std::wstring TipField(const std::string& caption) {
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
  return field;
}

void SetTip(const std::string& caption) {
  std::string bytes = win32::Ansi(win32::Utf8(TipField(caption)));
  std::memset(TrayIcon.szTip, 0, sizeof TrayIcon.szTip);
  std::memcpy(TrayIcon.szTip, bytes.data(), bytes.size() < sizeof TrayIcon.szTip ? bytes.size() : sizeof TrayIcon.szTip);
}

// The wide twin of TrayIcon: the same fields, the tip in UTF-16 units (the
// last unit gives way to the end of the field, never half a pair).
void SetWideTwin(const std::string& caption) {
  TrayIconW.cbSize = sizeof(TrayRecordW);
  TrayIconW.hWnd = TrayIcon.hWnd;
  TrayIconW.uID = TrayIcon.uID;
  TrayIconW.uFlags = TrayIcon.uFlags;
  TrayIconW.uCallbackMessage = TrayIcon.uCallbackMessage;
  TrayIconW.hIcon = TrayIcon.hIcon;
  std::wstring field = TipField(caption);
  if (field.size() > kTipChars) {
    field.resize(kTipChars);
    if (IS_HIGH_SURROGATE(field.back())) field.back() = L' ';
  }
  std::wmemset(TrayIconW.szTip, L' ', kTipChars);
  std::wmemcpy(TrayIconW.szTip, field.data(), field.size());
}

}  // namespace

void Form_Resize() {
  if (window::State() != window::kMinimised) return;
  TrayIcon.hWnd = reinterpret_cast<HWND>(window::Handle());
  TrayIcon.uID = static_cast<UINT>(window::IconHandle());  // the handle's 32 significant bits
  TrayIcon.uFlags = kNotifyFlags;
  TrayIcon.uCallbackMessage = kCallbackMessage;
  TrayIcon.hIcon = reinterpret_cast<HICON>(window::IconHandle());
  const std::string caption = window::Caption();
  SetTip(caption);
  TrayIcon.cbSize = sizeof(TrayRecord);
  g_wide = !win32::FitsAnsi(caption);
  if (g_wide) {
    SetWideTwin(caption);
    Shell_NotifyIconW(NIM_ADD, reinterpret_cast<PNOTIFYICONDATAW>(&TrayIconW));
  } else {
    Shell_NotifyIconA(NIM_ADD, reinterpret_cast<PNOTIFYICONDATAA>(&TrayIcon));
  }
  window::Hide();
}

void RemoveIcon() {
  if (g_wide)
    Shell_NotifyIconW(NIM_DELETE, reinterpret_cast<PNOTIFYICONDATAW>(&TrayIconW));
  else
    Shell_NotifyIconA(NIM_DELETE, reinterpret_cast<PNOTIFYICONDATAA>(&TrayIcon));
}

}  // namespace pavo::MinToTray
