// What a start clears of earlier processes' pending files.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

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
      {"cfg.ini.part-" + self + "-100", false},  {"cfg.ini.part-1-0", false},
      {"cfg.ini.part-1-0.part-1-1", false},      {"notes.txt.part-1-0", true},
      {"cfg.ini.part-x-0", true},                {"cfg.ini.part-1", true},
      {"cfg.ini", true},
  };
  std::vector<std::string> staying = {"cfg.ini.part-2-0", test::Utf8(test::FsPath(working.Path()).filename())};
  fs::create_directory(dir.dir() / "cfg.ini.part-2-0");  // no file at all
  for (const auto& r : rows) {
    test::Put(dir / r.name, "x");
    if (r.stays) staying.push_back(r.name);
  }
  std::sort(staying.begin(), staying.end());
  sys::RemoveAbandonedPendingFiles(test::Utf8(dir.dir()), [](const std::string& n) { return n == "cfg.ini"; });
  EXPECT_EQ(dir.Names(), staying);
}

}  // namespace
}  // namespace pavo
