// The autostart value under the current user's Run key, in the real registry
// (the Wine prefix's): how each value type reads, and what is written. The
// decision itself is the Linux test's table; the built program meets a few
// value types in e2e_autostart.
#include <windows.h>

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "desktop/autostart.h"
#include "sys/failure.h"

namespace pavo {
namespace {

struct Value {
  DWORD type;
  std::string data;
  bool operator==(const Value&) const = default;
};

Value Sz(const std::wstring& text, DWORD type = REG_SZ) {
  return {type, std::string(reinterpret_cast<const char*>(text.c_str()), (text.size() + 1) * 2)};
}

template <class Number>
Value Of(DWORD type, Number n) {
  return {type, std::string(reinterpret_cast<const char*>(&n), sizeof n)};
}

HKEY RunKey() {
  HKEY key = nullptr;
  RegCreateKeyExW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Run", 0, nullptr, 0,
                  KEY_ALL_ACCESS, nullptr, &key, nullptr);
  return key;
}

std::optional<Value> Stored() {
  const HKEY key = RunKey();
  DWORD type = 0, size = 4096;
  std::string data(size, '\0');
  const LSTATUS s = RegQueryValueExW(key, L"Pavo壁纸", nullptr, &type, reinterpret_cast<BYTE*>(data.data()), &size);
  RegCloseKey(key);
  if (s != ERROR_SUCCESS) return std::nullopt;
  return Value{type, data.substr(0, size)};
}

TEST(Autostart, EachValueTypeReadsAsTheShellObjectReadsItAndAWriteIsTheBarePath) {
  const std::string exe = "C:\\Program Files\\Pavo 壁纸\\pavo.exe";
  const std::wstring wide_exe = L"C:\\Program Files\\Pavo 壁纸\\pavo.exe";
  const std::pair<Value, std::optional<std::string>> rows[] = {  // nullopt: not text
      {Sz(wide_exe), exe},
      {Sz(L""), ""},
      {Sz(L"%SystemRoot%\\pavo.exe", REG_EXPAND_SZ), "%SystemRoot%\\pavo.exe"},
      {{REG_SZ, std::string("C\0:\0\\\0a\0", 8)}, "C:\\a"},  // without its NUL
      {Of<DWORD>(REG_DWORD, 0), "0"},
      {Of<DWORD>(REG_DWORD, 0xFFFFFFFFu), "4294967295"},
      {Of<unsigned long long>(REG_QWORD, 18446744073709551615ull), "18446744073709551615"},
      {{REG_BINARY, std::string("C\0:\0", 4)}, std::nullopt},
      {{REG_BINARY, ""}, std::nullopt},
      {{REG_MULTI_SZ, std::string("a\0\0\0b\0\0\0\0\0", 10)}, std::nullopt},
  };
  for (const auto& [value, text] : rows) {
    SCOPED_TRACE(testing::Message() << "type " << value.type << " " << text.value_or("(not text)"));
    const HKEY key = RunKey();
    RegSetValueExW(key, L"Pavo壁纸", 0, value.type, reinterpret_cast<const BYTE*>(value.data.data()),
                   static_cast<DWORD>(value.data.size()));
    RegCloseKey(key);
    if (text) {
      EXPECT_EQ(autostart::Read(), *text);
    } else {
      EXPECT_THROW(autostart::Read(), Failure);
    }
  }
  autostart::Write(exe);
  EXPECT_EQ(Stored(), Sz(wide_exe)) << "REG_SZ, exactly the path and its NUL";
  autostart::Delete();
  EXPECT_EQ(Stored(), std::nullopt);
  EXPECT_THROW(autostart::Read(), Failure);
  EXPECT_THROW(autostart::Delete(), Failure);
}

}  // namespace
}  // namespace pavo
