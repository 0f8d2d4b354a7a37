// The settings file read and written byte for byte by the program itself,
// over the profile text functions: on Linux, which has no profile-string
// functions, and on Windows for a file the ANSI profile functions would
// misread. The file is UTF-8 (with or without a signature) or GBK as
// profile::EncodingOf decides, or UTF-16 with its byte-order mark (as a
// Windows outside the GBK code page writes it), which is read but never
// rewritten here; a new file is UTF-8. Paths are UTF-8.
#pragma once

#include <cstddef>
#include <span>
#include <string>

#include "settings/ini_file.h"

namespace pavo::profile {

// Only this much of a settings file is ever read: a sensible one holds a few
// hundred bytes, and a huge one must not cost its size in memory.
inline constexpr std::size_t kMaxFileBytes = 1u << 20;

// ReadIniValue on a settings file's bytes (its first kMaxFileBytes): "" when
// the section or the key is absent; at most 255 bytes of the file's own
// encoding come back, never half a character, as UTF-8.
std::string ValueIn(std::string text, const std::string& section, const std::string& key);

// ValueIn on the file at path; "" also when the file is absent or cannot be
// read.
std::string ReadFileValue(const std::string& path, const std::string& section, const std::string& key);

// WriteIniValue on the file at path: the whole file is replaced by a new
// one, so a reader sees the old file or the new one and a failure leaves the
// old one. Throws pavo::Failure, and leaves the file alone, for a file that
// is there but cannot be read whole, for text that cannot be stored in the
// file's encoding or would break its structure, and when the new file cannot
// be written.
void WriteFileValue(const std::string& path, const std::string& section, const std::string& key,
                    const std::string& value);

// A new file's text, in UTF-8: the section's header and a line per value, in
// order, each line ending in CR LF, as the profile functions write them.
std::string NewText(const std::string& section, std::span<const IniValue> values);

}  // namespace pavo::profile
