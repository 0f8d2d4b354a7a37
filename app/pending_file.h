// A file that replaces another only once it is complete: written under a
// name of its own beside the final path (same directory, so the last step is
// a rename on one volume), flushed to disk, then renamed over the final path
// in one step. Until Commit the final path is untouched; destroying an
// uncommitted file removes it, so a failure or a crash never leaves half a
// file under the final name. An existing file's permission bits carry over
// to its replacement; a new file gets the user's usual ones.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

namespace pavo::sys {

class PendingFile {
 public:
  // Throws pavo::Failure when no file can be made beside final_path.
  explicit PendingFile(const std::string& final_path);
  ~PendingFile();
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  void WriteAt(std::uint64_t offset, const void* data, std::size_t size);
  // Writes at the end of what has been written so far.
  void Append(const void* data, std::size_t size);
  // Flushes, closes and renames over the final path.
  void Commit();

 private:
  void WriteRaw(std::uint64_t offset, const void* data, std::size_t size);

  struct Impl;
  std::unique_ptr<Impl> impl_;
  std::uint64_t end_ = 0;
};

}  // namespace pavo::sys
