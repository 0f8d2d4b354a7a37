#include <windows.h>

#include "sys/pending_file.h"
#include "sys/scoped_win32.h"
#include "sys/text_win32.h"

namespace pavo::sys {

using win32::ThrowLastError;
using win32::Wide;

struct PendingFile::Impl {
  std::wstring final_path;
  std::wstring temp_path;
  std::string temp_utf8;
  HANDLE handle = INVALID_HANDLE_VALUE;
  bool released = false;  // closed here; written by name, or done
  bool committed = false;
  ~Impl() {
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
    if (!committed) DeleteFileW(temp_path.c_str());
  }
};

void PendingFile::Drop::operator()(Impl* impl) const { delete impl; }

bool PendingFile::Create(const std::string& final_path, const std::string& temp_path) {
  std::wstring final_wide = Wide(final_path), wide = Wide(temp_path);
  const HANDLE handle = CreateFileW(wide.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    const DWORD e = GetLastError();
    if (e == ERROR_FILE_EXISTS || e == ERROR_ALREADY_EXISTS) return false;
    ThrowLastError("CreateFileW");
  }
  impl_.reset(new Impl{std::move(final_wide), std::move(wide), temp_path, handle});
  return true;
}

void PendingFile::WriteRaw(std::uint64_t offset, const void* data, std::size_t size) {
  if (impl_->handle == INVALID_HANDLE_VALUE) throw Failure("file already closed");
  auto p = static_cast<const char*>(data);
  while (size > 0) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    const DWORD chunk = size > (1u << 30) ? (1u << 30) : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(impl_->handle, p, chunk, &written, &at)) ThrowLastError("WriteFile");
    if (written == 0) throw Failure("WriteFile: no progress");
    p += written;
    offset += written;
    size -= written;
  }
}

const std::string& PendingFile::Path() const { return impl_->temp_utf8; }

void PendingFile::Release() {
  if (impl_->handle == INVALID_HANDLE_VALUE) throw Failure("file already closed");
  HANDLE h = impl_->handle;
  impl_->handle = INVALID_HANDLE_VALUE;
  impl_->released = true;
  if (!CloseHandle(h)) ThrowLastError("CloseHandle");
}

void PendingFile::Finish(bool replace) {
  if (impl_->handle == INVALID_HANDLE_VALUE && !impl_->released) throw Failure("file already closed");
  // On disk before it replaces the earlier file, so a power cut leaves one
  // or the other, never an empty file under the final name.
  HANDLE h = impl_->handle;
  if (h == INVALID_HANDLE_VALUE) {
    // Written by name since: open it again to flush it.
    h = CreateFileW(impl_->temp_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                    OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) ThrowLastError("CreateFileW");
  }
  impl_->handle = INVALID_HANDLE_VALUE;
  impl_->released = true;
  const bool flushed = FlushFileBuffers(h);
  const DWORD flush_error = GetLastError();
  if (!CloseHandle(h)) ThrowLastError("CloseHandle");
  if (!flushed) {
    SetLastError(flush_error);
    ThrowLastError("FlushFileBuffers");
  }
  if (!MoveFileExW(impl_->temp_path.c_str(), impl_->final_path.c_str(),
                   (replace ? MOVEFILE_REPLACE_EXISTING : 0) | MOVEFILE_WRITE_THROUGH))
    ThrowLastError("MoveFileExW");
  impl_->committed = true;
}

}  // namespace pavo::sys
