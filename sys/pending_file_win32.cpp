#include <windows.h>

#include <vector>

#include "sys/pending_file.h"
#include "sys/scoped_win32.h"
#include "sys/text_win32.h"

namespace pavo::sys {

using win32::ThrowLastError;
using win32::Wide;

namespace {

// Renames the file open as handle (with delete access) to path: the file
// stays held throughout, as no other handle could rename it.
bool RenameHeld(HANDLE handle, const std::wstring& path, bool replace) {
  std::vector<char> buffer(sizeof(FILE_RENAME_INFO) + path.size() * sizeof(wchar_t));  // zeros: the name's end
  auto* info = reinterpret_cast<FILE_RENAME_INFO*>(buffer.data());
  info->ReplaceIfExists = replace;
  info->FileNameLength = static_cast<DWORD>(path.size() * sizeof(wchar_t));
  path.copy(info->FileName, path.size());
  return SetFileInformationByHandle(handle, FileRenameInfo, info, static_cast<DWORD>(buffer.size()));
}

}  // namespace

struct PendingFile::Impl {
  std::wstring final_path;
  std::wstring temp_path;
  std::string temp_utf8;
  HANDLE handle = INVALID_HANDLE_VALUE;
  bool committed = false;
  // Removed while still held: when the handle closes.
  ~Impl() {
    FILE_DISPOSITION_INFO remove{TRUE};
    if (!committed && handle != INVALID_HANDLE_VALUE)
      SetFileInformationByHandle(handle, FileDispositionInfo, &remove, sizeof remove);
    else if (!committed)
      DeleteFileW(temp_path.c_str());
    if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
  }
};

void PendingFile::Drop::operator()(Impl* impl) const { delete impl; }

bool PendingFile::Create(const std::string& final_path, const std::string& temp_path) {
  std::wstring final_wide = Wide(final_path), wide = Wide(temp_path);
  // Held for its whole life: others may read it (the download is judged by
  // name before it is kept), but none may write, rename or remove it.
  const HANDLE handle = CreateFileW(wide.c_str(), GENERIC_WRITE | DELETE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
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

void PendingFile::Finish(bool replace) {
  if (impl_->handle == INVALID_HANDLE_VALUE) throw Failure("file already closed");
  // On disk before it replaces the earlier file, so a power cut leaves one
  // or the other, never an empty file under the final name.
  if (!FlushFileBuffers(impl_->handle)) ThrowLastError("FlushFileBuffers");
  // A read-only file is the user's: it stays as it is.
  const DWORD attributes = GetFileAttributesW(impl_->final_path.c_str());
  if (replace && attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_READONLY))
    throw Failure("read-only, left alone");
  if (!win32::RetriedWhileHeld([&] { return RenameHeld(impl_->handle, impl_->final_path, replace); }))
    ThrowLastError("SetFileInformationByHandle");
  impl_->committed = true;
  CloseHandle(impl_->handle);
  impl_->handle = INVALID_HANDLE_VALUE;
}

void PendingFile::RemoveUnlessHeld(const std::string& path) {
  // A copy at work holds its file open for no one else to share, so the delete
  // fails; so it does for a directory, or a file the user made read-only.
  if (!DeleteFileW(Wide(path).c_str()) && GetLastError() != ERROR_SHARING_VIOLATION &&
      GetLastError() != ERROR_ACCESS_DENIED && GetLastError() != ERROR_FILE_NOT_FOUND)
    ThrowLastError("DeleteFileW");
}

}  // namespace pavo::sys
