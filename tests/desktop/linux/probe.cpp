// Drives the Linux desktop code the way the daily run does, for the scripts
// that watch it from outside over the session bus.
//
//   probe wallpaper PATH    SetWallpaper(PATH), then "done ms=N".
//   probe serve             Runs the window host with a form of its own whose
//                           activation answers commands on standard input,
//                           one a line, while servicing the main context the
//                           way the run's waits do:
//     state N               the window's state; its resize event hands the
//                           resize to the tray as Form1 does -> "resized ms=N"
//     remove                RemoveIcon            -> "removed ms=N"
//     wallpaper PATH        SetWallpaper          -> "done ms=N"
//     status                                      -> "status state=S"
//     exit
// "pid N" is the first line the activation writes.
#include <glib-unix.h>
#include <glib.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <string>

#include "desktop/min_to_tray.h"
#include "desktop/wallpaper.h"
#include "desktop/window.h"

namespace {

using Clock = std::chrono::steady_clock;

long long Ms(Clock::time_point since) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - since).count();
}

void Say(const std::string& line) {
  std::printf("%s\n", line.c_str());
  std::fflush(stdout);
}

bool g_quit = false;
std::string g_input;

void Command(const std::string& line) {
  const auto start = Clock::now();
  if (line.rfind("state ", 0) == 0) {
    pavo::window::SetState(std::stoi(line.substr(6)));
    Say("resized ms=" + std::to_string(Ms(start)));
  } else if (line == "remove") {
    pavo::MinToTray::RemoveIcon();
    Say("removed ms=" + std::to_string(Ms(start)));
  } else if (line.rfind("wallpaper ", 0) == 0) {
    pavo::SetWallpaper(line.substr(10));
    Say("done ms=" + std::to_string(Ms(start)));
  } else if (line == "status") {
    Say("status state=" + std::to_string(pavo::window::State()));
  } else if (line == "exit") {
    g_quit = true;
  } else {
    Say("unknown command");
  }
}

gboolean InputReady(gint fd, GIOCondition, gpointer) {
  char buffer[4096];
  const ssize_t n = read(fd, buffer, sizeof buffer);
  if (n <= 0) {
    g_quit = true;
    return G_SOURCE_REMOVE;
  }
  g_input.append(buffer, static_cast<std::size_t>(n));
  std::size_t end;
  while (!g_quit && (end = g_input.find('\n')) != std::string::npos) {
    const std::string line = g_input.substr(0, end);
    g_input.erase(0, end + 1);
    Command(line);
  }
  return G_SOURCE_CONTINUE;
}

class Serve : public pavo::window::Events {
  void Form_Load() override {}
  void Form_Resize() override { pavo::MinToTray::Form_Resize(); }
  void Form_Activate() override {
    Say("pid " + std::to_string(getpid()));
    g_unix_fd_add(0, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP | G_IO_ERR), InputReady, nullptr);
    // The run's waits: block until something is pending, then dispatch it.
    // The long timeout makes a wait that does not wake for D-Bus show.
    while (!g_quit) {
      pavo::window::WaitForMessages(60000);
      pavo::window::DoEvents();
    }
    pavo::window::EndProcess(0);
  }
};

}  // namespace

int main(int argc, char** argv) {
  const std::string mode = argc > 1 ? argv[1] : "";
  if (mode == "wallpaper" && argc == 3) {
    const auto start = Clock::now();
    pavo::SetWallpaper(argv[2]);
    Say("done ms=" + std::to_string(Ms(start)));
    _exit(0);  // as the program ends: at once
  }
  if (mode == "serve") {
    Serve form;
    return pavo::window::Run(form);
  }
  std::fprintf(stderr, "usage: probe wallpaper PATH | probe serve\n");
  return 2;
}
