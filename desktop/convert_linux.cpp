// The conversion on Linux: libjpeg-turbo decodes the day's JPEG scanline by
// scanline straight into the bitmap writer's band.
#include <csetjmp>
#include <cstdio>
#include <vector>

// jpeglib.h needs FILE and size_t declared before it.
#include <jpeglib.h>
#include <jerror.h>

#include "desktop/bitmap.h"
#include "desktop/wallpaper.h"
#include "sys/failure.h"

namespace pavo {

namespace {

// libjpeg reports a fatal error by calling error_exit, which must not return.
// It jumps back to the one guarded call that is running; each guarded call
// sits alone in a frame that holds nothing to destroy, so the jump skips
// only libjpeg's own C frames.
struct ErrorManager {
  jpeg_error_mgr pub;  // first: libjpeg hands us a pointer to it
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
};

void OnError(j_common_ptr c) {
  auto* e = reinterpret_cast<ErrorManager*>(c->err);
  (*c->err->format_message)(c, e->message);
  std::longjmp(e->jump, 1);
}

void OnMessage(j_common_ptr c, int level) {
  // Damaged entropy data only warns and still gives a picture, as any viewer
  // shows it; data ending early is a cut-off file and fails the conversion.
  if (level < 0) {
    ++c->err->num_warnings;
    if (c->err->msg_code == JWRN_JPEG_EOF) OnError(c);
  }
}

void Silent(j_common_ptr) {}

ErrorManager* Errors(j_decompress_ptr c) { return reinterpret_cast<ErrorManager*>(c->err); }

bool GuardedCreate(j_decompress_ptr c) {
  if (setjmp(Errors(c)->jump)) return false;
  jpeg_create_decompress(c);
  return true;
}

bool GuardedSource(j_decompress_ptr c, const unsigned char* data, unsigned long size) {
  if (setjmp(Errors(c)->jump)) return false;
  jpeg_mem_src(c, data, size);
  return true;
}

bool GuardedReadHeader(j_decompress_ptr c) {
  if (setjmp(Errors(c)->jump)) return false;
  return jpeg_read_header(c, TRUE) == JPEG_HEADER_OK;
}

bool GuardedStart(j_decompress_ptr c) {
  if (setjmp(Errors(c)->jump)) return false;
  return jpeg_start_decompress(c) == TRUE;
}

// The number of rows read, or -1 after an error.
long GuardedReadScanlines(j_decompress_ptr c, JSAMPARRAY rows, JDIMENSION count) {
  if (setjmp(Errors(c)->jump)) return -1;
  return static_cast<long>(jpeg_read_scanlines(c, rows, count));
}

bool GuardedFinish(j_decompress_ptr c) {
  if (setjmp(Errors(c)->jump)) return false;
  return jpeg_finish_decompress(c) == TRUE;
}

class Decompressor {
 public:
  Decompressor() {
    c_.err = jpeg_std_error(&errors_.pub);
    errors_.pub.error_exit = OnError;
    errors_.pub.emit_message = OnMessage;
    errors_.pub.output_message = Silent;  // the program prints nothing
    errors_.message[0] = '\0';
    if (!GuardedCreate(&c_)) Fail("jpeg_create_decompress");
    created_ = true;
  }
  ~Decompressor() {
    if (created_) jpeg_destroy_decompress(&c_);
  }
  Decompressor(const Decompressor&) = delete;
  Decompressor& operator=(const Decompressor&) = delete;

  j_decompress_ptr get() { return &c_; }

  [[noreturn]] void Fail(const char* what) const {
    throw Failure(std::string(what) + ": " + (errors_.message[0] ? errors_.message : "failed"));
  }

 private:
  ErrorManager errors_;
  jpeg_decompress_struct c_{};
  bool created_ = false;
};


}  // namespace

void ConvertToBitmap(const std::string& source, const std::string& bitmap_path) {
  const std::string data = bitmap::ReadJpeg(source);
  const bitmap::Size size = bitmap::CheckJpeg(data);

  Decompressor d;
  j_decompress_ptr c = d.get();
  if (!GuardedSource(c, reinterpret_cast<const unsigned char*>(data.data()),
                     static_cast<unsigned long>(data.size())))
    d.Fail("jpeg_mem_src");
  if (!GuardedReadHeader(c)) d.Fail("jpeg_read_header");
  if (c->image_width != size.width || c->image_height != size.height) throw Failure("JPEG size mismatch");
  // Four-channel JPEGs (CMYK, YCCK) have no agreed conversion to screen
  // colours; they are refused rather than shown in wrong colours.
  if (c->jpeg_color_space != JCS_GRAYSCALE && c->jpeg_color_space != JCS_YCbCr &&
      c->jpeg_color_space != JCS_RGB)
    throw Failure("unsupported JPEG colour space");
  c->out_color_space = JCS_EXT_BGR;
  if (!GuardedStart(c)) d.Fail("jpeg_start_decompress");
  if (c->output_width != size.width || c->output_height != size.height || c->output_components != 3)
    throw Failure("unexpected JPEG output");

  bitmap::Writer out(bitmap_path, size.width, size.height);
  std::vector<JSAMPROW> rows;
  while (c->output_scanline < c->output_height) {
    const std::uint32_t room = out.Room();
    if (room == 0) throw Failure("JPEG gives more rows than it claims");
    rows.resize(room);
    for (std::uint32_t i = 0; i < room; ++i) rows[i] = out.Next() + std::size_t{i} * out.Stride();
    const long got = GuardedReadScanlines(c, rows.data(), room);
    if (got < 0) d.Fail("jpeg_read_scanlines");
    if (got == 0) throw Failure("JPEG decoder made no progress");
    out.Advance(static_cast<std::uint32_t>(got));
  }
  if (!GuardedFinish(c)) d.Fail("jpeg_finish_decompress");
  out.Finish();
}

}  // namespace pavo
