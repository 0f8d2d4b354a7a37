// The conversion of the day's JPEG to the wallpaper bitmap, and the bitmap
// writer under it, on the platform's own decoder.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "desktop/bitmap.h"
#include "desktop/wallpaper.h"
#include "desktop/wallpaper/picture.h"
#include "sys/failure.h"

namespace pavo {
namespace {

namespace fs = std::filesystem;
using test::FsPath;
using test::Picture;
using test::ReadBytes;
using test::Utf8Path;
using test::WriteBytes;

const std::string kFixtures = PAVO_FIXTURES;

std::string Fixture(const std::string& name) { return kFixtures + "/" + name; }

// A fresh directory per use, removed afterwards.
class TempDir {
 public:
  explicit TempDir(const std::string& name = "dir") {
    static std::atomic<int> n{0};
    path_ = fs::temp_directory_path() / FsPath("pavo-wallpaper-" + std::to_string(n++) + "-" +
                                               std::to_string(std::rand()) + "-" + name);
    fs::remove_all(path_);
    fs::create_directories(path_);
  }
  ~TempDir() {
    std::error_code ec;
    fs::remove_all(path_, ec);
  }
  std::string operator/(const std::string& name) const { return Utf8Path(path_ / FsPath(name)); }
  std::string str() const { return Utf8Path(path_); }
  std::vector<std::string> Listing() const {
    std::vector<std::string> names;
    for (const auto& e : fs::directory_iterator(path_)) names.push_back(Utf8Path(e.path().filename()));
    std::sort(names.begin(), names.end());
    return names;
  }

