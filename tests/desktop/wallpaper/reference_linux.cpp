// The reference decoding on Linux: libjpeg asked for RGB into one buffer,
// then reordered here, so the converter's channel order is checked too.
#include <cstdio>
#include <memory>
#include <stdexcept>

#include <jpeglib.h>

#include "desktop/wallpaper/picture.h"

namespace pavo::test {

Picture DecodeReference(const std::string& jpeg_path) {
  std::string data = ReadBytes(jpeg_path);
  jpeg_decompress_struct c{};
  jpeg_error_mgr err{};
  c.err = jpeg_std_error(&err);  // fixtures are good: an error ends the test
  jpeg_create_decompress(&c);
  jpeg_mem_src(&c, reinterpret_cast<const unsigned char*>(data.data()), data.size());
  jpeg_read_header(&c, TRUE);
  c.out_color_space = JCS_RGB;
  jpeg_start_decompress(&c);
  Picture p;
  p.width = c.output_width;
  p.height = c.output_height;
  std::vector<unsigned char> rgb(std::size_t{p.width} * p.height * 3);
  while (c.output_scanline < c.output_height) {
    JSAMPROW row = rgb.data() + std::size_t{c.output_scanline} * p.width * 3;
    jpeg_read_scanlines(&c, &row, 1);
  }
  jpeg_finish_decompress(&c);
  jpeg_destroy_decompress(&c);
  p.bgr.resize(rgb.size());
  for (std::size_t i = 0; i < rgb.size(); i += 3) {
    p.bgr[i] = rgb[i + 2];
    p.bgr[i + 1] = rgb[i + 1];
    p.bgr[i + 2] = rgb[i];
  }
  return p;
}

}  // namespace pavo::test
