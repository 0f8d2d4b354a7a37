// Text at the Win32 boundary: the program's UTF-8 text to UTF-16 for the
// wide functions and to the system's ANSI code page for the ANSI ones.
#pragma once

#include <string>

namespace pavo::win32 {

std::wstring Wide(const std::string& utf8);
std::string Utf8(const std::wstring& wide);

// To and from the system's ANSI code page (CP_ACP).
std::string Ansi(const std::string& utf8);
std::string FromAnsi(const std::string& ansi);

// Whether the text survives the trip to the ANSI code page unchanged.
bool FitsAnsi(const std::string& utf8);

}  // namespace pavo::win32
