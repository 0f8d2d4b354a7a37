// GBK (the Windows code page 936), the character set a settings file from a
// Chinese Windows arrives in, to and from the program's UTF-8, on every
// system whatever its own code page (charset_<platform>.cpp). UTF-16, from
// any other Windows, is sys/text.h's.
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

}  // namespace pavo::encoding
