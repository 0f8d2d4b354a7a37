#include "sys/pending_file.h"

#include <algorithm>
#include <atomic>
#include <optional>

#include "sys/failure.h"
#include "sys/system.h"

namespace pavo::sys {

namespace {

constexpr const char kMark[] = ".part-";

bool AllDigits(const std::string& s) {
  return !s.empty() && s.size() <= 10 && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The final name of a pending file's name ("" for another name). A pending
// file of a pending file (a settings write into the first-run defaults)
// counts with the final name of the outermost one.
std::string FinalName(std::string name) {
  bool pending = false;
  for (std::size_t mark; (mark = name.rfind(kMark)) != std::string::npos && mark > 0; name.resize(mark)) {
    const std::string tail = name.substr(mark + sizeof kMark - 1);
    const std::size_t dash = tail.find('-');
    if (dash == std::string::npos || !AllDigits(tail.substr(0, dash)) || !AllDigits(tail.substr(dash + 1))) break;
    pending = true;
  }
  return pending ? name : "";
}

}  // namespace

PendingFile::PendingFile(const std::string& final_path) {
  // A name of this process's own, so two copies running at once never write
  // into each other's file; a name already taken (a link planted under it
  // included) is passed over.
  static std::atomic<unsigned> counter{0};
  for (int attempt = 0; attempt < 100; ++attempt)
    if (Create(final_path, final_path + kMark + std::to_string(ProcessId()) + "-" + std::to_string(counter++)))
      return;
  throw Failure("no free name beside " + final_path);
}

void PendingFile::WriteAt(std::uint64_t offset, const void* data, std::size_t size) {
  WriteRaw(offset, data, size);
  if (offset + size > end_) end_ = offset + size;
}

void PendingFile::Append(const void* data, std::size_t size) { WriteAt(end_, data, size); }

void PendingFile::Commit() { Finish(true); }

void PendingFile::CommitNew() { Finish(false); }

void RemoveAbandonedPendingFiles(const std::string& directory, bool (*ours)(const std::string& final_name)) {
  std::optional<Failure> failed;
  for (const std::string& name : DirectoryNames(directory)) {
    const std::string final_name = FinalName(name);
    if (final_name.empty() || !ours(final_name)) continue;
    try {
      PendingFile::RemoveUnlessHeld(directory + kSeparator + name);
    } catch (const Failure& f) {
      if (!failed) failed = f;  // the others are still looked at
    }
  }
  if (failed) throw *failed;
}

}  // namespace pavo::sys
