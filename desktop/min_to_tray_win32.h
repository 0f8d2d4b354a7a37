// The tray record's layout and the shell call it goes through, replaceable
// so that a test can keep every record handed to the shell.
#pragma once

#include <windows.h>
#include <shellapi.h>

#include <cstddef>

namespace pavo::MinToTray {

// NOTIFYICONDATAA in its first form, exactly as many bytes as that form has:
// 88 in a 32-bit process, 104 in a 64-bit one.
struct TrayRecord {
  DWORD cbSize;
  HWND hWnd;
  UINT uID;
  UINT uFlags;
  UINT uCallbackMessage;
  HICON hIcon;
  CHAR szTip[64];
};

static_assert(sizeof(TrayRecord) == NOTIFYICONDATAA_V1_SIZE);
static_assert(offsetof(TrayRecord, hWnd) == offsetof(NOTIFYICONDATAA, hWnd));
static_assert(offsetof(TrayRecord, uID) == offsetof(NOTIFYICONDATAA, uID));
static_assert(offsetof(TrayRecord, uFlags) == offsetof(NOTIFYICONDATAA, uFlags));
static_assert(offsetof(TrayRecord, uCallbackMessage) == offsetof(NOTIFYICONDATAA, uCallbackMessage));
static_assert(offsetof(TrayRecord, hIcon) == offsetof(NOTIFYICONDATAA, hIcon));
static_assert(offsetof(TrayRecord, szTip) == offsetof(NOTIFYICONDATAA, szTip));
#ifndef _WIN64
static_assert(sizeof(TrayRecord) == 88, "the first form is 88 bytes in a 32-bit process");
#else
static_assert(sizeof(TrayRecord) == 104, "the first form is 104 bytes in a 64-bit process");
#endif

// The same first form in its wide layout, NOTIFYICONDATAW: what the shell is
// handed where the ANSI code page cannot hold the caption.
struct TrayRecordW {
  DWORD cbSize;
  HWND hWnd;
  UINT uID;
  UINT uFlags;
  UINT uCallbackMessage;
  HICON hIcon;
  WCHAR szTip[64];
};

static_assert(sizeof(TrayRecordW) == NOTIFYICONDATAW_V1_SIZE);
static_assert(offsetof(TrayRecordW, hIcon) == offsetof(NOTIFYICONDATAW, hIcon));
static_assert(offsetof(TrayRecordW, szTip) == offsetof(NOTIFYICONDATAW, szTip));

using NotifyFunction = BOOL(WINAPI*)(DWORD message, PNOTIFYICONDATAA data);
using NotifyFunctionW = BOOL(WINAPI*)(DWORD message, PNOTIFYICONDATAW data);

// nullptr restores Shell_NotifyIconA and Shell_NotifyIconW.
void SetNotifyForTest(NotifyFunction notify, NotifyFunctionW notify_w = nullptr);

// The record as it stands.
const TrayRecord& TrayIconForTest();

}  // namespace pavo::MinToTray
