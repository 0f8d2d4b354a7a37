// The text of a profile (INI) file as the settings operations see it: pure
// functions on the file's bytes, no file access. They behave as the Windows
// profile-string functions are documented and observed to:
// - a section starts at a line "[name]" (blanks around the name ignored; the
//   name ends at the line's last "]") and runs to the next such line; lines
//   before the first header belong to a section without a name;
// - a key line is "key=value"; key and value lose the blanks around them
//   (space, tab, vertical tab, form feed and the old end-of-file mark ^Z),
//   and the value loses one pair of matching outer quotes (" or ');
// - section and key names match without regard to the case of ASCII
//   letters; the first matching section and in it the first matching key win;
// - a line whose first non-blank character is ";" is a comment; a line
//   without "=" is ignored; a ";" inside a value belongs to the value;
// - lines end with CR LF, LF or CR; a NUL ends the text of its line, as it
//   ends the C string the Windows functions work on.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "sys/text.h"

namespace pavo::profile {

// How the bytes of a text form characters. Names and values handed to the
// functions below are in the encoding of the text they are used with.
using Encoding = sys::Charset;

// Whether the bytes are GBK as the Windows code page 936 reads it: ASCII,
// the single byte 0x80, and pairs of a lead byte 0x81-0xFE and a trail byte
// 0x40-0xFE other than 0x7F.
bool IsGbk(std::string_view bytes);

// A file that is valid UTF-8 is UTF-8. Otherwise its lines decide, one vote
// for each line beyond ASCII: UTF-8 when the line is valid UTF-8, GBK (the
// code page of the Windows systems the program is made for) when it is valid
// GBK only; a line that is neither has no vote. The file is UTF-8 when some
// line votes so and GBK has no more votes, GBK otherwise. So one stray line
// (a comment in another encoding, a few broken bytes) never changes how the
// rest of the file is read: a name on that line matches nothing, and its
// value comes back with what cannot be read replaced.
Encoding EncodingOf(std::string_view text);

// The value of key in section, trimmed and unquoted but not cut; nullopt
// when the section or the key is absent.
std::optional<std::string> FindValue(std::string_view text, std::string_view section,
                                     std::string_view key, Encoding encoding);

// text with key in section set to value. An existing key keeps its line and
// everything before its value; a new key goes after the last key line of the
// section (right after the header when it has none), a new section at the
// end of the text. New lines end as the text's first line does (CR LF for a
// text without line ends), and every other byte stays as it was.
// nullopt when the names or the value cannot be stored without breaking the
// file: an empty section or key, a line end or NUL anywhere, a key holding
// "=" or starting with ";" or "[".
std::optional<std::string> SetValue(std::string_view text, std::string_view section,
                                    std::string_view key, std::string_view value, Encoding encoding);

}  // namespace pavo::profile
