// Text helpers the subsystems share: the letter case of ASCII, which no
// locale changes, and the characters of UTF-8 text.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace pavo::sys {

inline char AsciiLower(char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; }

inline std::string AsciiLower(std::string text) {
  for (char& c : text) c = AsciiLower(c);
  return text;
}

// The character of UTF-8 text that starts at text[at]: its code point and its
// length in bytes. Length 0 where no character starts there: a byte that
// cannot begin one, a sequence cut short, an overlong form, a surrogate, or
// anything past U+10FFFF.
struct Utf8Char {
  char32_t code = 0;
  std::size_t size = 0;
};
Utf8Char DecodeUtf8(std::string_view text, std::size_t at);

}  // namespace pavo::sys
