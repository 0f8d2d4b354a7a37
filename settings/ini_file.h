// The iniFile unit: the two operations through which the program reads and
// writes its settings file. Texts are UTF-8; the file itself is in the
// system's ANSI code page on Windows and UTF-8 on Linux.
#pragma once

#include <cstdint>
#include <string>

namespace pavo {

// The value of key in section of file; "" when the file, the section or the
// key is absent. At most 255 bytes of the stored value come back, and never
// a character with code 0.
std::string ReadIniValue(const std::string& section, const std::string& key,
                         const std::string& file);

// Creates the file, the section and the key as needed and stores value,
// replacing an existing one. Returns non-zero on success.
std::int32_t WriteIniValue(const std::string& section, const std::string& key,
                           const std::string& value, const std::string& file);

}  // namespace pavo
