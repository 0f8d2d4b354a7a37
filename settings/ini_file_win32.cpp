// The settings file through the system's profile-string functions. Names and
// values cross to the file in the system's ANSI code page.
#include "settings/ini_file.h"

#include <windows.h>

#include "app/text_win32.h"

namespace pavo {

using win32::Ansi;
using win32::FitsAnsi;
using win32::FromAnsi;
using win32::Wide;

namespace {
// A value comes back through a buffer of 255 characters handed over with a
// size of 256, so at most 255 bytes of it.
constexpr DWORD kBufferSize = 256;
constexpr size_t kMaxValueBytes = 255;
}  // namespace

std::string ReadIniValue(const std::string& section, const std::string& key, const std::string& file) {
  std::string ansi;
  if (FitsAnsi(file)) {
    char buf[kBufferSize] = {};
    GetPrivateProfileStringA(Ansi(section).c_str(), Ansi(key).c_str(), "", buf, kBufferSize,
                             Ansi(file).c_str());
    ansi.assign(buf, kMaxValueBytes);
  } else {
    // A program directory outside the ANSI code page cannot be named through
    // the ANSI function; the wide one reads the same file, still ANSI inside.
    wchar_t buf[kBufferSize] = {};
    GetPrivateProfileStringW(Wide(section).c_str(), Wide(key).c_str(), L"", buf, kBufferSize,
                             Wide(file).c_str());
    ansi = Ansi(win32::Utf8(buf));
    if (ansi.size() > kMaxValueBytes) ansi.resize(kMaxValueBytes);
  }
  // Every character with code 0 goes, wherever it stands.
  std::erase(ansi, '\0');
  return FromAnsi(ansi);
}

std::int32_t WriteIniValue(const std::string& section, const std::string& key, const std::string& value,
                           const std::string& file) {
  if (FitsAnsi(file))
    return WritePrivateProfileStringA(Ansi(section).c_str(), Ansi(key).c_str(), Ansi(value).c_str(),
                                      Ansi(file).c_str());
  return WritePrivateProfileStringW(Wide(section).c_str(), Wide(key).c_str(), Wide(value).c_str(),
                                    Wide(file).c_str());
}

}  // namespace pavo
