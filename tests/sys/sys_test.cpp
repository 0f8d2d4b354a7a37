// What a start clears of earlier processes' pending files, and what a replacement keeps of the file it replaces; on
// Windows, a file of the program's held for half a second by another program (a virus scanner, the search indexer
// or a sync client, without sharing its deletion): the rename over it and the delete of it wait that out.
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <optional>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <sys/stat.h>
#include <unistd.h>
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
      {"cfg.ini.part-" + self + "-100", false}, {"cfg.ini.part-90-0", false}, {"cfg.ini.part-1-0.part-1-1", false},
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
  for (const bool rename : {true, false}) {
    SCOPED_TRACE(rename ? "rename over it" : "delete it");
    test::Put(target, "old");
    const HANDLE held = CreateFileW(test::FsPath(target).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                    nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    ASSERT_NE(held, INVALID_HANDLE_VALUE);
    std::thread holder([held] { Sleep(500), CloseHandle(held); });
    EXPECT_NO_THROW(rename ? sys::PendingFile(target).Commit() : sys::RemoveFile(target));
    holder.join();
    EXPECT_EQ(test::Get(target), rename ? std::optional<std::string>("") : std::nullopt);
  }
}
#else
// A replacement keeps the mode and the group of the file it replaces (a shared folder's: any group as root, else a
// second one of the user's); a new file has the mode of the user's umask.
TEST(PendingFiles, AReplacementKeepsModeAndGroup) {
  test::Scratch dir("pavo-mode");
  gid_t groups[64], group = geteuid() == 0 ? getegid() + 1 : getegid();
  for (int i = 0, n = geteuid() == 0 ? 0 : getgroups(64, groups); i < n && group == getegid(); ++i) group = groups[i];
  if (group == getegid()) std::cerr << "no second group: the kept group is not checked\n";
  test::Put(dir / "WallPaper.bmp", "old");
  fs::permissions(dir.dir() / "WallPaper.bmp", fs::perms(0604));
  ASSERT_EQ(::chown((dir / "WallPaper.bmp").c_str(), geteuid(), group), 0);
  const mode_t old_umask = umask(022);
  for (const char* name : {"WallPaper.bmp", "day.jpg"}) sys::PendingFile(dir / name).Commit();
  umask(old_umask);
  struct stat bitmap {}, day {};
  ASSERT_EQ(::stat((dir / "WallPaper.bmp").c_str(), &bitmap) | ::stat((dir / "day.jpg").c_str(), &day), 0);
  EXPECT_EQ(std::tuple(bitmap.st_mode & 07777, bitmap.st_gid, bitmap.st_size, day.st_mode & 07777),
            std::tuple(0604u, group, 0, 0644u));
}
#endif

}  // namespace
}  // namespace pavo
