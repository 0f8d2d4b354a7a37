// The autostart value under the current user's Run key, against the real
// registry (of the Wine prefix when run there): how each value type reads,
// and every row of the decision table. The test sets and inspects the value
// itself through the wide registry functions, so the Chinese value name
// never travels on a command line.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "desktop/autostart.h"
#include "sys/failure.h"

namespace pavo {
namespace {

const wchar_t* const kRunKey = L"Software\\Microsoft\\Windows\\CurrentVersion\\Run";
const wchar_t* const kValueName = L"Pavo壁纸";

// A registry value: its type and raw data.
struct Value {
  DWORD type = REG_NONE;
  std::vector<BYTE> data;
  bool operator==(const Value&) const = default;
};

std::vector<BYTE> Bytes(const void* p, size_t n) {
  const BYTE* b = static_cast<const BYTE*>(p);
  return std::vector<BYTE>(b, b + n);
}

// REG_SZ data as the system stores it: UTF-16 with its terminating NUL.
Value Sz(const std::wstring& text, DWORD type = REG_SZ) {
  return {type, Bytes(text.c_str(), (text.size() + 1) * sizeof(wchar_t))};
}
Value Dword(DWORD n) { return {REG_DWORD, Bytes(&n, sizeof n)}; }
Value Qword(unsigned long long n) { return {REG_QWORD, Bytes(&n, sizeof n)}; }
Value Binary(std::vector<BYTE> b) { return {REG_BINARY, std::move(b)}; }
Value MultiSz(const std::wstring& with_nuls) {
  return {REG_MULTI_SZ, Bytes(with_nuls.data(), with_nuls.size() * sizeof(wchar_t))};
}

class RunKey {
 public:
  RunKey() {
    EXPECT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, kRunKey, 0, nullptr, 0, KEY_ALL_ACCESS, nullptr, &key_, nullptr),
              ERROR_SUCCESS);
  }
  ~RunKey() { RegCloseKey(key_); }
  HKEY get() const { return key_; }

 private:
  HKEY key_ = nullptr;
};

void Set(const Value& v) {
  RunKey key;
  ASSERT_EQ(RegSetValueExW(key.get(), kValueName, 0, v.type, v.data.data(), static_cast<DWORD>(v.data.size())),
            ERROR_SUCCESS);
}

std::optional<Value> Get() {
  RunKey key;
  DWORD type = 0, size = 0;
  if (RegQueryValueExW(key.get(), kValueName, nullptr, &type, nullptr, &size) != ERROR_SUCCESS) return std::nullopt;
  Value v{type, std::vector<BYTE>(size)};
  EXPECT_EQ(RegQueryValueExW(key.get(), kValueName, nullptr, &type, v.data.data(), &size), ERROR_SUCCESS);
  v.data.resize(size);
  return v;
}

void Remove() {
  RunKey key;
  LSTATUS s = RegDeleteValueW(key.get(), kValueName);
  ASSERT_TRUE(s == ERROR_SUCCESS || s == ERROR_FILE_NOT_FOUND) << s;
}

