// The conversion against djpeg's decoding of the same pictures, and the whole-JPEG walk.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "desktop/bitmap.h"
#include "desktop/wallpaper.h"
#include "support/scratch.h"
#include "sys/failure.h"

namespace pavo {
namespace {

std::string Fixture(const std::string& name) { return *test::Get(std::string(PAVO_FIXTURES) + "/" + name); }

std::uint32_t U32(const std::string& d, std::size_t at) {
  std::uint32_t v = 0;
  for (int i = 3; i >= 0; --i) v = v << 8 | static_cast<unsigned char>(d[at + i]);
  return v;
}

// djpeg's header but for the two fields it leaves at 0 (the data's size, here
// exact, and the resolution), zero padding, and pixels near its: decoders
// differ a little at subsampled colour's edges; a row or channel out of place
// moves them by far more.
::testing::AssertionResult SameBitmap(const std::optional<std::string>& got, const std::string& reference) {
  if (!got || got->size() != reference.size())
    return ::testing::AssertionFailure() << (got ? got->size() : 0) << " bytes, not " << reference.size();
  if (got->substr(0, 34) != reference.substr(0, 34) || got->substr(46, 8) != reference.substr(46, 8) ||
      U32(*got, 34) != got->size() - 54)
    return ::testing::AssertionFailure() << "another header";
  const std::size_t width = U32(reference, 18) * 3, stride = (width + 3) / 4 * 4;
  double off = 0;
  for (std::size_t i = 54; i < got->size(); ++i) {
    if ((i - 54) % stride >= width && (*got)[i] != 0) return ::testing::AssertionFailure() << "padding at " << i;
    off += std::abs(static_cast<unsigned char>((*got)[i]) - static_cast<unsigned char>(reference[i]));
  }
  if (off / static_cast<double>(got->size() - 54) > 2.5) return ::testing::AssertionFailure() << "pixels differ";
  return ::testing::AssertionSuccess();
}

TEST(Convert, EverySizeAndKindOfPictureGivesTheDecodersPixels) {
  test::Scratch dir("pavo-图片 壁纸");
  const std::string bmp = dir / "墙纸.bmp";
  for (const char* name : {"photo", "progressive", "restart", "gray", "grayprogressive", "1x1", "2x3", "3x5", "5x2",
                           "641x3", "second"}) {
    SCOPED_TRACE(name);
    test::Put(dir / "今天.jpg", Fixture(name + std::string(".jpg")));
    ASSERT_NO_THROW(ConvertToBitmap(dir / "今天.jpg", bmp));
    EXPECT_TRUE(SameBitmap(test::Get(bmp), Fixture(name + std::string(".bmp"))));
  }
  // A thumbnail's markers, fill bytes before a marker, bytes after the end.
  std::string variant = Fixture("641x3.jpg");
  variant.insert(variant.find("\xFF\xDB"), "\xFF\xFF\xFF");
  variant.insert(2, std::string("\xFF\xE1\x00\x0E" "Exif\0\0\xFF\xD8\xFF\xD9\xFF\xD9", 16));
  test::Put(dir / "今天.jpg", variant + "trailing bytes after the end of the picture");
  ASSERT_NO_THROW(ConvertToBitmap(dir / "今天.jpg", bmp));
  EXPECT_TRUE(SameBitmap(test::Get(bmp), Fixture("641x3.bmp")));
  EXPECT_EQ(dir.Names(), (std::vector<std::string>{"今天.jpg", "墙纸.bmp"}));
}

std::string Patched(std::string jpeg, const char* marker, std::size_t offset, const std::string& bytes) {
  return jpeg.replace(jpeg.find(marker) + offset, bytes.size(), bytes);
}

std::string Claiming(const std::string& jpeg, unsigned w, unsigned h) {
  const char size[] = {char(h >> 8), char(h), char(w >> 8), char(w)};
  return Patched(jpeg, "\xFF\xC0", 5, std::string(size, 4));
}

TEST(Convert, BadInputLeavesTheEarlierBitmapByteForByteAndNothingElse) {
  const std::string photo = Fixture("photo.jpg"), progressive = Fixture("progressive.jpg");
  const std::vector<std::optional<std::string>> sources = {
      std::nullopt, "", "<!DOCTYPE html>\n<html><title>Not Found</title>" + std::string(210000, ' ') + "</html>",
      photo.substr(0, 100), photo.substr(0, photo.size() / 2), photo.substr(0, photo.size() - 2),
      progressive.substr(0, progressive.size() / 2),
      Patched(photo, "\xFF\xC4", 5, std::string(16, '\xFF')),  // a broken Huffman table
      Patched(photo, "\xFF\xC0", 4, "\x0C"),                   // 12-bit precision
      Patched(photo, "\xFF\xDA", 5, "\x09"),                   // a scan of an unknown component
      Patched(photo, "\xFF\xC0", 0, "\xFF\xE2"),               // a scan before any frame
      Claiming(photo, 65535, 65535), Claiming(photo, 16385, 8), Claiming(photo, 12000, 9000), Claiming(photo, 1920, 0),
  };
  test::Scratch with("pavo-earlier");
  ConvertToBitmap(PAVO_FIXTURES "/second.jpg", with / "WallPaper.bmp");
  const auto earlier = test::Get(with / "WallPaper.bmp");
  int n = 0;
  for (const auto& source : sources) {
    SCOPED_TRACE("source " + std::to_string(n));
    const std::string path = with / ("day" + std::to_string(n++) + ".jpg");
    if (source) test::Put(path, *source);
    EXPECT_THROW(ConvertToBitmap(path, with / "WallPaper.bmp"), Failure);
    EXPECT_TRUE(test::Get(with / "WallPaper.bmp") == earlier) << "the earlier bitmap changed";
    fs::remove(test::FsPath(path));
  }
  EXPECT_THROW(ConvertToBitmap(PAVO_FIXTURES "/641x3.jpg", with / "missing/WallPaper.bmp"), Failure);
  EXPECT_EQ(with.Names(), std::vector<std::string>{"WallPaper.bmp"}) << "nothing left behind";
  // The limits themselves: 16384 pixels a side, 100 megapixels.
  for (auto [w, h] : {std::pair{16384, 6103}, {6103, 16384}, {10000, 10000}, {1, 1}})
    EXPECT_NO_THROW(bitmap::CheckSize(w, h)) << w << "x" << h;
  for (auto [w, h] : {std::pair{0, 5}, {5, 0}, {16385, 1}, {1, 16385}, {16384, 6104}, {10001, 10000}})
    EXPECT_THROW(bitmap::CheckSize(w, h), Failure) << w << "x" << h;
}

// Every cut is told, also a progressive picture's right before a later scan
// (which decoders would still show, coarsely).
TEST(CompleteJpeg, EveryCutIsToldFromAWholePicture) {
  const std::string photo = Fixture("photo.jpg"), progressive = Fixture("progressive.jpg");
  std::vector<std::pair<std::string, bool>> rows = {
      {photo, true}, {photo + std::string(50000, '\0'), true}, {progressive, true},
      {Claiming(photo, 12000, 9000), true},  // whole, though too large to convert
      {Patched(photo, "\xFF\xC0", 0, "\xFF\xCF"), true},  // the last kind of frame
      {photo.substr(0, photo.size() - 2), false}, {photo.substr(0, photo.size() - 1), false},
      {photo.substr(0, photo.size() * 2 / 3), false}, {photo.substr(0, photo.find("\xFF\xC4") + 10), false},
      {photo.substr(0, 2), false},
      {photo.substr(0, photo.find("\xFF\xDA")) + "\xFF\xD9", false},  // a frame, but no scan
      {"\xFFX" + photo.substr(2), false}, {std::string("\0\xD8", 2) + photo.substr(2), false},
      {"<html>" + std::string(250000, 'x'), false},
  };
  for (std::size_t at = progressive.find("\xFF\xDA", progressive.find("\xFF\xDA") + 2); at != std::string::npos;
       at = progressive.find("\xFF\xDA", at + 2))
    rows.push_back({progressive.substr(0, at), false});
  ASSERT_GT(rows.size(), 12u) << "a progressive picture has several scans";
  test::Scratch dir("pavo-whole");
  for (std::size_t i = 0; i < rows.size(); ++i) {
    test::Put(dir / "day.jpg", rows[i].first);
    EXPECT_EQ(bitmap::IsCompleteJpeg(dir / "day.jpg"), rows[i].second) << "row " << i;
  }
  EXPECT_THROW(bitmap::IsCompleteJpeg(dir / "missing.jpg"), Failure);
}

}  // namespace
}  // namespace pavo
