// Process, clock and file-system services of the platform, as the start-up
// and the run sequence use them. Paths and texts are UTF-8; every function
// throws pavo::Failure when the platform refuses.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace pavo::sys {

// The platform's path separator: "\" on Windows, "/" on Linux.
extern const char* const kSeparator;

// The directory of the running executable, as the platform reports it (with
// a trailing separator only for a root directory).
std::string ExecutableDirectory();

// The full path under which the autostart entry names the program, given
// ThePath. Windows composes it (directory, file name without extension,
// ".exe"); Linux uses the executable's real path.
std::string ExePathFor(const std::string& the_path);

// The current local date as "yyyymmdd".
std::string LocalDateYyyymmdd();

// Lookups of one exact path. AnyPathExists finds directories and ordinary
// files; RegularFileExists finds ordinary files only, never directories.
bool AnyPathExists(const std::string& path);
bool RegularFileExists(const std::string& path);

void MakeDirectory(const std::string& path);  // one level
std::uint64_t FileSize(const std::string& path);
void RemoveFile(const std::string& path);

// The system's millisecond counter, 32 bits wide: it wraps to 0 after
// 2^32 - 1 milliseconds.
std::uint32_t MillisecondCounter();

// The user's decimal separator, as the locale writes it.
std::string DecimalSeparator();

// The names in a directory, "." and ".." left out.
std::vector<std::string> DirectoryNames(const std::string& directory);

// This process's id, as the platform's other processes see it.
std::uint32_t ProcessId();

// Reads up to max_bytes from the start of an ordinary file (fewer when it is
// shorter). Anything else under the name (a directory, a FIFO, a device) is
// refused at once rather than read.
std::string ReadFilePrefix(const std::string& path, std::size_t max_bytes);

// ReadFilePrefix, and whether the bytes are the whole file.
struct FileStart {
  std::string bytes;
  bool whole = true;
};
FileStart ReadCapped(const std::string& path, std::size_t max_bytes);

// An ordinary file read from its start piece after piece, so that a large
// one is never held whole. Anything else under the name is refused at once,
// as by ReadFilePrefix.
class FileReader {
 public:
  explicit FileReader(const std::string& path);
  ~FileReader();
  FileReader(const FileReader&) = delete;
  FileReader& operator=(const FileReader&) = delete;

  // Reads the next bytes into buffer, at most size of them; 0 only at the
  // end of the file.
  std::size_t Read(void* buffer, std::size_t size);

 private:
  std::intptr_t handle_;  // the platform's: a file descriptor, a HANDLE
};

}  // namespace pavo::sys
