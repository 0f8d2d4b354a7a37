// Pictures as the conversion tests compare them: decoded by the platform's
// decoder directly, read back from a bitmap file, or read from the raw
// source the test JPEG was made from. Pixels are top-down, 3 bytes each in
// blue, green, red order.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace pavo::test {

struct Picture {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
  std::vector<unsigned char> bgr;
};

// The picture the platform's decoder makes of a JPEG, asked directly and by
// another route than the converter's.
Picture DecodeReference(const std::string& jpeg_path);

// A bitmap file, with every header field and padding byte checked; problem
// says what is wrong when the file is not the expected uncompressed 24-bit
// bottom-up bitmap.
Picture ReadBitmap(const std::string& path, std::string* problem);

// A binary PPM (P6) or PGM (P5).
Picture ReadPnm(const std::string& path);

std::filesystem::path FsPath(const std::string& utf8);
std::string Utf8Path(const std::filesystem::path& p);
std::string ReadBytes(const std::string& path);
void WriteBytes(const std::string& path, const std::string& bytes);

}  // namespace pavo::test
