// Drives the desktop code for test_desktop.py from a form that waits for
// messages as the run does. It says "done" once it waits, then again for each
// command of its input, ended by a NUL byte: "state N" (the resize goes to the
// tray as in Form1), "remove", "wallpaper PATH". The input's end ends it.
#include <glib.h>

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
    pavo::SetWallpaper(line.substr(10));
  }
  std::printf("done\n");
}

class Serve : public pavo::window::Events {
  void Form_Load() override {}
  void Form_Resize() override { pavo::MinToTray::Form_Resize(); }
  void Form_Activate() override {
    std::printf("done\n");
    const auto on_input = [](GIOChannel* input, GIOCondition, gpointer) {
      g_autofree char* line = nullptr;
      g_quit = g_io_channel_read_line(input, &line, nullptr, nullptr, nullptr) != G_IO_STATUS_NORMAL;
      if (!g_quit) Command(line);  // (up to its NUL)
      return g_quit ? G_SOURCE_REMOVE : G_SOURCE_CONTINUE;
    };
    GIOChannel* input = g_io_channel_unix_new(0);
    g_io_channel_set_encoding(input, nullptr, nullptr);  // bytes, as a path has them
    g_io_channel_set_line_term(input, "", 1);
    g_io_add_watch(input, static_cast<GIOCondition>(G_IO_IN | G_IO_HUP), on_input, nullptr);
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
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // each answer goes out whole at once
  Serve form;
  return pavo::window::Run(form);
}
