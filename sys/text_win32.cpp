#include "sys/text_win32.h"

#include <windows.h>

#include <string_view>

#include "sys/encoding.h"
#include "sys/scoped_win32.h"

namespace pavo::win32 {

namespace {

constexpr UINT kGbk = 936;

std::wstring Widen(UINT cp, std::string_view text) {
  if (text.empty()) return {};
  const int size = static_cast<int>(text.size());
  const int n = MultiByteToWideChar(cp, 0, text.data(), size, nullptr, 0);
  if (n <= 0) ThrowLastError("MultiByteToWideChar");
  std::wstring out(static_cast<size_t>(n), L'\0');
  MultiByteToWideChar(cp, 0, text.data(), size, out.data(), n);
  return out;
}

std::string Narrow(UINT cp, const std::wstring& wide) {
  if (wide.empty()) return {};
  int n = WideCharToMultiByte(cp, 0, wide.data(), static_cast<int>(wide.size()), nullptr, 0, nullptr, nullptr);
  if (n <= 0) ThrowLastError("WideCharToMultiByte");
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(cp, 0, wide.data(), static_cast<int>(wide.size()), out.data(), n, nullptr, nullptr);
  return out;
}

}  // namespace

std::wstring Wide(const std::string& utf8) { return Widen(CP_UTF8, utf8); }

std::string Utf8(const std::wstring& wide) { return Narrow(CP_UTF8, wide); }

std::string Ansi(const std::string& utf8) { return Narrow(CP_ACP, Wide(utf8)); }

std::string FromAnsi(const std::string& ansi) { return Utf8(Widen(CP_ACP, ansi)); }

bool FitsAnsi(const std::string& utf8) {
  try {
    return FromAnsi(Ansi(utf8)) == utf8;
  } catch (const Failure&) {
    return false;
  }
}

}  // namespace pavo::win32

namespace pavo::encoding {

std::string GbkToUtf8(std::string_view gbk) { return win32::Utf8(win32::Widen(win32::kGbk, gbk)); }

std::optional<std::string> Utf8ToGbk(std::string_view utf8) {
  const std::wstring wide = win32::Wide(std::string(utf8));
  if (wide.empty()) return std::string();
  const int size = static_cast<int>(wide.size());
  BOOL lost = FALSE;
  const int n = WideCharToMultiByte(win32::kGbk, WC_NO_BEST_FIT_CHARS, wide.data(), size, nullptr, 0, nullptr, &lost);
  if (n <= 0 || lost) return std::nullopt;
  std::string out(static_cast<size_t>(n), '\0');
  WideCharToMultiByte(win32::kGbk, WC_NO_BEST_FIT_CHARS, wide.data(), size, out.data(), n, nullptr, &lost);
  if (lost) return std::nullopt;
  return out;
}

std::string Utf16ToUtf8(std::string_view bytes, bool big_endian) {
  std::wstring wide;
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const auto a = static_cast<unsigned char>(bytes[i]), b = static_cast<unsigned char>(bytes[i + 1]);
    wide.push_back(static_cast<wchar_t>(big_endian ? (a << 8) | b : (b << 8) | a));
  }
  if (bytes.size() % 2) wide.push_back(L'\xFFFD');
  // The conversion to UTF-8 turns half a surrogate pair into U+FFFD.
  return win32::Utf8(wide);
}

}  // namespace pavo::encoding
