// Drives the desktop code for test_desktop.py from a form that waits for
// messages as the run does and answers a line of standard input each with
// "done": "state N" (the resize goes to the tray as in Form1), "remove",
// "wallpaper HEX" (the path's bytes). "pid N" comes first; the input's end
// ends it.
#include <glib.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "desktop/min_to_tray.h"
#include "desktop/wallpaper.h"
#include "desktop/window.h"

namespace {

bool g_quit = false;

void Command(const std::string& line) {
  if (line.starts_with("state ")) {
    pavo::window::SetState(std::stoi(line.substr(6)));
  } else if (line == "remove") {
    pavo::MinToTray::RemoveIcon();
  } else {
    std::string path;
    for (std::size_t i = 10; i + 1 < line.size(); i += 2) path += static_cast<char>(std::stoi(line.substr(i, 2), nullptr, 16));
    pavo::SetWallpaper(path);
  }
  std::printf("done\n");
  std::fflush(stdout);
}

class Serve : public pavo::window::Events {
  void Form_Load() override {}
  void Form_Resize() override { pavo::MinToTray::Form_Resize(); }
  void Form_Activate() override {
    std::printf("pid %d\n", getpid());
    std::fflush(stdout);
    const auto on_input = [](GIOChannel* input, GIOCondition, gpointer) {
      g_autofree char* line = nullptr;
      g_quit = g_io_channel_read_line(input, &line, nullptr, nullptr, nullptr) != G_IO_STATUS_NORMAL;
      if (!g_quit) Command(g_strchomp(line));
      return g_quit ? G_SOURCE_REMOVE : G_SOURCE_CONTINUE;
    };
    g_io_add_watch(g_io_channel_unix_new(0), static_cast<GIOCondition>(G_IO_IN | G_IO_HUP), on_input, nullptr);
    // The long timeout makes a wait that does not wake for D-Bus show.
    while (!g_quit) {
      pavo::window::WaitForMessages(60000);
      pavo::window::DoEvents();
    }
    pavo::window::EndProcess(0);
  }
};

}  // namespace

int main() {
  Serve form;
  return pavo::window::Run(form);
}
