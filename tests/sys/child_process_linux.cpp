#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sys/child_process.h"

namespace apptest {

namespace {
pid_t g_child = -1;
pid_t g_held = -1;
}

const bool kProcessIdsComeBackSoon = false;

std::uint32_t StartChild() {
  g_child = fork();
  if (g_child == 0) {
    for (;;) pause();
  }
  return static_cast<std::uint32_t>(g_child);
}

void EndChild() {
  kill(g_child, SIGKILL);
  waitpid(g_child, nullptr, 0);
}

std::uint32_t HeldEndedChild() {
  g_held = fork();
  if (g_held == 0) _exit(0);
  // Ended, not yet waited for.
  siginfo_t info{};
  waitid(P_PID, static_cast<id_t>(g_held), &info, WEXITED | WNOWAIT);
  return static_cast<std::uint32_t>(g_held);
}

void LetGoOfHeld() { waitpid(g_held, nullptr, 0); }

}  // namespace apptest
