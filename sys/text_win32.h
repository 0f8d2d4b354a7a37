// Text at the Win32 boundary: the program's UTF-8 text to UTF-16 for the
// wide functions (sys/text.h's conversions) and to the system's ANSI code
// page for the ANSI ones (charset_win32.cpp).
#pragma once

#include <string>
#include <string_view>

#include "sys/text.h"

namespace pavo::win32 {

inline std::wstring Wide(std::string_view utf8) {
  const std::u16string units = sys::Utf8ToUtf16(utf8);
  return std::wstring(units.begin(), units.end());
}

inline std::string Utf8(std::wstring_view wide) {
  return sys::Utf16ToUtf8(std::u16string_view(reinterpret_cast<const char16_t*>(wide.data()), wide.size()));
}

// To and from the system's ANSI code page (CP_ACP); from any code page.
std::string Ansi(const std::string& utf8);
std::string FromAnsi(const std::string& ansi);
std::string FromCodePage(unsigned code_page, std::string_view bytes);

// Whether the text survives the trip to the ANSI code page unchanged.
bool FitsAnsi(const std::string& utf8);

}  // namespace pavo::win32
