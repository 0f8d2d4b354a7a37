// The Linux wallpaper setter's own decisions: which desktop the session
// names, and how the picture is carried into a Plasma script or a sway
// command (the desktops themselves: test_wallpaper.py).
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

TEST(PlasmaScript, CarriesTheUriAsAnAsciiStringLiteral) {
  const std::string script = PlasmaScript("file:///x/\"'\\\n</script>;${a}`b`%20\xe5\xa3\x81.bmp");
  EXPECT_NE(script.find("var uri = \"file:///x/\\u0022\\u0027\\u005c\\u000a\\u003c/script\\u003e\\u003b\\u0024"
                        "\\u007ba\\u007d\\u0060b\\u0060%20\\u00e5\\u00a3\\u0081.bmp\";"),
            std::string::npos)
      << script;
  for (char c : script) EXPECT_LT(static_cast<unsigned char>(c), 0x80);
}

TEST(SwayCommand, QuotesThePathOrRefusesIt) {
  EXPECT_EQ(SwayCommand("/home/u/my pictures/壁纸-1.bmp"), "output * bg \"/home/u/my pictures/壁纸-1.bmp\" fill");
  for (const char* path : {"/a\"b", "/a'b", "/a\\b", "/$HOME/b", "/`id`", "/a;exit", "/a,b", "/a*", "/a?", "/a[1]",
                           "/a{b}", "/a(b)", "/a|b", "/a&b", "/a<b", "/a>b", "/a#b", "/~/b", "/a\nb", "/a\tb", "/a\x7f"})
    EXPECT_FALSE(SwayCommand(path).has_value()) << path;
}

}  // namespace
}  // namespace pavo::wallpaper_linux
