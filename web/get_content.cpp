// The text between two markers, found without regard to letter case.
//
// Positions and lengths count UTF-16 units, as the program's text did when it
// was wide text: the UTF-8 input is widened to UTF-16 here, the search runs on
// the units, and the piece is narrowed back. Each byte that is no part of a
// UTF-8 character becomes U+FFFD (sys/text.h), so the search never fails on
// bad bytes.
//
// Lower-casing maps one UTF-16 unit to one unit, so a lowered text keeps its
// length and every position in it is the same position in the original. It
// covers ASCII, Latin-1, Latin Extended-A, basic Greek, basic Cyrillic and the
// full-width Latin letters; every other unit (surrogates included) is kept as
// it is. Letters whose lower case is not a single unit (such as U+0130,
// capital I with dot) are kept too.
#include <string>

#include "sys/failure.h"
#include "sys/text.h"
#include "web/web.h"

namespace pavo {

namespace {

char16_t LowerUnit(char16_t c) {
  if (c >= u'A' && c <= u'Z') return static_cast<char16_t>(c + 0x20);
  if (c < 0x80) return c;
  // Latin-1: À..Þ except the multiplication sign.
  if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<char16_t>(c + 0x20);
  // Latin Extended-A: upper and lower case alternate in pairs.
  if ((c >= 0x100 && c <= 0x12F) || (c >= 0x132 && c <= 0x137) || (c >= 0x14A && c <= 0x177)) {
    return (c % 2 == 0) ? static_cast<char16_t>(c + 1) : c;
  }
  if ((c >= 0x139 && c <= 0x148) || (c >= 0x179 && c <= 0x17E)) {
    return (c % 2 == 1) ? static_cast<char16_t>(c + 1) : c;
  }
  if (c == 0x178) return 0xFF;  // Ÿ
  // Greek: Ά and Έ..Ί, Ό, Ύ Ώ, then Α..Ω (no capital final sigma exists).
  if (c == 0x386) return 0x3AC;
  if (c >= 0x388 && c <= 0x38A) return static_cast<char16_t>(c + 0x25);
  if (c == 0x38C) return 0x3CC;
  if (c == 0x38E || c == 0x38F) return static_cast<char16_t>(c + 0x3F);
  if (c >= 0x391 && c <= 0x3AB && c != 0x3A2) return static_cast<char16_t>(c + 0x20);
  // Cyrillic: Ѐ..Џ and А..Я.
  if (c >= 0x400 && c <= 0x40F) return static_cast<char16_t>(c + 0x50);
  if (c >= 0x410 && c <= 0x42F) return static_cast<char16_t>(c + 0x20);
  // Full-width Latin capitals.
  if (c >= 0xFF21 && c <= 0xFF3A) return static_cast<char16_t>(c + 0x20);
  return c;
}

std::u16string Lower(std::u16string s) {
  for (auto& c : s) c = LowerUnit(c);
  return s;
}

// 1-based position of the first occurrence of needle in haystack, 0 when
// there is none. An empty haystack has no occurrence of anything; an empty
// needle occurs at 1 in any other text.
std::size_t Find(const std::u16string& haystack, const std::u16string& needle) {
  if (haystack.empty()) return 0;
  if (needle.empty()) return 1;
  auto at = haystack.find(needle);
  return at == std::u16string::npos ? 0 : at + 1;
}

}  // namespace

std::string GetContent(const std::string& str, const std::string& start, const std::string& last) {
  const std::u16string text = sys::Utf8ToUtf16(str);
  const std::u16string open = sys::Utf8ToUtf16(start);
  const std::u16string lowered_text = Lower(text);
  const std::u16string lowered_close = Lower(sys::Utf8ToUtf16(last));

  const std::size_t p = Find(lowered_text, Lower(open));
  if (p < 1) return "";
  if (Find(lowered_text, lowered_close) < 1) return "";

  // Everything after the first start marker, in the text's own letter case.
  const std::size_t n = text.size() - p - open.size() + 1;
  const std::u16string remainder = text.substr(text.size() - n);

  const std::size_t q = Find(Lower(remainder), lowered_close);
  if (q == 0) {
    // The end marker exists, but only before or inside the start marker (or
    // the start marker ends the text): there is no piece to give, and that
    // must not look like an empty piece.
    throw Failure("end marker not found after the start marker");
  }
  return sys::Utf16ToUtf8(remainder.substr(0, q - 1));
}

}  // namespace pavo
