#include <windows.h>

#include <string>

#include "sys/sys_platform.h"

namespace pavo::test {

namespace {
PROCESS_INFORMATION g_child{}, g_held{};

// The test program itself, held suspended: it never runs a line.
std::uint32_t StartSuspended(PROCESS_INFORMATION& child) {
  wchar_t path[MAX_PATH];
  GetModuleFileNameW(nullptr, path, MAX_PATH);
  std::wstring command = L"\"" + std::wstring(path) + L"\" --gtest_list_tests";
  STARTUPINFOW startup{sizeof startup};
  return CreateProcessW(path, command.data(), nullptr, nullptr, FALSE, CREATE_SUSPENDED, nullptr, nullptr, &startup, &child)
             ? child.dwProcessId
             : 0;
}

void Close(PROCESS_INFORMATION& p) { CloseHandle(p.hThread), CloseHandle(p.hProcess); }
}  // namespace

const bool kProcessIdsComeBackSoon = true;

std::uint32_t StartChild() { return StartSuspended(g_child); }

void EndChild() {
  TerminateProcess(g_child.hProcess, 1);
  WaitForSingleObject(g_child.hProcess, INFINITE);
  Close(g_child);
}

std::uint32_t HeldEndedChild() {
  const std::uint32_t pid = StartSuspended(g_held);
  TerminateProcess(g_held.hProcess, 1);
  return WaitForSingleObject(g_held.hProcess, INFINITE), pid;
}

void LetGoOfHeld() { Close(g_held); }

std::vector<std::string> EndlessNames(const std::string&) {
  // A pipe whose server never writes; it stays open while the test runs.
  const std::string name = "\\\\.\\pipe\\pavo-endless-" + std::to_string(GetCurrentProcessId());
  CreateNamedPipeA(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0, nullptr);
  return {name};
}

}  // namespace pavo::test
