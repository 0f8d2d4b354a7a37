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

namespace {

// What the walk finds wrong with the bytes themselves, told apart from a
// file that cannot be read.
class NotWhole : public Failure {
 public:
  using Failure::Failure;
};

// The bytes of a JPEG as the walk takes them, front to back: all in memory,
// or read from a file a piece at a time.
class Bytes {
 public:
  explicit Bytes(std::string_view all) : piece_(all) {}
  explicit Bytes(sys::FileReader& file) : file_(&file), buffer_(new char[kPieceBytes]) { Load(); }

  // The first piece: all of the bytes, or as many as a piece holds.
  std::string_view Head() const { return piece_; }
  // Whether a byte is left.
  bool More() {
    if (at_ == piece_.size()) Load();
    return at_ < piece_.size();
  }
  unsigned Take() {
    if (!More()) throw NotWhole("JPEG cut short");
    return static_cast<unsigned char>(piece_[at_++]);
  }
  unsigned Peek() { return More() ? static_cast<unsigned char>(piece_[at_]) : 0x100; }
  unsigned Take16() {
    const unsigned high = Take();
    return (high << 8) | Take();
  }
  void Skip(std::size_t n) {
    while (n > 0) {
      if (!More()) throw NotWhole("JPEG cut short");
      const std::size_t step = std::min(n, piece_.size() - at_);
      at_ += step;
      n -= step;
    }
  }
  // Moves to the next 0xFF byte; false when there is none before the end.
  bool ToNextFF() {
    while (More()) {
      const void* ff = std::memchr(piece_.data() + at_, 0xFF, piece_.size() - at_);
      if (ff) {
        at_ = static_cast<std::size_t>(static_cast<const char*>(ff) - piece_.data());
        return true;
      }
      at_ = piece_.size();
    }
    return false;
  }
  void SkipFFs() {
    while (Peek() == 0xFF) ++at_;
  }

 private:
  static constexpr std::size_t kPieceBytes = 64u << 10;

  // The next piece, full unless the file ends in it; empty at the end.
  void Load() {
    if (!file_) return;
    std::size_t got = 0;
    while (got < kPieceBytes) {
      const std::size_t n = file_->Read(buffer_.get() + got, kPieceBytes - got);
      if (n == 0) break;
      got += n;
    }
    piece_ = std::string_view(buffer_.get(), got);
    at_ = 0;
  }

  sys::FileReader* file_ = nullptr;
  std::unique_ptr<char[]> buffer_;
  std::string_view piece_;
  std::size_t at_ = 0;
};

// A decoder passes over the whole picture for each scan, and a trivial scan is
// some 14 bytes: a download could ask for hours of work. Real encoders write
// about 10 (libjpeg's progressive scripts: 10 for colour, 6 a component
// otherwise; optimising ones a few more); 256 leaves room for any split of
// bands and bits they make. A file at kMaxJpegBytes of the longest segments
// holds 2048 markers; a real one has tables before its scans, metadata in
// pieces of up to 64 KiB and an ICC profile in at most 255.
constexpr unsigned kMaxScans = 256, kMaxMarkers = 4096;

// bounded: also refuse a picture beyond the limits on its size, scans and
// markers (whether a file is whole does not depend on them).
Size Walk(Bytes& d, bool bounded) {
  const std::string_view head = d.Head();
  if (head.size() < 4 || static_cast<unsigned char>(head[0]) != 0xFF || static_cast<unsigned char>(head[1]) != 0xD8)
    throw NotWhole("not a JPEG");
  d.Skip(2);
  Size size;
  bool frame = false, scan = false;
  bool after_ff = false;  // a scan ended on a 0xFF, already taken
  unsigned markers = 0, scans = 0;
  for (;;) {
    // Between segments a decoder skips stray bytes up to the next marker;
    // so do we, and any number of fill bytes before the marker code.
    if (!after_ff) d.ToNextFF();
    after_ff = false;
    d.SkipFFs();
    if (!d.More()) throw NotWhole("JPEG cut short");
    const unsigned m = d.Take();
    if (bounded && ++markers > kMaxMarkers) throw Failure("JPEG with too many markers");
    if (m == 0xD9) {
      if (!frame || !scan) throw NotWhole("JPEG without picture data");
      if (bounded) CheckSize(size.width, size.height);
      return size;
    }
    if (m == 0xD8) throw NotWhole("corrupt JPEG");
    // A stuffed zero is no marker; restarts and TEM have no length.
    if (m == 0x00 || (m >= 0xD0 && m <= 0xD7) || m == 0x01) continue;
    const std::size_t length = d.Take16();
    if (length < 2) throw NotWhole("corrupt JPEG");
    if (IsFrameMarker(m)) {
      if (frame || length < 8) throw NotWhole("corrupt JPEG frame header");
      d.Take();  // sample precision
      size.height = d.Take16();
      size.width = d.Take16();
      frame = true;
      d.Skip(length - 7);
    } else {
      d.Skip(length - 2);
    }
    if (m == 0xDA) {
      if (!frame) throw NotWhole("JPEG scan before its frame");
      if (bounded && ++scans > kMaxScans) throw Failure("JPEG with too many scans");
      scan = true;
      // Entropy-coded data: a 0xFF in it is followed by a stuffed zero or a
      // restart marker; anything else ends the scan.
      for (;;) {
        if (!d.ToNextFF()) throw NotWhole("JPEG cut short");
        d.Take();
        const unsigned next = d.Peek();
        if (next == 0x100) throw NotWhole("JPEG cut short");
        if (next == 0x00 || (next >= 0xD0 && next <= 0xD7)) {
          d.Take();
          continue;
        }
        after_ff = true;
        break;
      }
    }
  }
}

// The walk of a file, piece by piece; one beyond kMaxJpegBytes is no picture of ours.
Size WalkFile(const std::string& path, bool bounded) {
  if (sys::FileSize(path) > kMaxJpegBytes) throw NotWhole("JPEG file too large");
  sys::FileReader file(path);
  Bytes bytes(file);
  return Walk(bytes, bounded);
}

}  // namespace

Size CheckJpeg(std::string_view data) {
  Bytes bytes(data);
  return Walk(bytes, true);
}

Size CheckJpegFile(const std::string& path) { return WalkFile(path, true); }

bool IsCompleteJpeg(const std::string& path) {
  try {
    WalkFile(path, false);
    return true;
  } catch (const NotWhole&) {
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
