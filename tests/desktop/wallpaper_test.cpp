// The size limits and the whole-JPEG walk (the conversion against djpeg's decoding: every new bitmap of tests/e2e).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "desktop/bitmap.h"
#include "support/scratch.h"
#include "sys/failure.h"

namespace pavo {
namespace {

// The limits themselves: 16384 pixels a side, 100 megapixels. (Pictures the
// decoders refuse, through the program: tests/e2e's fault table.)
TEST(CheckSize, SidesAndPixelsUpToTheLimits) {
  for (auto [w, h] : {std::pair{16384, 6103}, {6103, 16384}, {10000, 10000}, {1, 1}})
    EXPECT_NO_THROW(bitmap::CheckSize(w, h)) << w << "x" << h;
  for (auto [w, h] : {std::pair{0, 5}, {5, 0}, {16385, 1}, {1, 16385}, {16384, 6104}, {10001, 10000}})
    EXPECT_THROW(bitmap::CheckSize(w, h), Failure) << w << "x" << h;
}

// Every cut is told, also a progressive picture's right before a later scan (which decoders would show, coarsely).
TEST(CompleteJpeg, EveryCutIsToldFromAWholePicture) {
  const std::string photo = *test::Get(PAVO_FIXTURES "/photo.jpg");
  const std::string progressive = *test::Get(PAVO_FIXTURES "/progressive.jpg");
  // (Whole: tests/e2e's pictures, padded, progressive or too large to convert; an HTML page is none.)
  std::vector<std::pair<std::string, bool>> rows = {
      {std::string(photo).replace(photo.find("\xFF\xC0"), 2, "\xFF\xCF"), true},  // the last kind of frame
      {photo.substr(0, photo.size() - 2), false}, {photo.substr(0, photo.size() - 1), false},
      {photo.substr(0, photo.find("\xFF\xC4") + 10), false}, {photo.substr(0, 2), false},
      {photo.substr(0, photo.find("\xFF\xDA")) + "\xFF\xD9", false},  // a frame, but no scan
      {"\xFFX" + photo.substr(2), false}, {std::string("\0\xD8", 2) + photo.substr(2), false},
  };
  for (std::size_t at = progressive.find("\xFF\xDA", progressive.find("\xFF\xDA") + 2); at != std::string::npos;
       at = progressive.find("\xFF\xDA", at + 2))
    rows.push_back({progressive.substr(0, at), false});
  ASSERT_GT(rows.size(), 11u) << "a progressive picture has several scans";
  test::Scratch dir("pavo-whole");
  for (std::size_t i = 0; i < rows.size(); ++i) {
    test::Put(dir / "day.jpg", rows[i].first);
    EXPECT_EQ(bitmap::IsCompleteJpeg(dir / "day.jpg"), rows[i].second) << "row " << i;
  }
  EXPECT_THROW(bitmap::IsCompleteJpeg(dir / "missing.jpg"), Failure);
}

}  // namespace
}  // namespace pavo
