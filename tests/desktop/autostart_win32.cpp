// The autostart value under the current user's Run key, in the real registry
// (the Wine prefix's): how each value type reads, and what is written. The
// decision itself is the Linux test's table; the built program meets a few
// value types in e2e_autostart.
#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "desktop/autostart.h"
#include "sys/failure.h"

namespace pavo {
namespace {

using Value = std::pair<DWORD, std::string>;  // type, bytes

template <class T>
Value Of(DWORD type, const T* data, std::size_t n) {
  return {type, std::string(reinterpret_cast<const char*>(data), n * sizeof(T))};
}

Value Sz(const std::wstring& text, DWORD type = REG_SZ) { return Of(type, text.c_str(), text.size() + 1); }

const wchar_t kRun[] = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";

// As stored: RegGetValue would add a missing NUL.
std::optional<Value> Stored() {
  HKEY key = nullptr;
  DWORD type = 0, size = 4096;
  std::string data(size, '\0');
  RegOpenKeyExW(HKEY_CURRENT_USER, kRun, 0, KEY_READ, &key);
  const LSTATUS s = RegQueryValueExW(key, L"Pavo壁纸", nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
  RegCloseKey(key);
  return s ? std::nullopt : std::optional(Value{type, data.substr(0, size)});
}

TEST(Autostart, EachValueTypeReadsAsTheShellObjectReadsItAndAWriteIsTheBarePath) {
  const std::string exe = "C:\\Program Files\\Pavo 壁纸\\pavo.exe";
  const DWORD dword[] = {0, 0xFFFFFFFFu};
  const unsigned long long qword = 18446744073709551615ull;
  const std::pair<Value, std::optional<std::string>> rows[] = {  // nullopt: not text
      {Sz(L"C:\\Program Files\\Pavo 壁纸\\pavo.exe"), exe},
      {Sz(L""), ""},
      {Sz(L"%SystemRoot%\\pavo.exe", REG_EXPAND_SZ), "%SystemRoot%\\pavo.exe"},
      {Of(REG_SZ, L"C:\\a", 4), "C:\\a"},  // without its NUL
      {Of(REG_DWORD, dword, 1), "0"},
      {Of(REG_DWORD, dword + 1, 1), "4294967295"},
      {Of(REG_QWORD, &qword, 1), "18446744073709551615"},
      {Of(REG_BINARY, L"C:", 2), std::nullopt},
      {Of(REG_BINARY, "", 0), std::nullopt},
      {Of(REG_MULTI_SZ, L"a\0b\0", 5), std::nullopt},
  };
  for (const auto& [value, text] : rows) {
    SCOPED_TRACE(testing::Message() << "type " << value.first << " " << text.value_or("(not text)"));
    RegSetKeyValueW(HKEY_CURRENT_USER, kRun, L"Pavo壁纸", value.first, value.second.data(),
                    static_cast<DWORD>(value.second.size()));
    if (text) {
      EXPECT_EQ(autostart::Read(), *text);
    } else {
      EXPECT_THROW(autostart::Read(), Failure);
    }
  }
  autostart::Write(exe);
  EXPECT_EQ(Stored(), Sz(L"C:\\Program Files\\Pavo 壁纸\\pavo.exe")) << "REG_SZ, exactly the path and its NUL";
  autostart::Delete();
  EXPECT_EQ(Stored(), std::nullopt);
  EXPECT_THROW(autostart::Read(), Failure);
  EXPECT_THROW(autostart::Delete(), Failure);
}

}  // namespace
}  // namespace pavo
