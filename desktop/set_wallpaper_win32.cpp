// The wallpaper on Windows: one request to the system, stored in the user's
// profile, with no setting-change broadcast.
#include "desktop/set_wallpaper_win32.h"

#include "app/text_win32.h"
#include "desktop/wallpaper.h"

namespace pavo {

namespace wallpaper {
namespace {
SystemParametersA g_ansi = SystemParametersInfoA;
SystemParametersW g_wide = SystemParametersInfoW;
}  // namespace

void SetSystemParametersForTest(SystemParametersA ansi, SystemParametersW wide) {
  g_ansi = ansi ? ansi : SystemParametersInfoA;
  g_wide = wide ? wide : SystemParametersInfoW;
}
}  // namespace wallpaper

void SetWallpaper(const std::string& bitmap_path) {
  constexpr UINT kAllBits = 0xFFFFFFFFu;
  if (win32::FitsAnsi(bitmap_path)) {
    std::string ansi = win32::Ansi(bitmap_path);
    wallpaper::g_ansi(SPI_SETDESKWALLPAPER, kAllBits, ansi.data(), SPIF_UPDATEINIFILE);
  } else {
    // A program directory outside the ANSI code page cannot be named in it;
    // the wide request names the same file, so the wallpaper still changes.
    std::wstring wide = win32::Wide(bitmap_path);
    wallpaper::g_wide(SPI_SETDESKWALLPAPER, kAllBits, wide.data(), SPIF_UPDATEINIFILE);
  }
}

}  // namespace pavo
