// The autostart entry as a value under the current user's Run key, through
// the registry functions (the scripting host's shell object can be switched
// off by policy). Reading follows that object's rules: a string reads as its
// text, a number as its decimal text, anything else cannot be read as text.
#include <windows.h>

#include <cstring>
#include <string>

#include "desktop/autostart.h"
#include "sys/scoped_win32.h"
#include "sys/text_win32.h"

namespace pavo::autostart {

namespace {

const wchar_t* const kRunKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";

win32::RegKey RunKey(REGSAM access, bool create) {
  HKEY key = nullptr;
  const LSTATUS s = create ? RegCreateKeyExW(HKEY_CURRENT_USER, kRunKey, 0, nullptr, 0, access, nullptr, &key, nullptr)
                           : RegOpenKeyExW(HKEY_CURRENT_USER, kRunKey, 0, access, &key);
  if (s != ERROR_SUCCESS) throw Failure("cannot open the Run key, error " + std::to_string(s));
  return win32::RegKey(key);
}

std::wstring ValueName() { return win32::Wide(kAutostartName); }

}  // namespace

std::string Read() {
  const win32::RegKey key = RunKey(KEY_QUERY_VALUE, false);
  const std::wstring name = ValueName();
  DWORD type = 0, size = 0;
  LSTATUS s = RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, nullptr, &size);
  if (s != ERROR_SUCCESS) throw Failure("no autostart entry");
  std::wstring data(size / sizeof(wchar_t) + 1, L'\0');
  std::string bytes(size, '\0');
  LPBYTE target = (type == REG_SZ || type == REG_EXPAND_SZ) ? reinterpret_cast<LPBYTE>(data.data())
                                                            : reinterpret_cast<LPBYTE>(bytes.data());
  s = RegQueryValueExW(key.get(), name.c_str(), nullptr, &type, target, &size);
  if (s != ERROR_SUCCESS) throw Failure("cannot read the autostart entry");
  switch (type) {
    case REG_SZ:
    case REG_EXPAND_SZ:
      data.resize(size / sizeof(wchar_t));
      while (!data.empty() && data.back() == L'\0') data.pop_back();
      return win32::Utf8(data);
    case REG_DWORD:
      if (size < 4) throw Failure("short number");
      {
        DWORD n;
        std::memcpy(&n, bytes.data(), sizeof n);
        return std::to_string(n);
      }
    case REG_QWORD:
      if (size < 8) throw Failure("short number");
      {
        unsigned long long n;
        std::memcpy(&n, bytes.data(), sizeof n);
        return std::to_string(n);
      }
    default:
      throw Failure("the autostart entry is not text");
  }
}

void Write(const std::string& exe_path) {
  const win32::RegKey key = RunKey(KEY_SET_VALUE, true);
  const std::wstring data = win32::Wide(exe_path);
  LSTATUS s = RegSetValueExW(key.get(), ValueName().c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(data.c_str()),
                             static_cast<DWORD>((data.size() + 1) * sizeof(wchar_t)));
  if (s != ERROR_SUCCESS) throw Failure("cannot write the autostart entry, error " + std::to_string(s));
}

void Delete() {
  const win32::RegKey key = RunKey(KEY_SET_VALUE, false);
  LSTATUS s = RegDeleteValueW(key.get(), ValueName().c_str());
  if (s != ERROR_SUCCESS) throw Failure("cannot delete the autostart entry, error " + std::to_string(s));
}

}  // namespace pavo::autostart
