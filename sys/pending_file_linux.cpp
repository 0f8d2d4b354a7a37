#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "sys/errno_linux.h"
#include "sys/pending_file.h"

namespace pavo::sys {

namespace {

// The lock of a pending file is an exclusive flock on it: whoever holds it
// may rename or remove the file, and nobody else may.
bool Lock(int fd) { return ::flock(fd, LOCK_EX | LOCK_NB) == 0; }

// Whether path still names the file open as fd.
bool Names(const std::string& path, int fd) {
  struct stat held, named;
  return ::fstat(fd, &held) == 0 && ::lstat(path.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
         held.st_ino == named.st_ino;
}

}  // namespace

struct PendingFile::Impl {
  std::string final_path;
  std::string temp_path;
  int fd = -1;
  bool committed = false;
  // Removed while still held; also when the constructor fails after the file was made.
  ~Impl() {
    if (!committed) ::unlink(temp_path.c_str());
    if (fd >= 0) ::close(fd);
  }
};

void PendingFile::Drop::operator()(Impl* impl) const { delete impl; }

bool PendingFile::Create(const std::string& final_path, const std::string& temp_path) {
  const int fd = ::open(temp_path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (fd < 0 && errno == EEXIST) return false;
  if (fd < 0) ThrowErrno("open");
  // Another copy's clean-up may have locked the new file first: then it
  // removes it, and the next name is tried. A file system without locks
  // leaves the file unheld, and the clean-up, as it cannot lock it, leaves it.
  if ((!Lock(fd) && errno == EWOULDBLOCK) || !Names(temp_path, fd)) {
    ::close(fd);
    return false;
  }
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

void PendingFile::Finish(bool replace) {
  if (impl_->fd < 0) throw Failure("file already closed");
  // On disk before it replaces the earlier file, so a power cut leaves one
  // or the other, never an empty file under the final name.
  if (::fsync(impl_->fd) != 0) ThrowErrno("fsync");
  // Renamed while still held.
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
  if (impl_->fd >= 0) ::close(impl_->fd);
  impl_->fd = -1;
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

void PendingFile::RemoveUnlessHeld(const std::string& path) {
  // Not a link's target, and without waiting on a FIFO.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK | O_NOFOLLOW);
  if (fd < 0 && (errno == ENOENT || errno == ELOOP)) return;  // gone meanwhile, or no file the program makes
  if (fd < 0) ThrowErrno("open");
  // Once locked here its owner is gone: an owner renames and removes its file
  // only while it holds it, and once it holds a new file checks its name.
  struct stat st;
  const bool abandoned = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && Lock(fd) && Names(path, fd);
  const bool removed = !abandoned || ::unlink(path.c_str()) == 0 || errno == ENOENT;
  const int error = errno;
  ::close(fd);
  errno = error;
  if (!removed) ThrowErrno("unlink");
}

}  // namespace pavo::sys
