// What the settings tests share. In their rows "|" stands for CR LF.
#pragma once

#include <string>

namespace pavo::test {

inline std::string L(std::string text) {
  for (std::size_t at; (at = text.find('|')) != std::string::npos;) text.replace(at, 1, "\r\n");
  return text;
}

}  // namespace pavo::test
