// The conversion's portable half: the limits on a picture we agree to decode,
// the check of a JPEG's structure before any decoder sees it, and the writer
// of uncompressed 24-bit Windows bitmaps that both platforms' decoders stream
// their rows into.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "sys/pending_file.h"

namespace pavo::bitmap {

// Anything larger is refused before decoding: a claimed size is only a few
// header bytes, and the decoded picture would not fit in memory.
inline constexpr std::uint32_t kMaxSide = 16384;
inline constexpr std::uint64_t kMaxPixels = 100'000'000;
// A larger file is no picture of ours: a JPEG of the largest accepted
// picture stays well below this. (Where a decoder needs the file in memory,
// it is read whole.)
inline constexpr std::uint64_t kMaxJpegBytes = 128ull << 20;

inline constexpr std::uint32_t kHeaderBytes = 54;

// Bytes per row in the file: three per pixel, padded to a multiple of four.
constexpr std::uint32_t RowBytes(std::uint32_t width) { return (width * 3u + 3u) & ~3u; }

struct Size {
  std::uint32_t width = 0;
  std::uint32_t height = 0;
};

// The whole JPEG file at path. Throws pavo::Failure for one beyond
// kMaxJpegBytes or one that cannot be read.
std::string ReadJpeg(const std::string& path);

// Throws pavo::Failure for an empty picture or one beyond the limits above.
void CheckSize(std::uint64_t width, std::uint64_t height);

// Walks the marker segments of a JPEG from its start-of-image marker to the
// end-of-image marker after its last scan, in one pass, and returns the size
// its frame header claims. Bytes after the end-of-image marker (padding) are
// not looked at. Throws pavo::Failure for anything else: not a JPEG, a file
// cut short (an interrupted download), no frame or no scan; and for a picture
// beyond the limits above or with more scans or markers than a real picture
// has, which would cost a decoder hours (a height given only later in the
// stream, 0 here, is not supported either).
Size CheckJpeg(std::string_view data);

// CheckJpeg of the file at path, walked piece by piece rather than read
// whole. Throws pavo::Failure also for a file beyond kMaxJpegBytes or one
// that cannot be read.
Size CheckJpegFile(const std::string& path);

// Whether the file at path is a whole JPEG as CheckJpeg sees it, whatever its
// size and number of scans (walked piece by piece). A file that is there and
// is anything else (cut short, an error page, larger than kMaxJpegBytes)
// gives false; a file that cannot be found or read throws pavo::Failure.
bool IsCompleteJpeg(const std::string& path);

// Writes a bitmap of width x height, rows handed over from the top; the file
// stores them bottom-up. Rows are gathered in a band of about a megabyte and
// written band by band, so the picture is never held whole.
class Writer {
 public:
  // Throws pavo::Failure for a size out of bounds or a file that cannot be
  // created. Nothing is written at path until Finish.
  Writer(const std::string& path, std::uint32_t width, std::uint32_t height);
  ~Writer();
  Writer(const Writer&) = delete;
  Writer& operator=(const Writer&) = delete;

  std::uint32_t Stride() const { return stride_; }
  // Room for the next Room() rows at Stride() apart, the top one first. A
  // row's pixels are blue, green, red; the padding after them is zero and
  // must stay so. Room() is 0 only when every row has been handed over.
  unsigned char* Next() { return band_.data() + std::size_t{filled_} * stride_; }
  std::uint32_t Room() const;
  // The next `rows` rows (at most Room()) have been filled in.
  void Advance(std::uint32_t rows);
  // Throws unless every row was handed over; then writes the rest and puts
  // the file in place.
  void Finish();

 private:
  void Flush();

  std::uint32_t width_, height_, stride_;
  std::uint32_t band_rows_;
  std::uint32_t done_ = 0;    // rows already written to the file
  std::uint32_t filled_ = 0;  // rows waiting in the band
  std::vector<unsigned char> band_;
  sys::PendingFile file_;
};

}  // namespace pavo::bitmap
