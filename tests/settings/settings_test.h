// What the settings tests share. In their rows "|" stands for CR LF.
#pragma once

#include <string>

namespace pavo::test {

// Whether the operations under test are the Windows profile functions.
extern const bool kOnWindows;

// The bytes a settings file holds for a UTF-8 text: the ANSI code page on
// Windows, UTF-8 itself on Linux.
std::string FileText(const std::string& utf8);

inline std::string L(std::string text) {
  for (std::size_t at; (at = text.find('|')) != std::string::npos;) text.replace(at, 1, "\r\n");
  return text;
}

}  // namespace pavo::test
