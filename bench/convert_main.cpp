// The conversion alone, as the daily run does it, for ./bench.sh to set
// against other decoders:  pavo_convert SOURCE.jpg TARGET.bmp
#include <cstdio>
#include <exception>

#include "desktop/wallpaper.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fputs("usage: pavo_convert SOURCE.jpg TARGET.bmp\n", stderr);
    return 2;
  }
  try {
    pavo::ConvertToBitmap(argv[1], argv[2]);
  } catch (const std::exception& e) {
    std::fprintf(stderr, "pavo_convert: %s\n", e.what());
    return 1;
  }
  return 0;
}
