// The autostart value under the Run key of the Wine prefix's registry: how each value type reads (what a write stores
// and that a delete removes it: e2e_run; the decision: the Linux table).
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

TEST(Autostart, EachValueTypeReadsAsTheShellReadsIt) {
  const DWORD dword = 0xFFFFFFFFu;
  const unsigned long long qword = 18446744073709551615ull;
  const std::pair<Value, std::optional<std::string>> rows[] = {  // nullopt: not text
      {Of(REG_SZ, L"C:\\Program Files\\Pavo 壁纸\\pavo.exe", 34), "C:\\Program Files\\Pavo 壁纸\\pavo.exe"},
      {Of(REG_EXPAND_SZ, L"%SystemRoot%\\p.exe", 19), "%SystemRoot%\\p.exe"},
      {Of(REG_SZ, L"C:\\a", 4), "C:\\a"},  // without its NUL
      {Of(REG_DWORD, &dword, 1), "4294967295"}, {Of(REG_QWORD, &qword, 1), "18446744073709551615"},
      {Of(REG_BINARY, L"C:", 2), std::nullopt}, {Of(REG_MULTI_SZ, L"a\0b\0", 5), std::nullopt},
  };
  for (const auto& [value, text] : rows) {
    SCOPED_TRACE(testing::Message() << "type " << value.first << " " << text.value_or("(not text)"));
    RegSetKeyValueW(HKEY_CURRENT_USER, L"Software\\Microsoft\\Windows\\CurrentVersion\\Run", L"Pavo壁纸", value.first,
                    value.second.data(), static_cast<DWORD>(value.second.size()));
    if (text) EXPECT_EQ(autostart::Read(), *text);
    else EXPECT_THROW(autostart::Read(), Failure);
  }
  autostart::Delete();
}

}  // namespace
}  // namespace pavo
