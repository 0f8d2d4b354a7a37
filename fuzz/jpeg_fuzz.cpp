// The JPEG check and the conversion on any bytes: whatever the check lets through is converted, and a conversion
// either gives a whole bitmap of the claimed size or fails leaving none.
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "desktop/bitmap.h"
#include "desktop/wallpaper.h"
#include "sys/failure.h"

namespace fs = std::filesystem;

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static const fs::path dir = fs::temp_directory_path() / ("pavo-fuzz-" + std::to_string(getpid()));
  [[maybe_unused]] static const bool made = fs::create_directories(dir);
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  pavo::bitmap::Size claimed;
  try {
    claimed = pavo::bitmap::CheckJpeg(bytes);
  } catch (const pavo::Failure&) {
    return 0;
  }
  // Large claims only make the run slow; their limits are checked above.
  if (std::uint64_t{claimed.width} * claimed.height > (1u << 20)) return 0;
  const fs::path jpeg = dir / "day.jpg", bmp = dir / "WallPaper.bmp";
  std::ofstream(jpeg, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(size));
  const pavo::bitmap::Size walked = pavo::bitmap::CheckJpegFile(jpeg.string());  // piece by piece
  if (walked.width != claimed.width || walked.height != claimed.height) std::abort();
  fs::remove(bmp);
  try {
    pavo::ConvertToBitmap(jpeg.string(), bmp.string());
  } catch (const pavo::Failure&) {
    if (fs::exists(bmp)) std::abort();
    return 0;
  }
  const std::uint64_t expected =
      pavo::bitmap::kHeaderBytes + std::uint64_t{pavo::bitmap::RowBytes(claimed.width)} * claimed.height;
  if (fs::file_size(bmp) != expected) std::abort();
  return 0;
}