// When the Run key last changed: a rewrite of the value moves it.
ULONGLONG KeyWriteTime() {
  RunKey key;
  FILETIME ft{};
  EXPECT_EQ(RegQueryInfoKeyW(key.get(), nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
                             nullptr, nullptr, &ft),
            ERROR_SUCCESS);
  return (static_cast<ULONGLONG>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

class Autostart : public testing::Test {
 protected:
  void SetUp() override { Remove(); }
  void TearDown() override { Remove(); }
};

// ExePath with a space and Chinese, as a copy in such a folder composes it.
const std::string kExe = "C:\\Program Files\\Pavo 壁纸\\pavo.exe";
const std::wstring kExeW = L"C:\\Program Files\\Pavo 壁纸\\pavo.exe";

TEST_F(Autostart, EachValueTypeReadsAsTheShellObjectReadsIt) {
  struct Case {
    const char* what;
    Value value;
    std::optional<std::string> text;  // nullopt: cannot be read as text
  };
  const Case cases[] = {
      {"string", Sz(kExeW), kExe},
      {"empty string", Sz(L""), ""},
      {"expandable string", Sz(L"%SystemRoot%\\pavo.exe", REG_EXPAND_SZ), "%SystemRoot%\\pavo.exe"},
      {"string without its NUL", {REG_SZ, Bytes(L"C:\\a.exe", 8 * sizeof(wchar_t))}, "C:\\a.exe"},
      {"number", Dword(1), "1"},
      {"number 0", Dword(0), "0"},
      {"largest number", Dword(0xFFFFFFFFu), "4294967295"},
      {"64-bit number", Qword(18446744073709551615ull), "18446744073709551615"},
      {"raw bytes", Binary({0x43, 0x00, 0x3a, 0x00}), std::nullopt},
      {"no bytes", Binary({}), std::nullopt},
      {"list of strings", MultiSz(std::wstring(L"C:\\a.exe\0C:\\b.exe\0\0", 20)), std::nullopt},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Set(c.value);
    if (c.text) {
      EXPECT_EQ(autostart::Read(), *c.text);
    } else {
      EXPECT_THROW(autostart::Read(), Failure);
    }
  }
  Remove();
  EXPECT_THROW(autostart::Read(), Failure) << "no entry";
  EXPECT_THROW(autostart::Delete(), Failure) << "nothing to delete";
}

TEST_F(Autostart, WriteStoresTheBarePathAsAString) {
  autostart::Write(kExe);
  EXPECT_EQ(Get(), Sz(kExeW)) << "REG_SZ, exactly ExePath and its NUL";
  EXPECT_EQ(autostart::Read(), kExe);
  autostart::Delete();
  EXPECT_EQ(Get(), std::nullopt);
}

// What a row expects of the value after SyncAutostart.
enum class After { kExePath, kUntouched, kDeleted, kNone };

TEST_F(Autostart, DecisionTableEveryRow) {
  // A write moves the key's write time; if it did not, the "untouched" rows
  // below could not tell a write from none. (Wine does not record a write
  // of identical data at all, so there an unneeded rewrite of the equal
  // entry is invisible; the shared decision code is held to "nothing
  // written" by the Linux test, which sees the file's inode.)
  Set(Sz(L"C:\\before.exe"));
  const ULONGLONG t0 = KeyWriteTime();
  Sleep(30);
  Set(Sz(kExeW));
  ASSERT_NE(KeyWriteTime(), t0) << "the registry does not record writes; the table below would prove nothing";

  struct Row {
    const char* setting;
    std::optional<Value> planted;  // nullopt: no value
    After after;
  };
  const std::vector<Row> rows = {
      // On.
      {"1", std::nullopt, After::kExePath},
      {"1", Sz(kExeW), After::kUntouched},
      {"1", Sz(L"D:\\Other\\pavo.exe"), After::kExePath},
      {"1", Sz(L"c:\\program files\\pavo 壁纸\\PAVO.EXE"), After::kExePath},  // other letter case
      {"1", Sz(L"\"" + kExeW + L"\""), After::kExePath},                        // in quotation marks
      {"1", Sz(kExeW + L" "), After::kExePath},                                 // nothing is trimmed
      {"1", Sz(L""), After::kExePath},
      {"1", Sz(kExeW, REG_EXPAND_SZ), After::kUntouched},  // reads as the same text
      {"1", Dword(1), After::kExePath},
      {"1", Qword(1), After::kExePath},
      {"1", Binary({1, 2, 3}), After::kExePath},
      {"1", MultiSz(kExeW + std::wstring(L"\0\0", 2)), After::kExePath},
      // Off: any non-empty entry goes, whatever it names.
      {"0", Sz(kExeW), After::kDeleted},
      {"", Sz(kExeW), After::kDeleted},
      {"01", Sz(kExeW), After::kDeleted},
      {"yes", Sz(kExeW), After::kDeleted},
      {"true", Sz(kExeW), After::kDeleted},
      {" 1", Sz(kExeW), After::kDeleted},
      {"1 ", Sz(kExeW), After::kDeleted},
      {"0", Sz(L"D:\\Other\\pavo.exe"), After::kDeleted},
      {"0", Dword(0), After::kDeleted},  // "0" is not empty
      {"", Dword(1), After::kDeleted},
      {"0", Qword(7), After::kDeleted},
      // Off, and the entry counts as "": it stays.
      {"0", Sz(L""), After::kUntouched},
      {"yes", Sz(L""), After::kUntouched},
      {"0", Binary({1, 2, 3}), After::kUntouched},
      {"", MultiSz(kExeW + std::wstring(L"\0\0", 2)), After::kUntouched},
      // Off, no entry: nothing appears.
      {"0", std::nullopt, After::kNone},
      {"", std::nullopt, After::kNone},
      {"true", std::nullopt, After::kNone},
  };
  int n = 0;
  for (const Row& row : rows) {
    SCOPED_TRACE(testing::Message() << "row " << n++ << ": setting \"" << row.setting << "\"");
    Remove();
    if (row.planted) Set(*row.planted);
    const ULONGLONG before = KeyWriteTime();
    Sleep(30);
    SyncAutostart(row.setting, kExe);
    switch (row.after) {
      case After::kExePath:
        EXPECT_EQ(Get(), Sz(kExeW)) << "REG_SZ holding exactly ExePath";
        break;
      case After::kUntouched:
        EXPECT_EQ(Get(), row.planted);
        EXPECT_EQ(KeyWriteTime(), before) << "nothing may be written";
        break;
      case After::kDeleted:
        EXPECT_EQ(Get(), std::nullopt);
        break;
      case After::kNone:
        EXPECT_EQ(Get(), std::nullopt);
        EXPECT_EQ(KeyWriteTime(), before) << "nothing may be written";
        break;
    }
  }
}

}  // namespace
}  // namespace pavo
