// Watches the top-level windows of the processes started from one program
// file, under Wine, for at most some seconds: windows_of <program path>
// <seconds> prints each window once, when first seen, "visible<TAB>class<TAB>
// title" in UTF-8 (the tests end it once the program has ended).
#include <windows.h>

#include <cstdio>
#include <set>
#include <string>

namespace {

const wchar_t* program;
std::set<std::wstring> seen;

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
  const std::wstring line = std::wstring(IsWindowVisible(window) ? L"visible\t" : L"hidden\t") + cls + L"\t" + title;
  char out[4096];  // room for every character of both, in UTF-8
  if (seen.insert(line).second &&
      WideCharToMultiByte(CP_UTF8, 0, line.c_str(), -1, out, sizeof out, nullptr, nullptr) > 0) {
    std::printf("%s\n", out);
  }
  return TRUE;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) return 2;
  program = argv[1];
  std::setvbuf(stdout, nullptr, _IONBF, 0);  // each line as soon as it is printed
  const ULONGLONG end = GetTickCount64() + 1000ull * static_cast<ULONGLONG>(_wtoi(argv[2]));
  while (GetTickCount64() < end) {
    EnumWindows(Look, 0);
    Sleep(20);
  }
  return 0;
}
