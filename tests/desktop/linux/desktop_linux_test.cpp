// The Linux wallpaper setter's own decisions: which desktop the session
// names, and which paths a sway command cannot carry (the desktops
// themselves: test_wallpaper.py).
#include <gtest/gtest.h>

#include "desktop/set_wallpaper_linux.h"

namespace pavo::wallpaper_linux {
namespace {

TEST(ChooseDesktop, TheFirstNameOfTheSessionsListThatIsKnownAndThenSway) {
  const struct {
    const char* current;
    const char* swaysock;
    const char* desktop;  // its own name, the first of its row
  } rows[] = {
      {"GNOME", nullptr, "gnome"}, {"ubuntu:GNOME", nullptr, "gnome"}, {"Budgie:GNOME", nullptr, "gnome"},
      {"GNOME-Classic:GNOME", nullptr, "gnome"}, {"gnome", nullptr, "gnome"}, {"X-Cinnamon", nullptr, "x-cinnamon"},
      {"MATE", nullptr, "mate"}, {"UKUI", nullptr, "mate"}, {"XFCE", nullptr, "xfce"}, {"KDE", nullptr, "kde"},
      {"LXQt", nullptr, "lxqt"}, {"LXDE", nullptr, "lxde"}, {"sway", nullptr, "sway"},
      {"Unknown:XFCE:GNOME", nullptr, "xfce"}, {"::KDE", nullptr, "kde"}, {"GNOMEX", nullptr, "none"},
      {"KDE5", nullptr, "none"}, {"", nullptr, "none"}, {nullptr, nullptr, "none"}, {"Hyprland", nullptr, "none"},
      {nullptr, "/run/user/1000/sway-ipc.sock", "sway"}, {"", "/run/user/1000/sway-ipc.sock", "sway"},
      {"KDE", "/run/user/1000/sway-ipc.sock", "kde"}, {nullptr, "", "none"},
  };
  for (const auto& r : rows) {
    const Desktop* desktop = ChooseDesktop(r.current, r.swaysock);
    EXPECT_STREQ(desktop ? desktop->names[0] : "none", r.desktop)
        << (r.current ? r.current : "(unset)") << " " << (r.swaysock ? r.swaysock : "(unset)");
  }
}

TEST(SwayCommand, RefusesWhatSwayWouldReadAsMoreThanAPath) {
  EXPECT_TRUE(SwayCommand("/home/u/my pictures/壁纸-1.bmp").has_value());
  for (const char* path : {"/a\"b", "/a'b", "/a\\b", "/$HOME/b", "/`id`", "/a;exit", "/a,b", "/a*", "/a?", "/a[1]",
                           "/a{b}", "/a(b)", "/a|b", "/a&b", "/a<b", "/a>b", "/a#b", "/~/b", "/a\nb", "/a\tb", "/a\x7f"})
    EXPECT_FALSE(SwayCommand(path).has_value()) << path;
}

}  // namespace
}  // namespace pavo::wallpaper_linux
