// Watches the top-level windows of the processes started from one program
// file, under Wine, for at most some seconds: windows_of <program path>
// <seconds> prints each window once, when first seen, "visible<TAB>class<TAB>
// title" in UTF-8 (the tests end it once the program has ended).
#include <windows.h>

#include <cstdio>
#include <set>
#include <string>

namespace {

std::string Utf8(const wchar_t* w) {
  char out[1024];
  const int n = WideCharToMultiByte(CP_UTF8, 0, w, -1, out, sizeof out, nullptr, nullptr);
  return n > 0 ? std::string(out, n - 1) : std::string();
}

const wchar_t* program;
std::set<std::string> seen;

BOOL CALLBACK Look(HWND window, LPARAM) {
  DWORD pid = 0;
  GetWindowThreadProcessId(window, &pid);
  const HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid);
  if (!process) return TRUE;
  wchar_t path[MAX_PATH * 2];
  DWORD size = MAX_PATH * 2;
  const bool named = QueryFullProcessImageNameW(process, 0, path, &size);
  CloseHandle(process);
  if (!named || lstrcmpiW(path, program) != 0) return TRUE;
  wchar_t cls[256] = L"", title[512] = L"";
  GetClassNameW(window, cls, 256);
  GetWindowTextW(window, title, 512);
  const std::string line = std::string(IsWindowVisible(window) ? "visible" : "hidden") + "\t" + Utf8(cls) + "\t" +
                           Utf8(title);
  if (seen.insert(line).second) {
    std::printf("%s\n", line.c_str());
    std::fflush(stdout);
  }
  return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  program = argv[1];
  const ULONGLONG end = GetTickCount64() + 1000ull * static_cast<ULONGLONG>(_wtoi(argv[2]));
  while (GetTickCount64() < end) {
    EnumWindows(Look, 0);
    Sleep(20);
  }
  return 0;
}
