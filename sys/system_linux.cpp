#include "sys/system.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <clocale>
#include <cstring>
#include <ctime>
#include <filesystem>

#include "sys/errno_linux.h"
#include "sys/owned.h"

namespace pavo::sys {

const char* const kSeparator = "/";

namespace {

std::string RealExecutable() {
  std::error_code ec;
  auto p = std::filesystem::read_symlink("/proc/self/exe", ec);
  if (ec) throw Failure("cannot find the executable: " + ec.message());
  return p.string();
}

// stat() that tells "not there" apart from a lookup that failed.
bool Stat(const std::string& path, struct stat* st) {
  if (::stat(path.c_str(), st) == 0) return true;
  if (errno == ENOENT || errno == ENOTDIR) return false;
  ThrowErrno("stat");
}

}  // namespace

std::string ExecutableDirectory() {
  std::string p = RealExecutable();
  size_t slash = p.find_last_of('/');
  if (slash == std::string::npos) throw Failure("executable path without directory");
  return slash == 0 ? "/" : p.substr(0, slash);
}

std::string ExePathFor(const std::string&) { return RealExecutable(); }

std::string LocalDateYyyymmdd() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  if (!localtime_r(&now, &tm)) throw Failure("localtime_r failed");
  char buf[16];
  std::strftime(buf, sizeof buf, "%Y%m%d", &tm);
  return buf;
}

bool AnyPathExists(const std::string& path) {
  struct stat st;
  return Stat(path, &st);
}

bool RegularFileExists(const std::string& path) {
  struct stat st;
  return Stat(path, &st) && S_ISREG(st.st_mode);
}

void MakeDirectory(const std::string& path) {
  if (::mkdir(path.c_str(), 0777) != 0) ThrowErrno("mkdir");
}

std::uint64_t FileSize(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) ThrowErrno("stat");
  if (!S_ISREG(st.st_mode)) throw Failure("not a file");
  return static_cast<std::uint64_t>(st.st_size);
}

void RemoveFile(const std::string& path) {
  if (::unlink(path.c_str()) != 0) ThrowErrno("unlink");
}

std::uint32_t MillisecondCounter() {
  timespec ts{};
  clock_gettime(CLOCK_MONOTONIC, &ts);
  // Truncated to 32 bits, like the Windows counter; the wait is wrap-safe.
  const auto ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
  return static_cast<std::uint32_t>(ms);
}

std::string DecimalSeparator() {
  const lconv* lc = std::localeconv();
  return lc && lc->decimal_point && *lc->decimal_point ? lc->decimal_point : ".";
}

std::vector<std::string> DirectoryNames(const std::string& directory) {
  const Owned<DIR*, ::closedir> dir(::opendir(directory.c_str()));
  if (!dir) ThrowErrno("opendir");
  std::vector<std::string> names;
  errno = 0;
  while (const dirent* e = ::readdir(dir.get())) {
    const std::string name = e->d_name;
    if (name != "." && name != "..") names.push_back(name);
    errno = 0;
  }
  if (errno != 0) ThrowErrno("readdir");
  return names;
}

std::uint32_t ProcessId() { return static_cast<std::uint32_t>(::getpid()); }

FileReader::FileReader(const std::string& path) {
  // Non-blocking and for ordinary files only, so that a FIFO or a device
  // under the name cannot hang the reader.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) ThrowErrno("open");
  struct stat st;
  if (::fstat(fd, &st) != 0) {
    const int error = errno;
    ::close(fd);
    errno = error;
    ThrowErrno("fstat");
  }
  if (!S_ISREG(st.st_mode)) {
    ::close(fd);
    throw Failure("not a file");
  }
  handle_ = fd;
}

FileReader::~FileReader() { ::close(static_cast<int>(handle_)); }

std::size_t FileReader::Read(void* buffer, std::size_t size) {
  for (;;) {
    const ssize_t n = ::read(static_cast<int>(handle_), buffer, size);
    if (n >= 0) return static_cast<std::size_t>(n);
    if (errno != EINTR) ThrowErrno("read");
  }
}

}  // namespace pavo::sys
