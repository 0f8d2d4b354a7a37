#pragma once

#include <string>

namespace pavo::test {

// Whether the operations under test are the Windows profile functions.
extern const bool kOnWindows;

// The bytes a settings file holds for a UTF-8 text: the ANSI code page on
// Windows, UTF-8 itself on Linux.
std::string FileText(const std::string& utf8);

}  // namespace pavo::test
