// The settings file on Linux, which has no profile-string functions: the
// program reads and writes the file itself (settings/profile_file.h). It is
// UTF-8; a file carried over from a Windows copy in GBK is read, and
// written, as GBK.
#include "settings/ini_file.h"
#include "settings/profile_file.h"
#include "sys/failure.h"

namespace pavo {

std::string ReadIniValue(const std::string& section, const std::string& key, const std::string& file) {
  return profile::ReadFileValue(file, section, key);
}

std::int32_t WriteIniValue(const std::string& section, const std::string& key, const std::string& value,
                           const std::string& file) {
  try {
    profile::WriteFileValue(file, section, key, value);
    return 1;
  } catch (const Failure&) {
    return 0;
  }
}

std::string NewIniFile(const std::string& section, std::span<const IniValue> values) {
  return profile::NewText(section, values);
}

}  // namespace pavo
