// The Linux desktops the wallpaper setter knows, and the pieces of their back
// ends that decide something on their own.
#pragma once

#include <optional>
#include <string>

#include "desktop/shown_name_linux.h"

namespace pavo::wallpaper_linux {

// What a back end is handed: the picture's absolute path and its file URI
// ("" when it has none).
struct Picture {
  std::string path;
  std::string uri;
};

// One desktop: the names XDG_CURRENT_DESKTOP gives it, in lower case (the
// first is its own), and how it is asked to show a picture.
struct Desktop {
  const char* names[3];
  Outcome (*show)(const Picture& picture);
};

// The desktop from XDG_CURRENT_DESKTOP (a ":"-separated list, most specific
// first, compared without regard to case) and, failing that, from SWAYSOCK;
// nullptr for none the program knows. Either may be null.
const Desktop* ChooseDesktop(const char* current_desktop, const char* swaysock);

// The Plasma shell script that shows file_uri on every desktop. The URI is
// written as a script string in which only ASCII letters, digits and "/:._-%"
// stand for themselves.
std::string PlasmaScript(const std::string& file_uri);

// The sway command that shows path on every output, or nothing for a path the
// command language cannot carry safely (quotes, backslashes, "$", "`",
// control characters).
std::optional<std::string> SwayCommand(const std::string& path);

}  // namespace pavo::wallpaper_linux
