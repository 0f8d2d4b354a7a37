// The wallpaper on Windows: one request to the system, stored in the user's
// profile, with no setting-change broadcast.
#include <windows.h>

#include "desktop/wallpaper.h"
#include "sys/text_win32.h"

namespace pavo {

void SetWallpaper(const std::string& bitmap_path) {
  constexpr UINT kAllBits = 0xFFFFFFFFu;
  if (win32::FitsAnsi(bitmap_path)) {
    std::string ansi = win32::Ansi(bitmap_path);
    SystemParametersInfoA(SPI_SETDESKWALLPAPER, kAllBits, ansi.data(), SPIF_UPDATEINIFILE);
  } else {
    // A program directory outside the ANSI code page cannot be named in it;
    // the wide request names the same file, so the wallpaper still changes.
    std::wstring wide = win32::Wide(bitmap_path);
    SystemParametersInfoW(SPI_SETDESKWALLPAPER, kAllBits, wide.data(), SPIF_UPDATEINIFILE);
  }
}

}  // namespace pavo
