// What a start clears of earlier processes' pending files.
#include <gtest/gtest.h>

#include <chrono>

#include "support/scratch.h"
#include "sys/pending_file.h"
#include "sys/sys_platform.h"
#include "sys/system.h"

namespace pavo {
namespace {

using namespace std::chrono_literals;

// Those of an ended process or unwritten for a day go; a copy still at work
// keeps its files, and nothing not named as the program names them goes.
TEST(PendingFiles, OnlyThoseOfEndedProcessesGo) {
  test::Scratch dir("pavo-pending");
  const auto [ended, running, held] = test::StartChildren();
  ASSERT_NE(running, ended) << "the ended process's id came back at once";
  const auto name = [](std::uint32_t pid, int n) { return sys::PendingPath("cfg.ini", pid, n); };
  const struct {
    std::string name;
    std::chrono::hours age;  // since it was last written
    bool stays;
  } rows[] = {
      {name(running, 0), 0h, true}, {name(ended, 0), 0h, false},
      {name(held, 0), 0h, false},                  // ended, though its id is still taken
      {"cfg.ini.part-" + std::to_string(sys::ProcessId()) + "-3", 0h, false},  // an earlier process had this one's id
      {name(running, 1), 25h, false}, {sys::PendingPath(name(ended, 4), ended, 5), 0h, false},
      {name(running, 2), 1h, !test::kProcessIdsComeBackSoon},  // written before the running one started
      {sys::PendingPath("notes.txt", ended, 0), 0h, true}, {"cfg.ini.part-x-0", 0h, true},
      {"cfg.ini.part-" + std::to_string(ended), 0h, true}, {"cfg.ini", 48h, true},
  };
  std::vector<std::string> staying = {name(ended, 9)};
  fs::create_directory(dir.dir() / name(ended, 9));  // no file at all
  for (const auto& r : rows) {
    test::Put(dir / r.name, "x");
    // (Setting a time may cut it to the second: only older files get one.)
    if (r.age > 0h) fs::last_write_time(dir.dir() / r.name, fs::file_time_type::clock::now() - r.age);
    if (r.stays) staying.push_back(r.name);
  }
  std::sort(staying.begin(), staying.end());
  sys::RemoveAbandonedPendingFiles(test::Utf8(dir.dir()), [](const std::string& n) { return n == "cfg.ini"; });
  EXPECT_EQ(dir.Names(), staying);
  test::EndChildren();
}

}  // namespace
}  // namespace pavo
