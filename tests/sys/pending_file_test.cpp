// What a start removes of the pending files that earlier processes left:
// those of a process that has ended, or that nobody has written for a day;
// never one of a copy still at work, nor anything not named as the program
// names its pending files.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "sys/child_process.h"
#include "sys/pending_file.h"
#include "sys/system.h"

namespace pavo {
namespace {

namespace fs = std::filesystem;

std::vector<std::string> Names(const fs::path& dir) {
  std::vector<std::string> names;
  for (const auto& e : fs::directory_iterator(dir)) names.push_back(e.path().filename().string());
  std::sort(names.begin(), names.end());
  return names;
}

TEST(PendingFiles, OnlyThoseOfEndedProcessesGo) {
  const fs::path dir = fs::temp_directory_path() / ("pavo-pending-" + std::to_string(sys::ProcessId()));
  fs::remove_all(dir);
  fs::create_directories(dir);

  const std::uint32_t ended = apptest::StartChild();
  ASSERT_NE(ended, 0u);
  apptest::EndChild();
  const std::uint32_t running = apptest::StartChild();
  ASSERT_NE(running, 0u);
  ASSERT_NE(running, ended) << "the ended process's id came back at once";
  const std::uint32_t held = apptest::HeldEndedChild();
  ASSERT_NE(held, 0u);
  const std::string self = std::to_string(sys::ProcessId());
  const auto name = [](std::uint32_t pid, int n) { return sys::PendingPath("cfg.ini", pid, n); };

  using namespace std::chrono_literals;
  struct Case {
    std::string name;
    std::chrono::hours age;  // since it was last written
    bool stays;
  };
  const std::vector<Case> cases = {
      {name(running, 0), 0h, true},
      {name(ended, 0), 0h, false},
      {name(held, 0), 0h, false},  // ended, though its id is still taken
      {"cfg.ini.part-" + self + "-3", 0h, false},  // an earlier process had this one's id
      {name(running, 1), 25h, false},
      {name(running, 2), 1h, !apptest::kProcessIdsComeBackSoon},  // written before the running one started
      {sys::PendingPath(name(ended, 4), ended, 5), 0h, false},
      {sys::PendingPath("notes.txt", ended, 0), 0h, true},
      {"cfg.ini.part-x-0", 0h, true},
      {"cfg.ini.part-" + std::to_string(ended), 0h, true},
      {"cfg.ini", 48h, true},
  };
  std::vector<std::string> staying;
  for (const Case& c : cases) {
    std::ofstream(dir / c.name) << "x";
    // (Setting a time may cut it to the second: only older files get one.)
    if (c.age.count() > 0) fs::last_write_time(dir / c.name, fs::file_time_type::clock::now() - c.age);
    if (c.stays) staying.push_back(c.name);
  }
  fs::create_directory(dir / name(ended, 9));  // not a file at all
  staying.push_back(name(ended, 9));
  std::sort(staying.begin(), staying.end());

  sys::RemoveAbandonedPendingFiles(dir.string(), [](const std::string& n) { return n == "cfg.ini"; });
  EXPECT_EQ(Names(dir), staying);

  apptest::EndChild();
  apptest::LetGoOfHeld();
  fs::remove_all(dir);
}

}  // namespace
}  // namespace pavo
