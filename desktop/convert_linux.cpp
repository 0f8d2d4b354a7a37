// The conversion on Linux: libjpeg-turbo decodes the day's JPEG scanline by
// scanline straight into the bitmap writer's band.
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <cstdio>
#include <cstring>
#include <vector>

// jpeglib.h needs FILE and size_t declared before it.
#include <jpeglib.h>
#include <jerror.h>

#include "app/step.h"
#include "app/system.h"
#include "desktop/bitmap.h"
#include "desktop/wallpaper.h"

namespace pavo {

namespace bitmap {

namespace {
[[noreturn]] void ThrowErrno(const char* what) { throw Failure(std::string(what) + ": " + std::strerror(errno)); }
}  // namespace

struct PendingFile::Impl {
  std::string final_path;
  std::string temp_path;
  int fd = -1;
  bool committed = false;
};

PendingFile::PendingFile(const std::string& final_path) : impl_(std::make_unique<Impl>()) {
  impl_->final_path = final_path;
  // A name of this process's own, so two copies running at once never write
  // into each other's file.
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt) {
    impl_->temp_path =
        final_path + ".tmp." + std::to_string(::getpid()) + "." + std::to_string(counter++);
    impl_->fd = ::open(impl_->temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (impl_->fd >= 0) return;
    if (errno != EEXIST) ThrowErrno("open");
  }
  throw Failure("no free name for the bitmap's temporary file");
}

PendingFile::~PendingFile() {
  if (impl_->fd >= 0) ::close(impl_->fd);
  if (!impl_->committed) ::unlink(impl_->temp_path.c_str());
}

const std::string& PendingFile::TempPath() const { return impl_->temp_path; }

void PendingFile::WriteAt(std::uint64_t offset, const void* data, std::size_t size) {
  if (impl_->fd < 0) throw Failure("bitmap file already closed");
  auto p = static_cast<const char*>(data);
  while (size > 0) {
    ssize_t n = ::pwrite(impl_->fd, p, size, static_cast<off_t>(offset));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) ThrowErrno("write");
    if (n == 0) throw Failure("write: no progress");
    p += n;
    offset += static_cast<std::uint64_t>(n);
    size -= static_cast<std::size_t>(n);
  }
}

void PendingFile::Commit() {
  if (impl_->fd < 0) throw Failure("bitmap file already closed");
  // On disk before it replaces the earlier bitmap, so a power cut leaves one
  // or the other, never an empty file under the final name.
  if (::fsync(impl_->fd) != 0) ThrowErrno("fsync");
  int fd = impl_->fd;
  impl_->fd = -1;
  if (::close(fd) != 0) ThrowErrno("close");
  if (::rename(impl_->temp_path.c_str(), impl_->final_path.c_str()) != 0) ThrowErrno("rename");
  impl_->committed = true;
}

}  // namespace bitmap

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

std::string ReadJpegFile(const std::string& source) {
  const std::uint64_t size = sys::FileSize(source);
  if (size > bitmap::kMaxJpegBytes) throw Failure("JPEG file too large");
  return sys::ReadFilePrefix(source, static_cast<std::size_t>(size));
}

}  // namespace

void ConvertToBitmap(const std::string& source, const std::string& bitmap_path) {
  const std::string data = ReadJpegFile(source);
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
