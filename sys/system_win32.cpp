#include "sys/system.h"

#include <windows.h>
#include <mmsystem.h>

#include <algorithm>

#include "sys/scoped_win32.h"
#include "sys/text_win32.h"

namespace pavo::sys {

using win32::ThrowLastError;
using win32::Wide;

const char* const kSeparator = "\\";

namespace {

std::wstring ModulePath() {
  std::wstring buf(MAX_PATH, L'\0');
  for (;;) {
    DWORD n = GetModuleFileNameW(nullptr, buf.data(), static_cast<DWORD>(buf.size()));
    if (n == 0) ThrowLastError("GetModuleFileNameW");
    if (n < buf.size()) return buf.substr(0, n);
    if (buf.size() >= 32768) throw Failure("module path too long");
    buf.resize(buf.size() * 2);
  }
}

DWORD Attributes(const std::string& path) {
  DWORD a = GetFileAttributesW(Wide(path).c_str());
  if (a == INVALID_FILE_ATTRIBUTES) {
    DWORD e = GetLastError();
    if (e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND || e == ERROR_INVALID_NAME ||
        e == ERROR_BAD_NETPATH || e == ERROR_INVALID_DRIVE)
      return INVALID_FILE_ATTRIBUTES;
    ThrowLastError("GetFileAttributesW");
  }
  return a;
}

}  // namespace

std::string ExecutableDirectory() {
  std::wstring p = ModulePath();
  size_t slash = p.find_last_of(L'\\');
  if (slash == std::wstring::npos) throw Failure("module path without directory");
  // The root of a drive keeps its backslash ("D:\"), as the platform reports it.
  std::wstring dir = p.substr(0, slash);
  if (dir.size() == 2 && dir[1] == L':') dir += L'\\';
  return win32::Utf8(dir);
}

std::string ExePathFor(const std::string& the_path) {
  std::wstring p = ModulePath();
  std::wstring name = p.substr(p.find_last_of(L'\\') + 1);
  size_t dot = name.find_last_of(L'.');
  if (dot != std::wstring::npos) name.resize(dot);
  return the_path + "\\" + win32::Utf8(name) + ".exe";
}

std::string LocalDateYyyymmdd() {
  SYSTEMTIME t;
  GetLocalTime(&t);
  char buf[16];
  wsprintfA(buf, "%04u%02u%02u", t.wYear, t.wMonth, t.wDay);
  return buf;
}

bool AnyPathExists(const std::string& path) { return Attributes(path) != INVALID_FILE_ATTRIBUTES; }

bool RegularFileExists(const std::string& path) {
  DWORD a = Attributes(path);
  return a != INVALID_FILE_ATTRIBUTES && !(a & FILE_ATTRIBUTE_DIRECTORY);
}

void MakeDirectory(const std::string& path) {
  if (!CreateDirectoryW(Wide(path).c_str(), nullptr)) ThrowLastError("CreateDirectoryW");
}

std::uint64_t FileSize(const std::string& path) {
  WIN32_FILE_ATTRIBUTE_DATA d;
  if (!GetFileAttributesExW(Wide(path).c_str(), GetFileExInfoStandard, &d)) ThrowLastError("GetFileAttributesExW");
  if (d.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) throw Failure("not a file");
  return (static_cast<std::uint64_t>(d.nFileSizeHigh) << 32) | d.nFileSizeLow;
}

void RemoveFile(const std::string& path) {
  const std::wstring wide = Wide(path);
  if (!win32::RetriedWhileHeld([&] { return DeleteFileW(wide.c_str()); })) ThrowLastError("DeleteFileW");
}

std::uint32_t MillisecondCounter() { return timeGetTime(); }

std::string DecimalSeparator() {
  wchar_t buf[8] = {};
  if (GetLocaleInfoEx(LOCALE_NAME_USER_DEFAULT, LOCALE_SDECIMAL, buf, 8) <= 0) ThrowLastError("GetLocaleInfoEx");
  return win32::Utf8(buf);
}

std::vector<std::string> DirectoryNames(const std::string& directory) {
  WIN32_FIND_DATAW found;
  const win32::FindHandle search(win32::Valid(FindFirstFileW(Wide(directory + "\\*").c_str(), &found)));
  if (!search) ThrowLastError("FindFirstFileW");
  std::vector<std::string> names;
  do {
    const std::wstring name = found.cFileName;
    if (name != L"." && name != L"..") names.push_back(win32::Utf8(name));
  } while (FindNextFileW(search.get(), &found));
  if (GetLastError() != ERROR_NO_MORE_FILES) ThrowLastError("FindNextFileW");
  return names;
}

std::uint32_t ProcessId() { return GetCurrentProcessId(); }

namespace {

// Only a disk file is read: a pipe or a device under the name could keep the
// read waiting for ever.
win32::Handle OpenDiskFile(const std::string& path) {
  win32::Handle file(win32::Valid(CreateFileW(Wide(path).c_str(), GENERIC_READ,
                                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr)));
  if (!file) ThrowLastError("CreateFileW");
  if (GetFileType(file.get()) != FILE_TYPE_DISK) throw Failure("not a file");
  return file;
}

}  // namespace

FileReader::FileReader(const std::string& path)
    : handle_(reinterpret_cast<std::intptr_t>(OpenDiskFile(path).release())) {}

FileReader::~FileReader() { CloseHandle(reinterpret_cast<HANDLE>(handle_)); }

std::size_t FileReader::Read(void* buffer, std::size_t size) {
  DWORD got = 0;
  const DWORD want = static_cast<DWORD>(std::min<std::size_t>(size, 1u << 30));
  if (!ReadFile(reinterpret_cast<HANDLE>(handle_), buffer, want, &got, nullptr)) ThrowLastError("ReadFile");
  return got;
}

}  // namespace pavo::sys