 private:
  fs::path path_;
};

Picture Bitmap(const std::string& path) {
  std::string problem;
  Picture p = test::ReadBitmap(path, &problem);
  EXPECT_EQ(problem, "") << path;
  return p;
}

::testing::AssertionResult SamePixels(const Picture& got, const Picture& want) {
  if (got.width != want.width || got.height != want.height)
    return ::testing::AssertionFailure() << got.width << "x" << got.height << " instead of " << want.width << "x"
                                         << want.height;
  for (std::size_t i = 0; i < want.bgr.size(); ++i)
    if (got.bgr[i] != want.bgr[i]) {
      const std::size_t px = i / 3;
      return ::testing::AssertionFailure()
             << "first difference at x=" << px % want.width << " y=" << px / want.width << " channel " << i % 3
             << ": " << int{got.bgr[i]} << " instead of " << int{want.bgr[i]};
    }
  return ::testing::AssertionSuccess();
}

// Lossy compression moves each value a little; a mirrored, flipped or
// channel-swapped picture moves it a lot.
::testing::AssertionResult CloseTo(const Picture& got, const Picture& source, double max_mean_error) {
  if (got.width != source.width || got.height != source.height)
    return ::testing::AssertionFailure() << "size differs from the source";
  double sum[3] = {};
  for (std::size_t i = 0; i < source.bgr.size(); ++i) sum[i % 3] += std::abs(int{got.bgr[i]} - int{source.bgr[i]});
  const double n = static_cast<double>(source.bgr.size() / 3);
  for (int c = 0; c < 3; ++c)
    if (sum[c] / n > max_mean_error)
      return ::testing::AssertionFailure() << "channel " << c << " is off by " << sum[c] / n << " on average";
  return ::testing::AssertionSuccess();
}

// --- The bitmap writer -------------------------------------------------------

unsigned char Synthetic(std::uint32_t x, std::uint32_t y, int c) {
  return static_cast<unsigned char>(x * 7 + y * 13 + c * 101 + (x ^ y));
}

TEST(BitmapWriter, StoresRowsBottomUpPaddedWithZeros) {
  struct Case {
    std::uint32_t w, h;
  };
  // Widths of every padding (0 to 3 bytes), one row, one column, several
  // bands of rows, and the widest side accepted.
  const Case cases[] = {{1, 1}, {1, 5}, {2, 3}, {3, 2}, {4, 4}, {5, 7}, {1023, 700}, {16384, 2}};
  TempDir dir;
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(std::to_string(c.w) + "x" + std::to_string(c.h));
    const std::string path = dir / ("b" + std::to_string(n) + ".bmp");
    Picture want;
    want.width = c.w;
    want.height = c.h;
    for (std::uint32_t y = 0; y < c.h; ++y)
      for (std::uint32_t x = 0; x < c.w; ++x)
        for (int k = 0; k < 3; ++k) want.bgr.push_back(Synthetic(x, y, k));
    {
      bitmap::Writer w(path, c.w, c.h);
      EXPECT_EQ(w.Stride(), bitmap::RowBytes(c.w));
      EXPECT_EQ(w.Stride() % 4, 0u);
      if (n++ % 2 == 0) {
        for (std::uint32_t y = 0; y < c.h; ++y) w.WriteRow(want.bgr.data() + std::size_t{y} * c.w * 3);
      } else {
        // The decoders' way: fill as many rows as there is room for.
        std::uint32_t y = 0;
        while (w.Room() > 0) {
          const std::uint32_t rows = std::min<std::uint32_t>(w.Room(), 3);
          for (std::uint32_t i = 0; i < rows; ++i)
            std::copy_n(want.bgr.data() + std::size_t{y + i} * c.w * 3, c.w * 3, w.Next() + std::size_t{i} * w.Stride());
          w.Advance(rows);
          y += rows;
        }
        EXPECT_EQ(y, c.h);
      }
      EXPECT_THROW(w.WriteRow(want.bgr.data()), Failure) << "a row beyond the last";
      w.Finish();
    }
    EXPECT_EQ(fs::file_size(FsPath(path)), 54 + std::uint64_t{bitmap::RowBytes(c.w)} * c.h);
    EXPECT_TRUE(SamePixels(Bitmap(path), want));
  }
  EXPECT_EQ(dir.Listing().size(), std::size(cases)) << "no temporary file left";
}

TEST(BitmapWriter, NothingReachesThePathBeforeFinish) {
  TempDir dir;
  const std::string path = dir / "WallPaper.bmp";
  const std::string earlier = "the earlier bitmap";
  WriteBytes(path, earlier);
  const unsigned char row[9] = {1, 2, 3, 4, 5, 6, 7, 8, 9};
  {
    bitmap::Writer w(path, 3, 2);
    w.WriteRow(row);
    EXPECT_EQ(ReadBytes(path), earlier);
    EXPECT_EQ(dir.Listing().size(), 2u) << "the new bitmap grows beside the old one";
  }
  EXPECT_EQ(ReadBytes(path), earlier) << "abandoned unfinished";
  EXPECT_EQ(dir.Listing(), std::vector<std::string>{"WallPaper.bmp"});
  {
    bitmap::Writer w(path, 3, 2);
    w.WriteRow(row);
    EXPECT_THROW(w.Finish(), Failure) << "a row missing";
  }
  EXPECT_EQ(ReadBytes(path), earlier);
  EXPECT_EQ(dir.Listing(), std::vector<std::string>{"WallPaper.bmp"});

  // Sizes refused before any file is made.
  const std::pair<std::uint32_t, std::uint32_t> refused[] = {
      {0, 5}, {5, 0}, {16385, 1}, {1, 16385}, {16384, 6104}, {10001, 10000}};
  for (auto [w, h] : refused) {
    EXPECT_THROW(bitmap::Writer(path, w, h), Failure) << w << "x" << h;
  }
  EXPECT_NO_THROW(bitmap::CheckSize(16384, 6103));
  EXPECT_NO_THROW(bitmap::CheckSize(10000, 10000));
  EXPECT_THROW(bitmap::Writer(dir / "missing/WallPaper.bmp", 3, 2), Failure);
  EXPECT_EQ(ReadBytes(path), earlier);
  EXPECT_EQ(dir.Listing(), std::vector<std::string>{"WallPaper.bmp"});
}

// --- The conversion ----------------------------------------------------------

TEST(Convert, KnownPhotoGivesTheDecodersPixels) {
  TempDir dir;
  const std::string bmp = dir / "WallPaper.bmp";
  ConvertToBitmap(Fixture("photo_1920x1080.jpg"), bmp);
  Picture got = Bitmap(bmp);
  EXPECT_EQ(got.width, 1920u);
  EXPECT_EQ(got.height, 1080u);
  EXPECT_TRUE(SamePixels(got, test::DecodeReference(Fixture("photo_1920x1080.jpg"))));
  EXPECT_TRUE(CloseTo(got, test::ReadPnm(Fixture("photo_1920x1080.ppm")), 2.0));
  EXPECT_EQ(dir.Listing(), std::vector<std::string>{"WallPaper.bmp"});
}

TEST(Convert, OddSizesGrayscaleProgressiveAndRestarts) {
  struct Case {
    const char* jpeg;
    const char* source;
    double max_mean_error;
  };
  const Case cases[] = {
      {"odd_1x1.jpg", "odd_1x1.ppm", 3},
      {"odd_2x3.jpg", "odd_2x3.ppm", 3},
      {"odd_3x5.jpg", "odd_3x5.ppm", 3},
      {"odd_5x2.jpg", "odd_5x2.ppm", 3},
      {"odd_641x3.jpg", "odd_641x3.ppm", 3},
      {"restart_1023x17.jpg", "restart_1023x17.ppm", 3},
      {"progressive_801x601.jpg", "progressive_801x601.ppm", 2},
      {"gray_333x211.jpg", "gray_333x211.pgm", 2},
      {"grayprogressive_333x211.jpg", "gray_333x211.pgm", 2},
  };
  TempDir dir;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.jpeg);
    const std::string bmp = dir / (std::string(c.jpeg) + ".bmp");
    ASSERT_NO_THROW(ConvertToBitmap(Fixture(c.jpeg), bmp));
    Picture got = Bitmap(bmp);
    EXPECT_TRUE(SamePixels(got, test::DecodeReference(Fixture(c.jpeg))));
    EXPECT_TRUE(CloseTo(got, test::ReadPnm(Fixture(c.source)), c.max_mean_error));
  }
}

