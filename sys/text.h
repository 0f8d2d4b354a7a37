// Text helpers the subsystems share, the same on every platform: the letter
// case of ASCII, which no locale changes; UTF-8 and UTF-16 decoded and
// encoded; a cut that keeps whole characters of UTF-8 or GBK; the
// byte-order mark a text starts with. Conversions to and from other
// character sets are the platform's (encoding.h, charset_linux.h,
// text_win32.h).
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

bool IsUtf8(std::string_view bytes);

// In the conversions below every byte that starts no UTF-8 character, and
// every UTF-16 unit that is no character (half a surrogate pair, an odd last
// byte), becomes one U+FFFD, so the result is always valid and the text
// after it is read as it was written.
std::string ValidUtf8(std::string_view bytes);
std::u16string Utf8ToUtf16(std::string_view bytes);
std::string Utf16ToUtf8(std::u16string_view units);
// UTF-16 as bytes, without their byte-order mark.
std::string Utf16ToUtf8(std::string_view bytes, bool big_endian);

// How the bytes of a text form characters.
enum class Charset { kUtf8, kGbk };

// The length in bytes of the character that starts at text[at], which may
// reach past the end of a text cut short. UTF-8: a whole character's, else 1.
// GBK (and the GB18030 of code page 54936): 2 from a lead byte 0x81-0xFE,
// whatever follows it, or 4 for a four-byte sequence; else 1.
std::size_t CharSize(std::string_view text, std::size_t at, Charset charset);

// The longest start of text that fits in max_bytes and ends on a whole
// character, so a cut never leaves half a character behind.
std::string_view CutAtCharacter(std::string_view text, std::size_t max_bytes, Charset charset);

// The byte-order mark a text starts with: 3 bytes for UTF-8, 2 for UTF-16.
enum class Bom { kNone, kUtf8, kUtf16Le, kUtf16Be };
Bom SniffBom(std::string_view text);

}  // namespace pavo::sys
