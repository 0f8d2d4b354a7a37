#include "desktop/bitmap.h"

#include <algorithm>
#include <cstring>

#include "sys/failure.h"
#include "sys/system.h"

namespace pavo::bitmap {

namespace {

constexpr std::size_t kBandBytes = 1u << 20;

void Put16(unsigned char* p, std::uint32_t v) {
  p[0] = static_cast<unsigned char>(v);
  p[1] = static_cast<unsigned char>(v >> 8);
}

void Put32(unsigned char* p, std::uint32_t v) {
  Put16(p, v);
  Put16(p + 2, v >> 16);
}

std::uint32_t Get16Be(std::string_view d, std::size_t at) {
  return (static_cast<std::uint32_t>(static_cast<unsigned char>(d[at])) << 8) |
         static_cast<unsigned char>(d[at + 1]);
}

bool IsFrameMarker(unsigned m) {
  // SOF0..SOF15 but for DHT (C4), JPG (C8) and DAC (CC).
  return m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
}

// Takes the width first so the size is checked before the file is created.
std::uint32_t CheckedWidth(std::uint32_t width, std::uint32_t height) {
  CheckSize(width, height);
  return width;
}

}  // namespace

std::string ReadJpeg(const std::string& path) {
  const std::uint64_t size = sys::FileSize(path);
  if (size > kMaxJpegBytes) throw Failure("JPEG file too large");
  return sys::ReadFilePrefix(path, static_cast<std::size_t>(size));
}

void CheckSize(std::uint64_t width, std::uint64_t height) {
  if (width == 0 || height == 0) throw Failure("picture without pixels");
  if (width > kMaxSide || height > kMaxSide || width * height > kMaxPixels)
    throw Failure("picture too large: " + std::to_string(width) + " x " + std::to_string(height));
}

Size WalkJpeg(std::string_view d) {
  const std::size_t n = d.size();
  if (n < 4 || static_cast<unsigned char>(d[0]) != 0xFF || static_cast<unsigned char>(d[1]) != 0xD8)
    throw Failure("not a JPEG");
  Size size;
  bool frame = false, scan = false;
  std::size_t pos = 2;
  for (;;) {
    // Between segments a decoder skips stray bytes up to the next marker;
    // so do we, and any number of fill bytes before the marker code.
    while (pos < n && static_cast<unsigned char>(d[pos]) != 0xFF) ++pos;
    while (pos < n && static_cast<unsigned char>(d[pos]) == 0xFF) ++pos;
    if (pos >= n) throw Failure("JPEG cut short");
    const unsigned m = static_cast<unsigned char>(d[pos++]);
    if (m == 0xD9) {
      if (!frame || !scan) throw Failure("JPEG without picture data");
      return size;
    }
    if (m == 0xD8) throw Failure("corrupt JPEG");
    // A stuffed zero is no marker; restarts and TEM have no length.
    if (m == 0x00 || (m >= 0xD0 && m <= 0xD7) || m == 0x01) continue;
    if (pos + 2 > n) throw Failure("JPEG cut short");
    const std::size_t length = Get16Be(d, pos);
    if (length < 2) throw Failure("corrupt JPEG");
    if (pos + length > n) throw Failure("JPEG cut short");
    if (IsFrameMarker(m)) {
      if (frame || length < 8) throw Failure("corrupt JPEG frame header");
      size.height = Get16Be(d, pos + 3);
      size.width = Get16Be(d, pos + 5);
      frame = true;
    }
    pos += length;
    if (m == 0xDA) {
      if (!frame) throw Failure("JPEG scan before its frame");
      scan = true;
      // Entropy-coded data: a 0xFF in it is followed by a stuffed zero or a
      // restart marker; anything else ends the scan.
      for (;;) {
        const void* ff = std::memchr(d.data() + pos, 0xFF, n - pos);
        if (!ff) throw Failure("JPEG cut short");
        pos = static_cast<std::size_t>(static_cast<const char*>(ff) - d.data());
        if (pos + 1 >= n) throw Failure("JPEG cut short");
        const unsigned next = static_cast<unsigned char>(d[pos + 1]);
        if (next == 0x00 || (next >= 0xD0 && next <= 0xD7)) {
          pos += 2;
          continue;
        }
        break;
      }
    }
  }
}

Size CheckJpeg(std::string_view data) {
  const Size size = WalkJpeg(data);
  // A height given only later in the stream (0 here) is not supported.
  CheckSize(size.width, size.height);
  return size;
}

bool IsCompleteJpeg(const std::string& path) {
  if (sys::FileSize(path) > kMaxJpegBytes) return false;
  const std::string data = ReadJpeg(path);
  try {
    WalkJpeg(data);
    return true;
  } catch (const Failure&) {
    return false;
  }
}

Writer::Writer(const std::string& path, std::uint32_t width, std::uint32_t height)
    : width_(CheckedWidth(width, height)),
      height_(height),
      stride_(RowBytes(width)),
      band_rows_(static_cast<std::uint32_t>(std::max<std::size_t>(1, kBandBytes / stride_))),
      band_(std::size_t{std::min(band_rows_, height)} * stride_, 0),
      file_(path) {
  band_rows_ = std::min(band_rows_, height);
  const std::uint32_t image_bytes = stride_ * height_;  // at most about 300 MB
  unsigned char h[kHeaderBytes] = {};
  // BITMAPFILEHEADER
  h[0] = 'B';
  h[1] = 'M';
  Put32(h + 2, kHeaderBytes + image_bytes);
  Put32(h + 10, kHeaderBytes);
  // BITMAPINFOHEADER: positive height, so the rows are stored bottom-up.
  Put32(h + 14, 40);
  Put32(h + 18, width_);
  Put32(h + 22, height_);
  Put16(h + 26, 1);   // planes
  Put16(h + 28, 24);  // bits per pixel
  Put32(h + 30, 0);   // BI_RGB, no compression
  Put32(h + 34, image_bytes);
  Put32(h + 38, 2835);  // 72 dpi, as pixels per metre
  Put32(h + 42, 2835);
  file_.WriteAt(0, h, sizeof h);
}

Writer::~Writer() = default;

std::uint32_t Writer::Room() const {
  return std::min(band_rows_ - filled_, height_ - done_ - filled_);
}

void Writer::Advance(std::uint32_t rows) {
  if (rows > Room()) throw Failure("more rows than the bitmap holds");
  filled_ += rows;
  if (filled_ == band_rows_ || done_ + filled_ == height_) Flush();
}

void Writer::WriteRow(const unsigned char* bgr) {
  if (Room() == 0) throw Failure("more rows than the bitmap holds");
  std::memcpy(Next(), bgr, std::size_t{width_} * 3);
  Advance(1);
}

void Writer::Flush() {
  if (filled_ == 0) return;
  // The band's rows, top first, become one stretch of the file, bottom first.
  unsigned char* rows = band_.data();
  for (std::size_t i = 0, j = filled_ - 1; i < j; ++i, --j)
    std::swap_ranges(rows + i * stride_, rows + (i + 1) * stride_, rows + j * stride_);
  const std::uint64_t first_row_from_bottom = height_ - done_ - filled_;
  file_.WriteAt(kHeaderBytes + first_row_from_bottom * stride_, band_.data(), std::size_t{filled_} * stride_);
  done_ += filled_;
  filled_ = 0;
}

void Writer::Finish() {
  Flush();
  if (done_ != height_) throw Failure("bitmap incomplete");
  file_.Commit();
}

}  // namespace pavo::bitmap
