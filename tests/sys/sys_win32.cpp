#include <windows.h>

#include "sys/sys_platform.h"

namespace pavo::test {

namespace {
PROCESS_INFORMATION g_running{}, g_held{};

// The test program itself, held suspended (it never runs a line), or ended.
std::uint32_t Start(PROCESS_INFORMATION& child, bool end) {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  STARTUPINFOW startup{sizeof startup};
  if (!CreateProcessW(path, nullptr, nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr, &startup, &child))
    return 0;
  if (end) TerminateProcess(child.hProcess, 1), WaitForSingleObject(child.hProcess, INFINITE);
  return child.dwProcessId;
}

void Close(PROCESS_INFORMATION& p) { CloseHandle(p.hThread), CloseHandle(p.hProcess); }
}  // namespace

const bool kProcessIdsComeBackSoon = true;

Children StartChildren() {
  PROCESS_INFORMATION ended{};
  const std::uint32_t pid = Start(ended, true);
  Close(ended);
  return {pid, Start(g_running, false), Start(g_held, true)};
}

void EndChildren() {
  TerminateProcess(g_running.hProcess, 1), WaitForSingleObject(g_running.hProcess, INFINITE);
  Close(g_running), Close(g_held);
}

}  // namespace pavo::test
