// Windows: the program's own files held for a moment by another program (a virus scanner, the search indexer or
// a sync client holds the file open for half a second without sharing its deletion): the rename over it and the
// delete of it wait that out.
#include <gtest/gtest.h>
#include <windows.h>

#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "support/scratch.h"
#include "sys/pending_file.h"
#include "sys/system.h"

namespace pavo {
namespace {

TEST(HeldFiles, RenameAndDeleteWaitOutAShortHold) {
  test::Scratch dir("pavo-held");
  const std::string target = dir / "WallPaper.bmp";
  const struct {
    const char* what;
    std::function<void()> act;
    std::optional<std::string> after;
  } rows[] = {
      {"rename over it", [&] { sys::PendingFile f(target); f.Append("new", 3); f.Commit(); }, "new"},
      {"delete it", [&] { sys::RemoveFile(target); }, std::nullopt},
  };
  for (const auto& r : rows) {
    SCOPED_TRACE(r.what);
    test::Put(target, "old");
    const HANDLE held = CreateFileW(test::FsPath(target).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    std::thread holder([held] { Sleep(500), CloseHandle(held); });
    EXPECT_NO_THROW(r.act());
    holder.join();
    EXPECT_EQ(test::Get(target), r.after);
  }
}

}  // namespace
}  // namespace pavo
