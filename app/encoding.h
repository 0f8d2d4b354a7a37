// The character sets a settings file may arrive in, to and from the
// program's UTF-8: GBK (the Windows code page 936), from a Chinese Windows.
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
