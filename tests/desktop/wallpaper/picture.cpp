#include "desktop/wallpaper/picture.h"

#include <fstream>
#include <iterator>
#include <sstream>
#include <stdexcept>

namespace pavo::test {

std::filesystem::path FsPath(const std::string& utf8) {
  return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

std::string Utf8Path(const std::filesystem::path& p) {
  std::u8string s = p.u8string();
  return std::string(s.begin(), s.end());
}

std::string ReadBytes(const std::string& path) {
  std::ifstream in(FsPath(path), std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

void WriteBytes(const std::string& path, const std::string& bytes) {
  std::ofstream out(FsPath(path), std::ios::binary | std::ios::trunc);
  out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
  if (!out) throw std::runtime_error("cannot write " + path);
}

namespace {
std::uint32_t U16(const std::string& d, std::size_t at) {
  return static_cast<unsigned char>(d[at]) | (static_cast<unsigned char>(d[at + 1]) << 8);
}
std::uint32_t U32(const std::string& d, std::size_t at) { return U16(d, at) | (U16(d, at + 2) << 16); }
}  // namespace

Picture ReadBitmap(const std::string& path, std::string* problem) {
  Picture p;
  std::string d = ReadBytes(path);
  auto fail = [&](const std::string& what) {
    *problem = what;
    return Picture{};
  };
  if (d.size() < 54) return fail("shorter than its headers");
  const std::uint32_t w = U32(d, 18), h = U32(d, 22);
  const std::uint64_t stride = (std::uint64_t{w} * 3 + 3) / 4 * 4;
  const std::uint64_t image = stride * h;
  if (d[0] != 'B' || d[1] != 'M') return fail("no BM signature");
  if (U32(d, 2) != d.size()) return fail("bfSize " + std::to_string(U32(d, 2)) + " but the file has " + std::to_string(d.size()));
  if (U32(d, 6) != 0) return fail("reserved fields set");
  if (U32(d, 10) != 54) return fail("pixels not at offset 54");
  if (U32(d, 14) != 40) return fail("not a BITMAPINFOHEADER");
  if (static_cast<std::int32_t>(h) <= 0) return fail("not a bottom-up bitmap");
  if (U16(d, 26) != 1 || U16(d, 28) != 24) return fail("not one plane of 24 bits");
  if (U32(d, 30) != 0) return fail("compressed");
  if (U32(d, 34) != image) return fail("biSizeImage wrong");
  if (U32(d, 46) != 0) return fail("a colour table");
  if (d.size() != 54 + image) return fail("pixel data of the wrong length");
  p.width = w;
  p.height = h;
  p.bgr.resize(std::size_t{w} * h * 3);
  for (std::uint32_t y = 0; y < h; ++y) {
    const std::size_t row = 54 + static_cast<std::size_t>((h - 1 - y) * stride);
    std::copy(d.begin() + row, d.begin() + row + w * 3, p.bgr.begin() + std::size_t{y} * w * 3);
    for (std::size_t pad = row + w * 3; pad < row + stride; ++pad)
      if (d[pad] != 0) return fail("padding byte not zero in row " + std::to_string(y));
  }
  problem->clear();
  return p;
}

Picture ReadPnm(const std::string& path) {
  std::string d = ReadBytes(path);
  std::istringstream in(d);
  std::string magic;
  unsigned w = 0, h = 0, max = 0;
  in >> magic >> w >> h >> max;
  in.get();
  const std::size_t at = static_cast<std::size_t>(in.tellg());
  Picture p;
  p.width = w;
  p.height = h;
  p.bgr.resize(std::size_t{w} * h * 3);
  for (std::size_t i = 0; i < std::size_t{w} * h; ++i) {
    if (magic == "P6") {
      p.bgr[3 * i] = static_cast<unsigned char>(d[at + 3 * i + 2]);
      p.bgr[3 * i + 1] = static_cast<unsigned char>(d[at + 3 * i + 1]);
      p.bgr[3 * i + 2] = static_cast<unsigned char>(d[at + 3 * i]);
    } else {
      p.bgr[3 * i] = p.bgr[3 * i + 1] = p.bgr[3 * i + 2] = static_cast<unsigned char>(d[at + i]);
    }
  }
  return p;
}

}  // namespace pavo::test
