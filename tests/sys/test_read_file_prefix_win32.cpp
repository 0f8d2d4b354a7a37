// The one reader of ordinary files on Windows: a name that leads to a pipe
// (or any other handle that is no disk file) is refused at once, never read,
// since a read there waits for a writer that may never come.
#include <windows.h>

#include <gtest/gtest.h>

#include <string>

#include "sys/failure.h"
#include "sys/system.h"

namespace pavo {
namespace {

struct Call {
  std::string path;
  bool threw = false;
  std::string got;
};

DWORD WINAPI Read(void* p) {
  auto* c = static_cast<Call*>(p);
  try {
    c->got = sys::ReadFilePrefix(c->path, 16);
  } catch (const Failure&) {
    c->threw = true;
  }
  return 0;
}

TEST(ReadFilePrefix, APipeIsRefusedAtOnce) {
  const std::wstring name = L"\\\\.\\pipe\\pavo-read-prefix-" + std::to_wstring(GetCurrentProcessId());
  // A pipe whose server never writes: a read on it would wait for ever.
  HANDLE server = CreateNamedPipeW(name.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0,
                                   nullptr);
  ASSERT_NE(server, INVALID_HANDLE_VALUE);

  Call call{"\\\\.\\pipe\\pavo-read-prefix-" + std::to_string(GetCurrentProcessId())};
  HANDLE thread = CreateThread(nullptr, 0, &Read, &call, 0, nullptr);
  ASSERT_NE(thread, nullptr);
  const DWORD waited = WaitForSingleObject(thread, 5000);
  EXPECT_EQ(waited, WAIT_OBJECT_0) << "the reader waited on the pipe";
  // A reader still waiting is released by the pipe's end.
  CloseHandle(server);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  EXPECT_TRUE(call.threw) << "read \"" << call.got << "\" from a pipe";
}

}  // namespace
}  // namespace pavo
