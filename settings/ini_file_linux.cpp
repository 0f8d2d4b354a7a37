// The settings file on Linux, which has no profile-string functions: the
// program reads and writes the file itself (settings/profile_file.h). It is
// UTF-8; a file carried over from a Windows copy in GBK is read, and
// written, as GBK.
#include <sys/stat.h>

#include <cstdlib>

#include "settings/ini_file.h"
#include "settings/profile_file.h"
#include "sys/failure.h"

namespace pavo {

std::string ReadIniValue(const std::string& section, const std::string& key, const std::string& file) {
  return profile::ReadFileValue(file, section, key);
}

std::int32_t WriteIniValue(const std::string& section, const std::string& key, const std::string& value,
                           const std::string& file) {
  // A link stays a link: the file it names is the one replaced.
  std::string path = file;
  struct stat st {};
  if (lstat(file.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    char* real = realpath(file.c_str(), nullptr);
    if (!real) return 0;
    path = real;
    std::free(real);
  }
  try {
    profile::WriteFileValue(path, section, key, value);
    return 1;
  } catch (const Failure&) {
    return 0;
  }
}

std::string NewIniFile(const std::string& section, std::span<const IniValue> values) {
  return profile::NewText(section, values);
}

}  // namespace pavo
