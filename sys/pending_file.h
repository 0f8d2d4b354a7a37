// A file that replaces another only once it is complete: written under a
// name of its own beside the final path (same directory, so the last step is
// a rename on one volume), flushed to disk, then renamed over the final path
// in one step. Until Commit the final path is untouched; destroying an
// uncommitted file removes it, so a failure or a crash never leaves half a
// file under the final name. The file is held for its whole life, renamed or
// removed while still held (an exclusive flock on Linux; on Windows it is
// open for others to read, never to write, rename or remove), so that a later
// start can tell it from one a killed process left. On Linux an existing file's
// permission bits carry over to its replacement, and a new file gets the
// user's usual ones. On Windows a rename that another program holds up for a
// moment is tried again for about a second, and a read-only file (the user's
// choice) is left alone: Commit throws and the file stays pending.
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
  PendingFile(const PendingFile&) = delete;
  PendingFile& operator=(const PendingFile&) = delete;

  void WriteAt(std::uint64_t offset, const void* data, std::size_t size);
  // Writes at the end of what has been written so far.
  void Append(const void* data, std::size_t size);
  // Flushes, closes and renames over the final path.
  void Commit();

  // The name the file has until Commit.
  const std::string& Path() const;
  // Commit, but only while nothing is at the final path: throws
  // pavo::Failure, and the file stays pending, when something is.
  void CommitNew();

 private:
  // Makes the file under temp_path, a name nothing may hold yet: false when
  // something does, so that the next name is tried.
  bool Create(const std::string& final_path, const std::string& temp_path);
  void WriteRaw(std::uint64_t offset, const void* data, std::size_t size);
  void Finish(bool replace);
  // Removes the pending file at path unless a PendingFile holds it.
  static void RemoveUnlessHeld(const std::string& path);
  friend void RemoveAbandonedPendingFiles(const std::string&, bool (*)(const std::string&));

  struct Impl;
  struct Drop {
    void operator()(Impl* impl) const;  // closes, and removes the file unless committed
  };
  std::unique_ptr<Impl, Drop> impl_;
  std::uint64_t end_ = 0;
};

// Removes from directory what a copy of the program killed while writing
// left there: the pending files (named <final name>.part-<process id>-<n>)
// whose final name `ours` accepts and that no PendingFile holds. A copy
// still at work keeps its files: two copies may work in one folder at once.
// A file that cannot be looked at or removed stays, and the others are still
// seen to; the first such failure is thrown at the end.
void RemoveAbandonedPendingFiles(const std::string& directory, bool (*ours)(const std::string& final_name));

}  // namespace pavo::sys
