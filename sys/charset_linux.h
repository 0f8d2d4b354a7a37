// Conversion between character sets on Linux, through iconv: the settings
// file's GBK and the web answers' declared character sets.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace pavo::charset {

// The text in character set `to`. A byte sequence `from` cannot read, or one
// cut short at the end, becomes `replacement` (given in `to`); with no
// replacement such text gives nullopt. Throws pavo::Failure for a character
// set iconv does not know.
std::optional<std::string> Convert(std::string_view in, const char* to, const char* from,
                                   const char* replacement);

}  // namespace pavo::charset
