// The Win32 resources the program holds, each in a scoped owner that gives
// it back on every path (kernel and search handles, registry keys, WinINet
// handles, COM interfaces, the thread's COM apartment), and the failures of
// the calls that hand them out or use them.
#pragma once

#include <windows.h>
#include <objbase.h>
#include <wininet.h>

#include <cstdio>
#include <string>

#include "sys/failure.h"
#include "sys/owned.h"

namespace pavo::win32 {

// Throws pavo::Failure naming the call and GetLastError().
[[noreturn]] inline void ThrowLastError(const char* what) {
  throw Failure(std::string(what) + " failed, error " + std::to_string(GetLastError()));
}

// Runs attempt, a rename or a delete of one of the program's own files, and
// while it fails because another program holds a file for a moment (a virus
// scanner, the search indexer, a sync client) tries it again, for about a
// second; false, with the last try's error, when it never succeeds.
template <class Attempt>
bool RetriedWhileHeld(Attempt attempt) {
  for (int tries = 1;; ++tries) {
    if (attempt()) return true;
    const DWORD error = GetLastError();
    if (tries > 10 || (error != ERROR_SHARING_VIOLATION && error != ERROR_ACCESS_DENIED)) return false;
    Sleep(100);
  }
}

// Throws pavo::Failure naming the call and its HRESULT when that is a failure.
inline void Check(HRESULT hr, const char* what) {
  if (SUCCEEDED(hr)) return;
  char code[16];
  std::snprintf(code, sizeof code, "%08lX", static_cast<unsigned long>(hr));
  throw Failure(std::string(what) + " failed, HRESULT " + code);
}

using Handle = sys::Owned<HANDLE, CloseHandle>;
using FindHandle = sys::Owned<HANDLE, FindClose>;
using RegKey = sys::Owned<HKEY, RegCloseKey>;
using InternetHandle = sys::Owned<HINTERNET, InternetCloseHandle>;

// The calls that answer INVALID_HANDLE_VALUE for "no handle": as null.
inline HANDLE Valid(HANDLE h) { return h == INVALID_HANDLE_VALUE ? nullptr : h; }

// One COM interface, released when it goes.
template <class T>
class Com {
 public:
  Com() = default;
  ~Com() {
    if (p_) p_->Release();
  }
  Com(const Com&) = delete;
  Com& operator=(const Com&) = delete;
  T** put() { return &p_; }
  T* operator->() const { return p_; }
  T* get() const { return p_; }

 private:
  T* p_ = nullptr;
};

// The thread's single-threaded COM apartment while this lives. A thread that
// has one already keeps it; a thread in another kind of apartment keeps that.
class Apartment {
 public:
  Apartment() {
    const HRESULT hr = CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    release_ = SUCCEEDED(hr);  // S_FALSE too: every success needs its uninitialise
    if (hr != RPC_E_CHANGED_MODE) Check(hr, "CoInitializeEx");
  }
  ~Apartment() {
    if (release_) CoUninitialize();
  }
  Apartment(const Apartment&) = delete;
  Apartment& operator=(const Apartment&) = delete;

 private:
  bool release_ = false;
};

}  // namespace pavo::win32
