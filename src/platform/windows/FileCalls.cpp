// The Windows file calls under the platform's file operations (FileCalls.h).
#include "platform/windows/FileCalls.h"

#include <windows.h>

#include <algorithm>
#include <utility>

#include "platform/FaultSeam.h"
#include "platform/windows/OsErrors.h"
#include "platform/windows/WideText.h"

namespace platform::windows {

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
// ERROR_DIRECTORY_NOT_SUPPORTED, which the MinGW headers lack.
constexpr DWORD kDirectoryNotSupported = 336;

using TOpKind = TFileOp::TKind;
using internal::RecordFileChange;

}  // namespace

THandle::~THandle() {
  if (Valid()) ::CloseHandle(FHandle);
}

void* THandle::Release() {
  return std::exchange(FHandle, NoHandle());
}

bool THandle::Close() {
  return ::CloseHandle(std::exchange(FHandle, NoHandle())) != 0;
}

HANDLE OpenForWriting(const std::string& path, DWORD disposition, DWORD& err) {
  return OpenForWriting(path, disposition, err, FILE_ATTRIBUTE_NORMAL, GENERIC_WRITE);
}

HANDLE Open(const std::string& path, DWORD access, DWORD disposition, DWORD flags, DWORD& err) {
  const HANDLE h =
      ::CreateFileW(Widen(path).c_str(), access, kShareAll, nullptr, disposition, flags, nullptr);
  err = h == INVALID_HANDLE_VALUE ? ::GetLastError() : ERROR_SUCCESS;
  return h;
}

HANDLE OpenForWriting(const std::string& path, DWORD disposition, DWORD& err, DWORD flags,
                      DWORD access) {
  const HANDLE h = Open(path, access, disposition, flags, err);
  if (h != INVALID_HANDLE_VALUE) {
    RecordFileChange(TOpKind::create, path, {}, {}, 0,
                     disposition == CREATE_ALWAYS || disposition == TRUNCATE_EXISTING);
  }
  return h;
}

DWORD Unlink(const std::string& path) {
  const std::wstring wide = Widen(path);
  if (!::DeleteFileW(wide.c_str())) {
    DWORD err = ::GetLastError();
    // A read-only file is removed as its folder allows, as on Linux: the
    // attribute protects its content, not its name.
    const DWORD attributes = ::GetFileAttributesW(wide.c_str());
    if (err != ERROR_ACCESS_DENIED || attributes == INVALID_FILE_ATTRIBUTES ||
        (attributes & FILE_ATTRIBUTE_READONLY) == 0 ||
        (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ||
        !::SetFileAttributesW(wide.c_str(), attributes & ~DWORD{FILE_ATTRIBUTE_READONLY})) {
      return err;
    }
    if (!::DeleteFileW(wide.c_str())) {
      err = ::GetLastError();
      ::SetFileAttributesW(wide.c_str(), attributes);
      return err;
    }
  }
  RecordFileChange(TOpKind::remove, path);
  return ERROR_SUCCESS;
}

// Never a copy: a move to another volume fails.
DWORD Rename(const std::string& from, const std::string& to, bool replace) {
  const DWORD flags = MOVEFILE_WRITE_THROUGH | (replace ? MOVEFILE_REPLACE_EXISTING : 0);
  if (!::MoveFileExW(Widen(from).c_str(), Widen(to).c_str(), flags)) return ::GetLastError();
  RecordFileChange(TOpKind::rename, from, {}, to);
  return ERROR_SUCCESS;
}

DWORD Flush(HANDLE h, const std::string& path) {
  if (!::FlushFileBuffers(h)) return ::GetLastError();
  RecordFileChange(TOpKind::flush, path);
  return ERROR_SUCCESS;
}

DWORD SetSize(HANDLE h, int64_t size) {
  LARGE_INTEGER at;
  at.QuadPart = size;
  if (!::SetFilePointerEx(h, at, nullptr, FILE_BEGIN) || !::SetEndOfFile(h)) {
    return ::GetLastError();
  }
  return ERROR_SUCCESS;
}

void CutBack(HANDLE h, const std::string& path, int64_t size) {
  if (SetSize(h, size) == ERROR_SUCCESS) RecordFileChange(TOpKind::truncate, path, {}, {}, size);
}

int64_t SizeOf(HANDLE h) {
  LARGE_INTEGER size;
  return ::GetFileSizeEx(h, &size) ? static_cast<int64_t>(size.QuadPart) : -1;
}

DWORD WriteAll(HANDLE h, const std::string& path, std::string_view bytes, bool atEnd) {
  // A write the test fault falls on stops halfway, as on a full disk.
  const bool full = !bytes.empty() && internal::WriteFaultDue();
  if (full) bytes = bytes.substr(0, bytes.size() / 2);
  size_t done = 0;
  while (done < bytes.size()) {
    const auto want = static_cast<DWORD>(std::min(bytes.size() - done, kMaxIo));
    OVERLAPPED end{};
    end.Offset = 0xFFFFFFFF;
    end.OffsetHigh = 0xFFFFFFFF;
    DWORD n = 0;
    if (!::WriteFile(h, bytes.data() + done, want, &n, atEnd ? &end : nullptr)) {
      return ::GetLastError();
    }
    if (n == 0) return ERROR_WRITE_FAULT;
    RecordFileChange(TOpKind::write, path, bytes.substr(done, n));
    done += n;
  }
  return full ? ERROR_DISK_FULL : ERROR_SUCCESS;
}

HANDLE Handle(internal::TFileHandle file) {
  return reinterpret_cast<HANDLE>(file);
}

internal::TFileHandle FileHandle(HANDLE h) {
  return h == INVALID_HANDLE_VALUE ? internal::kNoFile : reinterpret_cast<internal::TFileHandle>(h);
}

DWORD EntryAttributes(const std::string& path) {
  if (path.empty()) return INVALID_FILE_ATTRIBUTES;
  return ::GetFileAttributesW(Widen(path).c_str());
}

bool Target(const std::string& path, DWORD& attributes, int64_t& size) {
  WIN32_FILE_ATTRIBUTE_DATA data;
  if (path.empty() || !::GetFileAttributesExW(Widen(path).c_str(), GetFileExInfoStandard, &data)) {
    return false;
  }
  attributes = data.dwFileAttributes;
  size = (static_cast<int64_t>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
  if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0) return true;
  // The attributes above are the link's: open what it leads to.
  DWORD err = 0;
  THandle h(Open(path, FILE_READ_ATTRIBUTES, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, err));
  BY_HANDLE_FILE_INFORMATION info;
  if (!h.Valid() || !::GetFileInformationByHandle(h.Get(), &info)) return false;
  attributes = info.dwFileAttributes;
  size = (static_cast<int64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  return true;
}

TOsResult OpenFailure(const std::string& operation, const std::string& path, DWORD err) {
  // A folder cannot be opened as a file; say so rather than "access denied".
  const DWORD attributes = EntryAttributes(path);
  if (err == ERROR_ACCESS_DENIED && attributes != INVALID_FILE_ATTRIBUTES &&
      (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
    return Error(operation + " " + Quoted(path), kDirectoryNotSupported);
  }
  return Error("open " + Quoted(path), err);
}

}  // namespace platform::windows
