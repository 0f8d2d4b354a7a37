#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sys/sys_platform.h"

namespace pavo::test {

namespace {
pid_t g_child = -1, g_held = -1;
}

const bool kProcessIdsComeBackSoon = false;

std::uint32_t StartChild() {
  if ((g_child = fork()) == 0)
    for (;;) pause();
  return static_cast<std::uint32_t>(g_child);
}

void EndChild() {
  kill(g_child, SIGKILL);
  waitpid(g_child, nullptr, 0);
}

std::uint32_t HeldEndedChild() {
  if ((g_held = fork()) == 0) _exit(0);
  siginfo_t info{};
  waitid(P_PID, static_cast<id_t>(g_held), &info, WEXITED | WNOWAIT);  // ended, not yet waited for
  return static_cast<std::uint32_t>(g_held);
}

void LetGoOfHeld() { waitpid(g_held, nullptr, 0); }

std::vector<std::string> EndlessNames(const std::string& dir) {
  mkfifo((dir + "/fifo").c_str(), 0600);
  return {dir + "/fifo", "/dev/zero"};
}

}  // namespace pavo::test
