#include "sys/text.h"

namespace pavo::sys {

Utf8Char DecodeUtf8(std::string_view text, std::size_t at) {
  const auto b = static_cast<unsigned char>(text[at]);
  if (b < 0x80) return {b, 1};
  std::size_t n;
  unsigned char lo = 0x80, hi = 0xBF;  // the range of the second byte
  if (b >= 0xC2 && b <= 0xDF) n = 2;
  else if (b == 0xE0) n = 3, lo = 0xA0;  // no overlong forms
  else if (b == 0xED) n = 3, hi = 0x9F;  // no surrogates
  else if (b >= 0xE1 && b <= 0xEF) n = 3;
  else if (b == 0xF0) n = 4, lo = 0x90;
  else if (b == 0xF4) n = 4, hi = 0x8F;  // nothing past U+10FFFF
  else if (b >= 0xF1 && b <= 0xF3) n = 4;
  else return {};
  if (text.size() - at < n) return {};
  char32_t code = b & (0x7F >> n);
  for (std::size_t k = 1; k < n; ++k) {
    const auto c = static_cast<unsigned char>(text[at + k]);
    if (c < (k == 1 ? lo : 0x80) || c > (k == 1 ? hi : 0xBF)) return {};
    code = (code << 6) | (c & 0x3F);
  }
  return {code, n};
}

}  // namespace pavo::sys
