#include "app/text_win32.h"

#include <windows.h>

#include "app/step.h"

namespace pavo::win32 {

std::wstring Wide(const std::string& utf8) {
  if (utf8.empty()) return {};
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), nullptr, 0);
  if (n <= 0) ThrowLastError("MultiByteToWideChar");
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()), out.data(), n);
  return out;
}

static std::string Narrow(UINT cp, const std::wstring& wide) {
  if (wide.empty()) return {};
  int n = WideCharToMultiByte(cp, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  if (n <= 0) ThrowLastError("WideCharToMultiByte");
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(cp, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n, nullptr, nullptr);
  return out;
}

std::string Utf8(const std::wstring& wide) { return Narrow(CP_UTF8, wide); }

std::string Ansi(const std::string& utf8) { return Narrow(CP_ACP, Wide(utf8)); }

std::string FromAnsi(const std::string& ansi) {
  if (ansi.empty()) return {};
  int n = MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), nullptr, 0);
  if (n <= 0) ThrowLastError("MultiByteToWideChar");
  std::wstring wide(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, ansi.data(), static_cast<int>(ansi.size()), wide.data(), n);
  return Utf8(wide);
}

bool FitsAnsi(const std::string& utf8) {
  try {
    return FromAnsi(Ansi(utf8)) == utf8;
  } catch (const Failure&) {
    return false;
  }
}

void ThrowLastError(const char* what) {
  throw Failure(std::string(what) + " failed, error " + std::to_string(GetLastError()));
}

}  // namespace pavo::win32
