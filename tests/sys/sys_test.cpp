// What a start clears of earlier processes' pending files; on Windows, the program's own files held for a moment by
// another program (a virus scanner, the search indexer or a sync client holds the file open for half a second
// without sharing its deletion): the rename over it and the delete of it wait that out.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#endif

#include "support/scratch.h"
#include "sys/pending_file.h"
#include "sys/system.h"

namespace pavo {
namespace {

// Those no pending file holds go, whatever process id their names carry (this
// process's own included); the file of a copy still at work stays, and so
// does all that is not named as the program names its files.
TEST(PendingFiles, OnlyUnheldOnesGo) {
  test::Scratch dir("pavo-pending");
  sys::PendingFile working(dir / "cfg.ini");
  const std::string self = std::to_string(sys::ProcessId());
  const struct {
    std::string name;
    bool stays;
  } rows[] = {
      {"cfg.ini.part-" + self + "-100", false}, {"cfg.ini.part-1-0", false}, {"cfg.ini.part-1-0.part-1-1", false},
      {"notes.txt.part-1-0", true}, {"cfg.ini.part-x-0", true}, {"cfg.ini.part-1", true}, {"cfg.ini", true},
  };
  std::vector<std::string> staying = {"cfg.ini.part-2-0", test::Utf8(test::FsPath(working.Path()).filename())};
  fs::create_directory(dir.dir() / "cfg.ini.part-2-0");  // no file at all
  for (const auto& r : rows) {
    test::Put(dir / r.name, "x");
    if (r.stays) staying.push_back(r.name);
  }
  std::sort(staying.begin(), staying.end());
  sys::RemoveAbandonedPendingFiles(test::Utf8(dir.dir()), [](const std::string& n) { return n == "cfg.ini"; });
  EXPECT_EQ(test::Names(dir.dir()), staying);
}

#ifdef _WIN32
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
#endif

}  // namespace
}  // namespace pavo
