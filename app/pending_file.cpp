#include "app/pending_file.h"

namespace pavo::sys {

void PendingFile::WriteAt(std::uint64_t offset, const void* data, std::size_t size) {
  WriteRaw(offset, data, size);
  if (offset + size > end_) end_ = offset + size;
}

void PendingFile::Append(const void* data, std::size_t size) { WriteAt(end_, data, size); }

}  // namespace pavo::sys
