// The conversion on Linux: libjpeg-turbo decodes the day's JPEG scanline by
// scanline straight into the bitmap writer's band, reading the file a piece
// at a time: neither the file nor the picture is ever held whole.
#include <chrono>
#include <csetjmp>
#include <cstdio>
#include <memory>
#include <type_traits>
#include <vector>

// jpeglib.h needs FILE and size_t declared before it.
#include <jpeglib.h>
#include <jerror.h>

#include "desktop/bitmap.h"
#include "desktop/wallpaper.h"
#include "sys/failure.h"
#include "sys/system.h"

namespace pavo {

namespace {

// A decode still running this long after it began is stopped: the walk's
// limits keep a real picture far below it, this bounds what they miss.
constexpr std::chrono::seconds kDecodeTime{60};

// libjpeg reports a fatal error by calling error_exit, which must not return.
// It jumps back to the one guarded call that is running (Decompressor::Guarded),
// over only libjpeg's own C frames and a lambda's that holds nothing to
// destroy. The progress monitor, called as the decode goes on, stops it the
// same way once it runs past its time.
struct ErrorManager {
  jpeg_error_mgr pub;  // first: libjpeg hands us a pointer to it
  std::jmp_buf jump;
  char message[JMSG_LENGTH_MAX];
  jpeg_progress_mgr progress;
  std::chrono::steady_clock::time_point deadline;
};

void OnError(j_common_ptr c) {
  auto* e = reinterpret_cast<ErrorManager*>(c->err);
  (*c->err->format_message)(c, e->message);
  std::longjmp(e->jump, 1);
}

void OnProgress(j_common_ptr c) {
  auto* e = reinterpret_cast<ErrorManager*>(c->err);
  if (std::chrono::steady_clock::now() < e->deadline) return;
  std::snprintf(e->message, sizeof e->message, "decode past its time bound");
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

// libjpeg's source of compressed bytes: the file, a piece at a time. Its
// callbacks run inside libjpeg's C frames, where no exception may pass: a
// read that fails is reported as libjpeg's own errors are.
struct FileSource {
  static constexpr std::size_t kPieceBytes = 64u << 10;

  explicit FileSource(const std::string& path) : file(path), buffer(kPieceBytes) {
    pub.init_source = [](j_decompress_ptr) {};
    pub.fill_input_buffer = Fill;
    pub.skip_input_data = Skip;
    pub.resync_to_restart = jpeg_resync_to_restart;
    pub.term_source = [](j_decompress_ptr) {};
    pub.next_input_byte = nullptr;
    pub.bytes_in_buffer = 0;
  }

  static boolean Fill(j_decompress_ptr c) {
    auto* s = reinterpret_cast<FileSource*>(c->src);
    std::size_t got = 0;
    bool failed = false;
    try {
      got = s->file.Read(s->buffer.data(), kPieceBytes);
    } catch (const Failure&) {
      failed = true;
    }
    if (failed) ERREXIT(c, JERR_FILE_READ);
    if (got == 0) {
      if (!s->started) ERREXIT(c, JERR_INPUT_EMPTY);
      // As libjpeg's own sources do: a warning (which fails the conversion,
      // see OnMessage) and an end marker in place of the missing data.
      WARNMS(c, JWRN_JPEG_EOF);
      s->buffer[0] = 0xFF;
      s->buffer[1] = JPEG_EOI;
      got = 2;
    }
    s->started = true;
    s->pub.next_input_byte = s->buffer.data();
    s->pub.bytes_in_buffer = got;
    return TRUE;
  }

  static void Skip(j_decompress_ptr c, long count) {
    if (count <= 0) return;
    auto* s = reinterpret_cast<FileSource*>(c->src);
    auto n = static_cast<std::size_t>(count);
    while (n > s->pub.bytes_in_buffer) {
      n -= s->pub.bytes_in_buffer;
      Fill(c);
    }
    s->pub.next_input_byte += n;
    s->pub.bytes_in_buffer -= n;
  }

  jpeg_source_mgr pub{};  // first: libjpeg hands us a pointer to it
  sys::FileReader file;
  // A vector, not a unique_ptr: libstdc++'s unique_ptr is of standard layout
  // for g++ but not for clang.
  std::vector<JOCTET> buffer;
  bool started = false;
};
static_assert(std::is_standard_layout_v<FileSource>, "libjpeg's pointer to pub must lead back to its FileSource");

class Decompressor {
 public:
  // call's result, one libjpeg call; throws naming what when libjpeg fails in it.
  template <class Call>
  auto Guarded(const char* what, Call call) {
    if (setjmp(errors_.jump)) Fail(what);
    return call();
  }

  Decompressor() {
    c_.err = jpeg_std_error(&errors_.pub);
    errors_.pub.error_exit = OnError;
    errors_.pub.emit_message = OnMessage;
    errors_.pub.output_message = Silent;  // the program prints nothing
    errors_.message[0] = '\0';
    Guarded("jpeg_create_decompress", [this] { jpeg_create_decompress(&c_); });
    created_ = true;
    errors_.progress = {};
    errors_.progress.progress_monitor = OnProgress;
    errors_.deadline = std::chrono::steady_clock::now() + kDecodeTime;
    c_.progress = &errors_.progress;
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
  const bitmap::Size size = bitmap::CheckJpegFile(source);

  FileSource file(source);
  Decompressor d;
  j_decompress_ptr c = d.get();
  c->src = &file.pub;
  if (d.Guarded("jpeg_read_header", [c] { return jpeg_read_header(c, TRUE); }) != JPEG_HEADER_OK)
    d.Fail("jpeg_read_header");
  if (c->image_width != size.width || c->image_height != size.height) throw Failure("JPEG size mismatch");
  // Four-channel JPEGs (CMYK, YCCK) have no agreed conversion to screen
  // colours; they are refused rather than shown in wrong colours.
  if (c->jpeg_color_space != JCS_GRAYSCALE && c->jpeg_color_space != JCS_YCbCr &&
      c->jpeg_color_space != JCS_RGB)
    throw Failure("unsupported JPEG colour space");
  c->out_color_space = JCS_EXT_BGR;
  if (!d.Guarded("jpeg_start_decompress", [c] { return jpeg_start_decompress(c); })) d.Fail("jpeg_start_decompress");
  if (c->output_width != size.width || c->output_height != size.height || c->output_components != 3)
    throw Failure("unexpected JPEG output");

  bitmap::Writer out(bitmap_path, size.width, size.height);
  std::vector<JSAMPROW> rows;
  while (c->output_scanline < c->output_height) {
    const std::uint32_t room = out.Room();
    if (room == 0) throw Failure("JPEG gives more rows than it claims");
    rows.resize(room);
    for (std::uint32_t i = 0; i < room; ++i) rows[i] = out.Next() + std::size_t{i} * out.Stride();
    const JDIMENSION got =
        d.Guarded("jpeg_read_scanlines", [c, &rows, room] { return jpeg_read_scanlines(c, rows.data(), room); });
    if (got == 0) throw Failure("JPEG decoder made no progress");
    out.Advance(got);
  }
  if (!d.Guarded("jpeg_finish_decompress", [c] { return jpeg_finish_decompress(c); })) d.Fail("jpeg_finish_decompress");
  out.Finish();
}

}  // namespace pavo
