// The settings file through the system's profile-string functions.
//
// On a system whose ANSI code page is GBK (936, or its extension GB18030,
// 54936) names and values cross to the file in that code page, through the
// ANSI functions. Any other code page cannot hold the Chinese key names:
// there a new file is made in UTF-16 with its byte-order mark, which the
// wide functions keep in UTF-16, and an existing file is read the way it was
// written: UTF-16 through the wide functions, anything else (GBK from a
// Chinese system, UTF-8 by hand) by the program itself, as on Linux.
#include "settings/ini_file.h"

#include <windows.h>

#include "settings/profile_file.h"
#include "sys/scoped_win32.h"
#include "sys/system.h"
#include "sys/text_win32.h"

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

bool GbkSystem() {
  const UINT acp = GetACP();
  return acp == 936 || acp == 54936;
}

constexpr char kUtf16Mark[] = "\xFF\xFE";

bool HasUtf16Mark(const std::string& head) {
  return head.size() >= 2 && (head.starts_with(kUtf16Mark) || head.starts_with("\xFE\xFF"));
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

// A UTF-16 file: at most 255 UTF-16 units of a value, never half a pair.
std::string ReadWide(const std::string& section, const std::string& key, const std::string& file) {
  wchar_t buf[kBufferSize] = {};
  GetPrivateProfileStringW(Wide(section).c_str(), Wide(key).c_str(), L"", buf, kBufferSize, Wide(file).c_str());
  std::wstring value(buf, kMaxValueBytes);
  std::erase(value, L'\0');
  if (!value.empty() && IS_HIGH_SURROGATE(value.back())) value.pop_back();
  return win32::Utf8(value);
}

// Puts the byte-order mark into a file that holds nothing yet, creating it
// when absent, so that the wide functions write it in UTF-16. Returns
// whether the file was created here.
bool MarkUtf16(const std::string& file) {
  const std::wstring path = Wide(file);
  win32::Handle h(win32::Valid(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                           OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr)));
  if (!h) win32::ThrowLastError("CreateFileW");
  const bool created = GetLastError() != ERROR_ALREADY_EXISTS;
  LARGE_INTEGER size{};
  DWORD written = 0;
  const bool ok = GetFileSizeEx(h.get(), &size) &&
                  (size.QuadPart != 0 || (WriteFile(h.get(), kUtf16Mark, 2, &written, nullptr) && written == 2));
  h.reset();
  if (!ok) {
    if (created) DeleteFileW(path.c_str());
    throw Failure("cannot mark the settings file as UTF-16");
  }
  return created;
}

}  // namespace

std::string ReadIniValue(const std::string& section, const std::string& key, const std::string& file) {
  if (GbkSystem()) return ReadAnsi(section, key, file);
  std::string head;
  try {
    head = sys::ReadFilePrefix(file, 2);
  } catch (const Failure&) {
    return "";  // absent or unreadable, as the profile functions read it
  }
  if (HasUtf16Mark(head)) return ReadWide(section, key, file);
  return profile::ReadFileValue(file, section, key);
}

std::int32_t WriteIniValue(const std::string& section, const std::string& key, const std::string& value,
                           const std::string& file) {
  if (GbkSystem()) {
    if (FitsAnsi(file))
      return WritePrivateProfileStringA(Ansi(section).c_str(), Ansi(key).c_str(), Ansi(value).c_str(),
                                        Ansi(file).c_str());
    return WritePrivateProfileStringW(Wide(section).c_str(), Wide(key).c_str(), Wide(value).c_str(),
                                      Wide(file).c_str());
  }
  try {
    // A file that is there but cannot be read is never overwritten.
    const std::string head = sys::AnyPathExists(file) ? sys::ReadFilePrefix(file, 2) : "";
    if (!head.empty() && !HasUtf16Mark(head)) {
      profile::WriteFileValue(file, section, key, value);
      return 1;
    }
    const bool created = MarkUtf16(file);
    const std::int32_t result = WritePrivateProfileStringW(Wide(section).c_str(), Wide(key).c_str(),
                                                           Wide(value).c_str(), Wide(file).c_str());
    // A failed first write leaves no file behind.
    if (!result && created) DeleteFileW(Wide(file).c_str());
    return result;
  } catch (const Failure&) {
    return 0;
  }
}

}  // namespace pavo
