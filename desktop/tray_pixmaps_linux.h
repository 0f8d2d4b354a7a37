// The tray item's icon as pixmaps for the tray host: ARGB32 pixels in network
// byte order (A, R, G, B), top row first. The data is generated at build time
// from the application icon.
#pragma once

namespace pavo::tray_pixmaps {

struct Pixmap {
  int width;
  int height;
  const unsigned char* argb;  // width * height * 4 bytes
};

extern const Pixmap kPixmaps[];
extern const int kCount;

}  // namespace pavo::tray_pixmaps
