// The character sets a settings file may arrive in, to and from the
// program's UTF-8, on every system whatever its own code page: GBK (the
// Windows code page 936) from a Chinese Windows, UTF-16 from any other.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pavo::encoding {

// GBK bytes as UTF-8; bytes GBK cannot read become U+FFFD, so the result is
// always valid UTF-8.
std::string GbkToUtf8(std::string_view gbk);

// UTF-8 text as GBK; nullopt when a character has no GBK form.
std::optional<std::string> Utf8ToGbk(std::string_view utf8);

// UTF-16 bytes (without their byte-order mark) as UTF-8; a unit that is no
// character (half a surrogate pair, an odd last byte) becomes U+FFFD.
std::string Utf16ToUtf8(std::string_view bytes, bool big_endian);

}  // namespace pavo::encoding