std::size_t Marker(const std::string& jpeg, unsigned char code) {
  const std::size_t at = jpeg.find(std::string{'\xFF', static_cast<char>(code)});
  if (at == std::string::npos) throw std::runtime_error("marker not in fixture");
  return at;
}

std::string Patched(std::string jpeg, std::size_t at, const std::string& bytes) {
  jpeg.replace(at, bytes.size(), bytes);
  return jpeg;
}

std::string Be16(unsigned v) { return {static_cast<char>(v >> 8), static_cast<char>(v & 0xFF)}; }

// The frame header of a baseline JPEG with another claimed size.
std::string Claiming(const std::string& jpeg, unsigned w, unsigned h) {
  return Patched(jpeg, Marker(jpeg, 0xC0) + 5, Be16(h) + Be16(w));
}

TEST(Convert, ExtraSegmentsFillBytesAndTrailingDataAreNoProblem) {
  const std::string photo = ReadBytes(Fixture("odd_641x3.jpg"));
  // An application segment that itself holds a small JPEG's markers, as an
  // embedded thumbnail does; fill bytes before a marker; bytes after the end.
  const std::string app = std::string("\xFF\xE1", 2) + Be16(2 + 12) + std::string("Exif\0\0\xFF\xD8\xFF\xD9\xFF\xD9", 12);
  std::string variant = photo.substr(0, 2) + app + photo.substr(2);
  const std::size_t dqt = Marker(variant, 0xDB);
  variant.insert(dqt, "\xFF\xFF\xFF");
  variant += "trailing bytes after the end of the picture";
  TempDir dir;
  WriteBytes(dir / "variant.jpg", variant);
  ASSERT_NO_THROW(ConvertToBitmap(dir / "variant.jpg", dir / "WallPaper.bmp"));
  EXPECT_TRUE(SamePixels(Bitmap(dir / "WallPaper.bmp"), test::DecodeReference(Fixture("odd_641x3.jpg"))));
}

