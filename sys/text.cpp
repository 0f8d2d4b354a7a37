#include "sys/text.h"

namespace pavo::sys {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

void AppendUtf8(std::string& out, char32_t code) {
  const int n = code < 0x80 ? 1 : code < 0x800 ? 2 : code < 0x10000 ? 3 : 4;
  if (n == 1) return out.push_back(static_cast<char>(code));
  out.push_back(static_cast<char>((0xF00 >> n) | (code >> (6 * (n - 1)))));  // 110..., 1110..., 11110...
  for (int k = n - 2; k >= 0; --k) out.push_back(static_cast<char>(0x80 | ((code >> (6 * k)) & 0x3F)));
}

// Calls take(code) for each character of the bytes, U+FFFD for each byte
// that starts none.
template <class Take>
void ForEachUtf8(std::string_view bytes, Take take) {
  for (std::size_t i = 0; i < bytes.size();) {
    const Utf8Char c = DecodeUtf8(bytes, i);
    take(c.size ? c.code : kReplacement);
    i += c.size ? c.size : 1;
  }
}

bool IsHighSurrogate(char32_t u) { return u >= 0xD800 && u <= 0xDBFF; }
bool IsLowSurrogate(char32_t u) { return u >= 0xDC00 && u <= 0xDFFF; }

}  // namespace

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

bool IsUtf8(std::string_view bytes) {
  for (std::size_t i = 0; i < bytes.size();) {
    const std::size_t n = DecodeUtf8(bytes, i).size;
    if (n == 0) return false;
    i += n;
  }
  return true;
}

std::string ValidUtf8(std::string_view bytes) {
  std::string out;
  out.reserve(bytes.size());
  ForEachUtf8(bytes, [&](char32_t code) { AppendUtf8(out, code); });
  return out;
}

std::u16string Utf8ToUtf16(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size());
  ForEachUtf8(bytes, [&](char32_t code) {
    if (code >= 0x10000) {
      out.push_back(static_cast<char16_t>(0xD800 + ((code - 0x10000) >> 10)));
      code = 0xDC00 + ((code - 0x10000) & 0x3FF);
    }
    out.push_back(static_cast<char16_t>(code));
  });
  return out;
}

std::string Utf16ToUtf8(std::u16string_view units) {
  std::string out;
  out.reserve(units.size());
  for (std::size_t i = 0; i < units.size(); ++i) {
    char32_t code = units[i];
    if (IsHighSurrogate(code) && i + 1 < units.size() && IsLowSurrogate(units[i + 1]))
      code = 0x10000 + ((code - 0xD800) << 10) + (units[++i] - 0xDC00);
    else if (IsHighSurrogate(code) || IsLowSurrogate(code))
      code = kReplacement;
    AppendUtf8(out, code);
  }
  return out;
}

std::string Utf16ToUtf8(std::string_view bytes, bool big_endian) {
  std::u16string units;
  units.reserve(bytes.size() / 2 + 1);
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    const auto a = static_cast<unsigned char>(bytes[i]), b = static_cast<unsigned char>(bytes[i + 1]);
    units.push_back(static_cast<char16_t>(big_endian ? (a << 8) | b : (b << 8) | a));
  }
  if (bytes.size() % 2) units.push_back(static_cast<char16_t>(kReplacement));
  return Utf16ToUtf8(units);
}

std::size_t CharSize(std::string_view text, std::size_t at, Charset charset) {
  const auto byte = [&](std::size_t k) { return at + k < text.size() ? static_cast<unsigned char>(text[at + k]) : 0; };
  if (charset == Charset::kUtf8) {
    const std::size_t n = DecodeUtf8(text, at).size;
    return n ? n : 1;
  }
  const auto lead = [](unsigned b) { return b >= 0x81 && b <= 0xFE; };
  const auto digit = [](unsigned b) { return b >= 0x30 && b <= 0x39; };
  if (!lead(byte(0))) return 1;
  return digit(byte(1)) && lead(byte(2)) && digit(byte(3)) ? 4 : 2;
}

std::string_view CutAtCharacter(std::string_view text, std::size_t max_bytes, Charset charset) {
  std::size_t at = 0;
  while (at < text.size()) {
    const std::size_t n = CharSize(text, at, charset);
    if (at + n > max_bytes) break;
    at += n;
  }
  return text.substr(0, at);
}

Bom SniffBom(std::string_view text) {
  if (text.starts_with("\xEF\xBB\xBF")) return Bom::kUtf8;
  if (text.starts_with("\xFF\xFE")) return Bom::kUtf16Le;
  if (text.starts_with("\xFE\xFF")) return Bom::kUtf16Be;
  return Bom::kNone;
}

}  // namespace pavo::sys
