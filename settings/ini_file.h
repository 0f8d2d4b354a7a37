// The iniFile unit: the two operations through which the program reads and
// writes its settings file, and the bytes of a new one. Texts are UTF-8; a
// file is read in the encoding it was written in (ini_file_<platform>.cpp).
#pragma once

#include <cstdint>
#include <span>
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

struct IniValue {
  const char* key;
  const char* value;
};

// The bytes of a new settings file: the header of section, then a line
// "key=value" per value, in order, each ending in CR LF. GBK on a Windows
// whose ANSI code page is GBK, UTF-16 with its byte-order mark on any other
// Windows (whose code page cannot hold the Chinese key names), UTF-8 on
// Linux.
std::string NewIniFile(const std::string& section, std::span<const IniValue> values);

}  // namespace pavo