TEST(Convert, BadInputLeavesTheEarlierBitmapByteForByte) {
  const std::string photo = ReadBytes(Fixture("photo_1920x1080.jpg"));
  const std::string progressive = ReadBytes(Fixture("progressive_801x601.jpg"));
  std::string html = "<!DOCTYPE html>\n<html><head><title>Not Found</title></head><body>";
  while (html.size() < 210000) html += "<p>The page you asked for is not here.</p>\n";
  html += "</body></html>\n";
  const std::size_t dht = Marker(photo, 0xC4);
  const std::size_t sos = Marker(photo, 0xDA);

  struct Case {
    const char* name;
    std::function<std::string()> bytes;  // nullptr: no file at all
  };
  const std::vector<Case> cases = {
      {"no file", nullptr},
      {"empty file", [] { return std::string(); }},
      {"HTML page", [&] { return html; }},
      {"first 100 bytes", [&] { return photo.substr(0, 100); }},
      {"cut in half", [&] { return photo.substr(0, photo.size() / 2); }},
      {"end marker missing", [&] { return photo.substr(0, photo.size() - 2); }},
      {"progressive cut in half", [&] { return progressive.substr(0, progressive.size() / 2); }},
      {"broken Huffman table", [&] { return Patched(photo, dht + 5, std::string(16, '\xFF')); }},
      {"12-bit precision claimed", [&] { return Patched(photo, Marker(photo, 0xC0) + 4, "\x0C"); }},
      {"scan of an unknown component", [&] { return Patched(photo, sos + 5, "\x09"); }},
      {"scan before the frame", [&] {
         const std::size_t sof = Marker(photo, 0xC0);
         return Patched(photo, sof, "\xFF\xE2");  // the frame header becomes an application segment
       }},
      {"65535 x 65535 claimed", [&] { return Claiming(photo, 65535, 65535); }},
      {"16385 pixels wide", [&] { return Claiming(photo, 16385, 8); }},
      {"108 megapixels", [&] { return Claiming(photo, 12000, 9000); }},
      {"no height", [&] { return Claiming(photo, 1920, 0); }},
      {"four-channel CMYK", [&] { return ReadBytes(Fixture("cmyk_641x3.jpg")); }},
  };

  TempDir sources("sources");
  TempDir with_earlier("earlier");
  TempDir without("empty");
  const std::string earlier_bmp = with_earlier / "WallPaper.bmp";
  ConvertToBitmap(Fixture("second_1280x720.jpg"), earlier_bmp);
  const std::string earlier = ReadBytes(earlier_bmp);
  ASSERT_GT(earlier.size(), 1280u * 720u * 3u);

  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string source = sources / ("today" + std::to_string(n++) + ".jpg");
    if (c.bytes) WriteBytes(source, c.bytes());
    EXPECT_THROW(ConvertToBitmap(source, earlier_bmp), Failure);
    EXPECT_EQ(ReadBytes(earlier_bmp) == earlier, true) << "the earlier bitmap changed";
    EXPECT_EQ(with_earlier.Listing(), std::vector<std::string>{"WallPaper.bmp"});
    EXPECT_THROW(ConvertToBitmap(source, without / "WallPaper.bmp"), Failure);
    EXPECT_EQ(without.Listing(), std::vector<std::string>{}) << "nothing written";
  }
}

