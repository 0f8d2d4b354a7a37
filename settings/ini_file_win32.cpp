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

// The first bytes of an ANSI text, up to max, never ending in half of a
// double-byte character (that would come back as a stray "?").
std::string CutAtCharacter(const std::string& ansi, size_t max) {
  size_t at = 0;
  while (at < ansi.size()) {
    size_t n = IsDBCSLeadByte(static_cast<BYTE>(ansi[at])) ? 2 : 1;
    if (at + n > max) break;
    at += n;
  }
  return ansi.substr(0, at);
}

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
    // Every character with code 0 goes, wherever it stands in the buffer.
    ansi.assign(buf, kMaxValueBytes);
    std::erase(ansi, '\0');
    ansi = CutAtCharacter(ansi, kMaxValueBytes);
  } else {
    // A program directory outside the ANSI code page cannot be named through
    // the ANSI function; the wide one reads the same file, still ANSI inside.
    wchar_t buf[kBufferSize] = {};
    GetPrivateProfileStringW(Wide(section).c_str(), Wide(key).c_str(), L"", buf, kBufferSize,
                             Wide(file).c_str());
    ansi = CutAtCharacter(Ansi(win32::Utf8(buf)), kMaxValueBytes);
  }
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
