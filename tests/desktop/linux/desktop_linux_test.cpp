// The wallpaper setter's own decisions (each desktop itself: test_desktop.py).
#include <gtest/gtest.h>

#include "desktop/set_wallpaper_linux.h"

namespace pavo::wallpaper_linux {
namespace {

TEST(ChooseDesktop, TheFirstKnownNameOfTheSessionsListAndThenSway) {
  const char* const sock = "/run/user/1000/sway-ipc.sock";
  const struct {
    const char *current, *swaysock, *desktop;  // its own name, the first of its row
  } rows[] = {
      {"GNOME-Classic:GNOME", nullptr, "gnome"}, {"ubuntu", nullptr, "gnome"}, {"Unknown:XFCE:GNOME", nullptr, "xfce"},
      {"::KDE", nullptr, "kde"}, {"GNOMEX", nullptr, "none"}, {"KDE5", nullptr, "none"}, {"", nullptr, "none"},
      {"", sock, "sway"}, {"KDE", sock, "kde"}, {nullptr, "", "none"}, {"Budgie", nullptr, "gnome"},
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