// The run keeps the day's file only when it is a whole picture. Every cut is
// told from the picture itself: also a progressive one cut right before one
// of its later scans, which decoders would still show, coarsely, without
// complaint.
TEST(CompleteJpeg, EveryCutIsToldFromAWholePicture) {
  const std::string photo = ReadBytes(Fixture("photo_1920x1080.jpg"));
  const std::string progressive = ReadBytes(Fixture("progressive_801x601.jpg"));
  struct Case {
    std::string what;
    std::string bytes;
    bool whole;
  };
  std::vector<Case> cases = {
      {"whole", photo, true},
      {"whole, padded after its end", photo + std::string(50000, '\0'), true},
      {"whole, progressive", progressive, true},
      {"whole, of a size the conversion refuses", Claiming(photo, 12000, 9000), true},
      {"end marker missing", photo.substr(0, photo.size() - 2), false},
      {"half its end marker", photo.substr(0, photo.size() - 1), false},
      {"cut inside the scan", photo.substr(0, photo.size() * 2 / 3), false},
      {"cut inside a table", photo.substr(0, Marker(photo, 0xC4) + 10), false},
      {"the start marker alone", photo.substr(0, 2), false},
      {"an HTML page", "<html>" + std::string(250000, 'x'), false},
  };
  int scans = 0;
  for (std::size_t at = progressive.find("\xFF\xDA"); at != std::string::npos;
       at = progressive.find("\xFF\xDA", at + 2)) {
    if (scans++ > 0)
      cases.push_back({"progressive, cut before scan " + std::to_string(scans), progressive.substr(0, at), false});
  }
  ASSERT_GT(scans, 2) << "a progressive picture has several scans";

  TempDir dir;
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = dir / ("day" + std::to_string(n++) + ".jpg");
    WriteBytes(path, c.bytes);
    EXPECT_EQ(bitmap::IsCompleteJpeg(path), c.whole);
  }
  // No file at all is no answer: the run keeps to its path for no file.
  EXPECT_THROW(bitmap::IsCompleteJpeg(dir / "missing.jpg"), Failure);
}

TEST(Convert, TheSecondOfTwoConversionsStays) {
  TempDir dir;
  const std::string bmp = dir / "WallPaper.bmp";
  ConvertToBitmap(Fixture("photo_1920x1080.jpg"), bmp);
  ConvertToBitmap(Fixture("second_1280x720.jpg"), bmp);
  Picture got = Bitmap(bmp);
  EXPECT_EQ(got.width, 1280u);
  EXPECT_TRUE(SamePixels(got, test::DecodeReference(Fixture("second_1280x720.jpg"))));
  EXPECT_TRUE(CloseTo(got, test::ReadPnm(Fixture("second_1280x720.ppm")), 2.0));
  EXPECT_EQ(dir.Listing(), std::vector<std::string>{"WallPaper.bmp"});
}

TEST(Convert, AnUnwritableBitmapPathLeavesNothingBehind) {
  TempDir dir;
  EXPECT_THROW(ConvertToBitmap(Fixture("odd_641x3.jpg"), dir / "missing/WallPaper.bmp"), Failure);
  // A directory where the bitmap should be: the rename at the end fails.
  fs::create_directory(FsPath(dir / "WallPaper.bmp"));
  WriteBytes(dir / "WallPaper.bmp/inside", "x");
  EXPECT_THROW(ConvertToBitmap(Fixture("odd_641x3.jpg"), dir / "WallPaper.bmp"), Failure);
  EXPECT_EQ(dir.Listing(), std::vector<std::string>{"WallPaper.bmp"});
  EXPECT_EQ(ReadBytes(dir / "WallPaper.bmp/inside"), "x");
}

TEST(Convert, PathsWithChineseCharacters) {
  TempDir dir("图片 壁纸");
  WriteBytes(dir / "今天.jpg", ReadBytes(Fixture("odd_641x3.jpg")));
  ASSERT_NO_THROW(ConvertToBitmap(dir / "今天.jpg", dir / "墙纸.bmp"));
  EXPECT_TRUE(SamePixels(Bitmap(dir / "墙纸.bmp"), test::DecodeReference(Fixture("odd_641x3.jpg"))));
  EXPECT_EQ(dir.Listing(), (std::vector<std::string>{"今天.jpg", "墙纸.bmp"}));
}

}  // namespace
}  // namespace pavo
