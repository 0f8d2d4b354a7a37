// The settings file through the system's profile-string functions.
//
// A file is read the way it was written, by one rule on every code page
// (profile::EncodingOf, as on Linux): UTF-16 with its byte-order mark through
// the wide functions; GBK on a system whose ANSI code page is GBK (936, or
// its extension GB18030, 54936) through the ANSI functions, names and values
// crossing in that code page; anything else (UTF-8 with or without a
// signature, as today's editors save it; GBK on another code page) by the
// program itself, as on Linux. A new file is GBK on a GBK system and UTF-16
// elsewhere, since no other code page holds the Chinese key names.
#include "settings/ini_file.h"

#include <windows.h>

#include <algorithm>

#include "settings/profile_file.h"
#include "settings/profile_text.h"
#include "sys/failure.h"
#include "sys/system.h"
#include "sys/text_win32.h"

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

bool GbkSystem() {
  const UINT acp = GetACP();
  return acp == 936 || acp == 54936;
}

// Text the ANSI functions of a GBK system read as it was written: GBK, and
// ASCII, which GBK and UTF-8 write alike.
bool GbkText(std::string_view text) {
  return profile::EncodingOf(text) == profile::Encoding::kGbk ||
         std::all_of(text.begin(), text.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

std::string ReadAnsi(const std::string& section, const std::string& key, const std::string& file) {
  std::string ansi;
  if (FitsAnsi(file)) {
    char buf[kBufferSize] = {};
    GetPrivateProfileStringA(Ansi(section).c_str(), Ansi(key).c_str(), "", buf, kBufferSize,
                             Ansi(file).c_str());
    // Every character with code 0 goes, wherever it stands in the buffer.
    ansi.assign(buf, kMaxValueBytes);
    std::erase(ansi, '\0');
  } else {
    // A program directory outside the ANSI code page cannot be named through
    // the ANSI function; the wide one reads the same file, still ANSI inside.
    wchar_t buf[kBufferSize] = {};
    GetPrivateProfileStringW(Wide(section).c_str(), Wide(key).c_str(), L"", buf, kBufferSize,
                             Wide(file).c_str());
    ansi = Ansi(win32::Utf8(buf));
  }
  // Never half a double-byte character (that would come back as a stray "?").
  return FromAnsi(std::string(sys::CutAtCharacter(ansi, kMaxValueBytes, sys::Charset::kGbk)));
}

// A UTF-16 file: at most 255 UTF-16 units of a value, never half a pair.
std::string ReadWide(const std::string& section, const std::string& key, const std::string& file) {
  wchar_t buf[kBufferSize] = {};
  GetPrivateProfileStringW(Wide(section).c_str(), Wide(key).c_str(), L"", buf, kBufferSize, Wide(file).c_str());
  std::wstring value(buf, kMaxValueBytes);
  std::erase(value, L'\0');
  if (!value.empty() && IS_HIGH_SURROGATE(value.back())) value.pop_back();
  return win32::Utf8(value);
}

}  // namespace

std::string ReadIniValue(const std::string& section, const std::string& key, const std::string& file) {
  std::string text;
  try {
    text = sys::ReadCapped(file, profile::kMaxFileBytes).bytes;
  } catch (const Failure&) {
    return "";  // absent or unreadable, as the profile functions read it
  }
  const sys::Bom bom = sys::SniffBom(text);
  if (bom == sys::Bom::kUtf16Le || bom == sys::Bom::kUtf16Be) return ReadWide(section, key, file);
  if (GbkSystem() && GbkText(text)) return ReadAnsi(section, key, file);
  return profile::ValueIn(std::move(text), section, key);
}

std::int32_t WriteIniValue(const std::string& section, const std::string& key, const std::string& value,
                           const std::string& file) {
  // Text the code page cannot hold would be stored as question marks.
  if (!FitsAnsi(section) || !FitsAnsi(key) || !FitsAnsi(value)) return 0;
  if (FitsAnsi(file))
    return WritePrivateProfileStringA(Ansi(section).c_str(), Ansi(key).c_str(), Ansi(value).c_str(),
                                      Ansi(file).c_str());
  return WritePrivateProfileStringW(Wide(section).c_str(), Wide(key).c_str(), Wide(value).c_str(),
                                    Wide(file).c_str());
}

std::string NewIniFile(const std::string& section, std::span<const IniValue> values) {
  const std::string text = profile::NewText(section, values);
  if (GbkSystem()) return Ansi(text);
  const std::wstring wide = Wide(text);
  return "\xFF\xFE" + std::string(reinterpret_cast<const char*>(wide.data()), wide.size() * sizeof(wchar_t));
}

}  // namespace pavo
