#include <windows.h>

#include <string>

#include "sys/child_process.h"

namespace apptest {

namespace {
PROCESS_INFORMATION g_child{};
PROCESS_INFORMATION g_held{};

bool StartSuspended(PROCESS_INFORMATION& child) {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring command = L"\"" + std::wstring(path) + L"\" --gtest_list_tests";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  return CreateProcessW(path, command.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr, &startup,
                        &child);
}
}  // namespace

const bool kProcessIdsComeBackSoon = true;

// The test program itself, held suspended: it never runs a line.
std::uint32_t StartChild() { return StartSuspended(g_child) ? g_child.dwProcessId : 0; }

void EndChild() {
  TerminateProcess(g_child.hProcess, 1);
  WaitForSingleObject(g_child.hProcess, INFINITE);
  CloseHandle(g_child.hThread);
  CloseHandle(g_child.hProcess);
}

std::uint32_t HeldEndedChild() {
  if (!StartSuspended(g_held)) return 0;
  TerminateProcess(g_held.hProcess, 1);
  WaitForSingleObject(g_held.hProcess, INFINITE);
  return g_held.dwProcessId;
}

void LetGoOfHeld() {
  CloseHandle(g_held.hThread);
  CloseHandle(g_held.hProcess);
}

}  // namespace apptest
