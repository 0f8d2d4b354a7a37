#include "sys/pending_file.h"

#include <optional>

#include "sys/failure.h"
#include "sys/system.h"

namespace pavo::sys {

namespace {

constexpr const char kMark[] = ".part-";

// A day, in seconds: no run of the program takes that long, so a pending
// file left unwritten for so long belongs to nobody.
constexpr std::uint64_t kAbandonedAfterSeconds = 24 * 60 * 60;

bool AllDigits(const std::string& s) {
  if (s.empty() || s.size() > 10) return false;
  for (char c : s)
    if (c < '0' || c > '9') return false;
  return true;
}

// Splits a pending file's name into its final name and the id of the process
// that made it. A pending file of a pending file (a settings write into the
// first-run defaults) counts with the final name of the outermost one.
bool ParsePendingName(const std::string& name, std::string& final_name, std::uint32_t& pid) {
  std::string rest = name;
  bool pending = false;
  for (;;) {
    const std::size_t mark = rest.rfind(kMark);
    if (mark == std::string::npos || mark == 0) break;
    const std::string tail = rest.substr(mark + sizeof kMark - 1);
    const std::size_t dash = tail.find('-');
    if (dash == std::string::npos || !AllDigits(tail.substr(0, dash)) || !AllDigits(tail.substr(dash + 1))) break;
    const unsigned long long id = std::stoull(tail.substr(0, dash));
    if (id > 0xFFFFFFFFull) break;
    if (!pending) pid = static_cast<std::uint32_t>(id);
    pending = true;
    rest.resize(mark);
  }
  final_name = rest;
  return pending;
}

}  // namespace

PendingFile::PendingFile(const std::string& final_path) {
  // A name of this process's own, so two copies running at once never write
  // into each other's file; a name already taken (a link planted under it
  // included) is passed over.
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 100; ++attempt)
    if (Create(final_path, PendingPath(final_path, ProcessId(), counter++))) return;
  throw Failure("no free name beside " + final_path);
}

void PendingFile::WriteAt(std::uint64_t offset, const void* data, std::size_t size) {
  WriteRaw(offset, data, size);
  if (offset + size > end_) end_ = offset + size;
}

void PendingFile::Append(const void* data, std::size_t size) { WriteAt(end_, data, size); }

void PendingFile::Commit() { Finish(true); }

void PendingFile::CommitNew() { Finish(false); }

std::string PendingPath(const std::string& final_path, std::uint32_t pid, unsigned n) {
  return final_path + kMark + std::to_string(pid) + "-" + std::to_string(n);
}

void RemoveAbandonedPendingFiles(const std::string& directory, bool (*ours)(const std::string& final_name)) {
  const std::uint32_t self = ProcessId();
  std::optional<Failure> failed;
  for (const std::string& name : DirectoryNames(directory)) {
    std::string final_name;
    std::uint32_t pid = 0;
    if (!ParsePendingName(name, final_name, pid) || !ours(final_name)) continue;
    const std::string path = directory + kSeparator + name;
    // This process has made no pending file yet: one under its id is from
    // an earlier process that had the same id.
    try {
      if (!RegularFileExists(path)) continue;  // no file the program makes
      if (pid == self || ProcessEndedSince(pid, path) || SecondsSinceWritten(path) > kAbandonedAfterSeconds)
        RemoveFile(path);
    } catch (const Failure& f) {
      if (!failed) failed = f;  // the others are still looked at
    }
  }
  if (failed) throw *failed;
}

}  // namespace pavo::sys
