#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "sys/errno_linux.h"
#include "sys/pending_file.h"

namespace pavo::sys {

struct PendingFile::Impl {
  std::string final_path;
  std::string temp_path;
  int fd = -1;
  bool released = false;  // closed here; written by name, or done
  bool committed = false;
  // Also when the constructor fails after the file was made.
  ~Impl() {
    if (fd >= 0) ::close(fd);
    if (!committed) ::unlink(temp_path.c_str());
  }
};

void PendingFile::Drop::operator()(Impl* impl) const { delete impl; }

bool PendingFile::Create(const std::string& final_path, const std::string& temp_path) {
  const int fd = ::open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0 && errno == EEXIST) return false;
  if (fd < 0) ThrowErrno("open");
  impl_.reset(new Impl{final_path, temp_path, fd});

  // The replacement keeps the permission bits (and, where allowed, the
  // owner) of the file it replaces.
  struct stat old {};
  if (::stat(final_path.c_str(), &old) == 0 && S_ISREG(old.st_mode)) {
    if (old.st_uid != ::geteuid() || old.st_gid != ::getegid()) {
      // Not allowed to give the file away: it becomes the writer's, as after
      // any editor's save.
      [[maybe_unused]] int ignored = ::fchown(fd, old.st_uid, old.st_gid);
    }
    if (::fchmod(fd, old.st_mode & 07777) != 0) ThrowErrno("fchmod");
  }
  return true;
}

void PendingFile::WriteRaw(std::uint64_t offset, const void* data, std::size_t size) {
  if (impl_->fd < 0) throw Failure("file already closed");
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

const std::string& PendingFile::Path() const { return impl_->temp_path; }

void PendingFile::Release() {
  if (impl_->fd < 0) throw Failure("file already closed");
  const int fd = impl_->fd;
  impl_->fd = -1;
  impl_->released = true;
  if (::close(fd) != 0) ThrowErrno("close");
}

void PendingFile::Finish(bool replace) {
  if (impl_->fd < 0 && !impl_->released) throw Failure("file already closed");
  // On disk before it replaces the earlier file, so a power cut leaves one
  // or the other, never an empty file under the final name.
  if (impl_->fd < 0) {
    // Written by name since: whatever file the name holds now.
    const int fd = ::open(impl_->temp_path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) ThrowErrno("open");
    const int synced = ::fsync(fd);
    ::close(fd);
    if (synced != 0) ThrowErrno("fsync");
  } else {
    if (::fsync(impl_->fd) != 0) ThrowErrno("fsync");
    const int fd = impl_->fd;
    impl_->fd = -1;
    impl_->released = true;
    if (::close(fd) != 0) ThrowErrno("close");
  }
  if (replace) {
    if (::rename(impl_->temp_path.c_str(), impl_->final_path.c_str()) != 0) ThrowErrno("rename");
  } else if (::renameat2(AT_FDCWD, impl_->temp_path.c_str(), AT_FDCWD, impl_->final_path.c_str(),
                         RENAME_NOREPLACE) != 0) {
    if (errno != EINVAL && errno != ENOSYS) ThrowErrno("renameat2");
    // A file system that cannot refuse by itself: look first.
    struct stat st;
    if (::lstat(impl_->final_path.c_str(), &st) == 0) throw Failure("something is at " + impl_->final_path);
    if (::rename(impl_->temp_path.c_str(), impl_->final_path.c_str()) != 0) ThrowErrno("rename");
  }
  impl_->committed = true;
  // The rename itself reaches the disk with the directory.
  const std::size_t slash = impl_->final_path.rfind('/');
  const std::string dir =
      slash == std::string::npos ? "." : impl_->final_path.substr(0, slash == 0 ? 1 : slash);
  const int dfd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (dfd >= 0) {
    ::fsync(dfd);
    ::close(dfd);
  }
}

}  // namespace pavo::sys
