#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include "sys/sys_platform.h"

namespace pavo::test {

namespace {
pid_t g_running = -1, g_held = -1;
}

const bool kProcessIdsComeBackSoon = false;

Children StartChildren() {
  const pid_t ended = fork();
  if (ended == 0) _exit(0);
  waitpid(ended, nullptr, 0);
  if ((g_running = fork()) == 0)
    for (;;) pause();
  if ((g_held = fork()) == 0) _exit(0);
  siginfo_t info{};
  waitid(P_PID, static_cast<id_t>(g_held), &info, WEXITED | WNOWAIT);  // ended, not yet waited for
  return {static_cast<std::uint32_t>(ended), static_cast<std::uint32_t>(g_running), static_cast<std::uint32_t>(g_held)};
}

void EndChildren() {
  kill(g_running, SIGKILL);
  waitpid(g_running, nullptr, 0);
  waitpid(g_held, nullptr, 0);
}

}  // namespace pavo::test
