// The Windows side of Files.h: queries, folders, appends, renames and
// flushes, and the system calls under the operations every system shares
// (platform/Files.cpp, through PlatformInternal.h), over the calls of
// FileCalls.h. Every path goes through UTF-16 and the wide-character calls.
#include "platform/Files.h"

#include <windows.h>

#include <algorithm>
#include <vector>

#include "platform/PlatformInternal.h"
#include "platform/windows/FileCalls.h"
#include "platform/windows/OsErrors.h"
#include "platform/windows/WideText.h"

namespace platform {

namespace {

using TOpKind = TFileOp::TKind;
using internal::RecordFileChange;
using namespace windows;

// True when the test write fault falls on this operation, which then fails
// as on a full disk.
bool InjectedFault() {
  return internal::WriteFaultDue();
}

// A rename the test fault may fall on (it then fails as on a full disk),
// its failure classed by `failure` (Error, or WriteError for a destination).
TOsResult RenameWithFault(const std::string& from, const std::string& to, bool replace,
                          TOsResult (*failure)(const std::string&, unsigned long)) {
  const DWORD err = InjectedFault() ? DWORD{ERROR_DISK_FULL} : Rename(from, to, replace);
  if (err != ERROR_SUCCESS) return failure("rename " + Quoted(from) + " -> " + Quoted(to), err);
  return TOsResult::Success();
}

}  // namespace

// --- The system calls under the shared file operations -------------------------

TOsResult internal::OpenFileForReading(const std::string& path, const char* operation,
                                       TFileHandle& file, int64_t& size) {
  file = kNoFile;
  size = -1;
  DWORD err = 0;
  THandle h(Open(path, GENERIC_READ, OPEN_EXISTING, FILE_FLAG_SEQUENTIAL_SCAN, err));
  if (!h.Valid()) return OpenFailure(operation, path, err);
  size = SizeOf(h.Get());
  file = FileHandle(h.Release());
  return TOsResult::Success();
}

TOsResult internal::ReadFromFile(TFileHandle file, const std::string& path, char* buffer,
                                 size_t size, size_t& got) {
  got = 0;
  DWORD n = 0;
  if (!::ReadFile(Handle(file), buffer, static_cast<DWORD>(std::min(size, kMaxIo)), &n, nullptr)) {
    return Error("read " + Quoted(path), ::GetLastError());
  }
  got = n;
  return TOsResult::Success();
}

TOsResult internal::CreateFileForWriting(const std::string& path, TFileHandle& file) {
  DWORD err = 0;
  file = FileHandle(OpenForWriting(path, CREATE_ALWAYS, err));
  if (file == kNoFile) return WriteError("open " + Quoted(path), err);
  return TOsResult::Success();
}

TOsResult internal::WriteToFile(TFileHandle file, const std::string& path, std::string_view bytes) {
  const DWORD err = WriteAll(Handle(file), path, bytes);
  if (err != ERROR_SUCCESS) return WriteError("write " + Quoted(path), err);
  return TOsResult::Success();
}

TOsResult internal::FlushWrittenFile(TFileHandle file, const std::string& path,
                                     const char* operation) {
  const DWORD err = Flush(Handle(file), path);
  if (err != ERROR_SUCCESS) return WriteError(std::string(operation) + " " + Quoted(path), err);
  return TOsResult::Success();
}

TOsResult internal::CloseWrittenFile(TFileHandle file, const std::string& path) {
  if (!::CloseHandle(Handle(file))) return WriteError("close " + Quoted(path), ::GetLastError());
  return TOsResult::Success();
}

void internal::CloseFile(TFileHandle file) {
  if (file != kNoFile) ::CloseHandle(Handle(file));
}

TOsResult internal::RenameOver(const std::string& from, const std::string& to) {
  return RenameWithFault(from, to, true, WriteError);
}

TOsResult internal::DiskFullFailure(const std::string& context) {
  return Error(context, ERROR_DISK_FULL);
}

bool FileExists(const std::string& path) {
  DWORD attributes = 0;
  int64_t size = 0;
  return Target(path, attributes, size) && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool FolderExists(const std::string& path) {
  DWORD attributes = 0;
  int64_t size = 0;
  return Target(path, attributes, size) && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

bool IsRegularFile(const std::string& path) {
  const DWORD attributes = EntryAttributes(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return false;
  const DWORD notRegular =
      FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT | FILE_ATTRIBUTE_DEVICE;
  return (attributes & notRegular) == 0 && !IsDeviceName(ExtractFileName(path));
}

int64_t FileSize(const std::string& path) {
  DWORD attributes = 0;
  int64_t size = 0;
  return Target(path, attributes, size) ? size : -1;
}

TOsResult MakeFolders(const std::string& path) {
  if (path.empty()) return WriteError("mkdir ''", ERROR_PATH_NOT_FOUND);
  if (FolderExists(path)) return TOsResult::Success();
  if (InjectedFault()) return Error("mkdir " + Quoted(path), ERROR_DISK_FULL);
  // Walk the path below its root (a drive or a share is never created),
  // creating each missing level.
  const size_t root = internal::PathRootLength(path);
  for (size_t end = root; end <= path.size(); ++end) {
    if (end < path.size() && !IsPathDelimiter(path[end])) continue;
    const std::string partial = path.substr(0, end);
    if (partial.size() <= root || IsPathDelimiter(partial.back())) continue;
    if (::CreateDirectoryW(Widen(partial).c_str(), nullptr)) {
      RecordFileChange(TOpKind::make_folder, partial);
      // A new folder lasts only once its parent's entries are on the disk:
      // the files about to be written into it depend on it.
      internal::SyncFolderOf(partial);
    } else if (const DWORD err = ::GetLastError(); err != ERROR_ALREADY_EXISTS) {
      return WriteError("mkdir " + Quoted(partial), err);
    }
  }
  if (!FolderExists(path)) return WriteError("mkdir " + Quoted(path), ERROR_DIRECTORY);
  return TOsResult::Success();
}

bool ProbeWritable(const std::string& folder, const std::string& probeName) {
  const std::string probe = JoinPath(folder, probeName);
  // The system removes the probe when its handle closes, even when the
  // service dies in between.
  const DWORD flags = FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE;
  const DWORD access = GENERIC_READ | GENERIC_WRITE | DELETE;
  DWORD err = 0;
  HANDLE raw = OpenForWriting(probe, CREATE_NEW, err, flags, access);
  if (raw == INVALID_HANDLE_VALUE && (err == ERROR_FILE_EXISTS || err == ERROR_ALREADY_EXISTS) &&
      IsRegularFile(probe) && Unlink(probe) == ERROR_SUCCESS) {
    // Left by a probe that was cut short (a power loss before the system
    // removed it): it says nothing of the folder today.
    raw = OpenForWriting(probe, CREATE_NEW, err, flags, access);
  }
  THandle h(raw);
  if (!h.Valid()) return false;
  if (h.Close()) RecordFileChange(TOpKind::remove, probe);
  return true;
}

TOsResult internal::ListFolderFiles(const std::string& folder,
                                    const std::function<bool(std::string_view)>& accept,
                                    std::vector<std::string>& names) {
  WIN32_FIND_DATAW entry;
  const HANDLE find =
      ::FindFirstFileExW(Widen(JoinPath(folder, "*")).c_str(), FindExInfoBasic, &entry,
                         FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH);
  if (find == INVALID_HANDLE_VALUE) {
    DWORD err = ::GetLastError();
    // A drive's root has no "." entry: an empty one gives no entry at all.
    if (err == ERROR_FILE_NOT_FOUND && FolderExists(folder)) return TOsResult::Success();
    // A file where the folder should be: as missing as no folder at all.
    if (err == ERROR_INVALID_NAME && FileExists(folder)) err = ERROR_DIRECTORY;
    return Error("opendir " + Quoted(folder), err);
  }
  do {
    const std::string name = windows::Narrow(entry.cFileName);
    if (name == "." || name == "..") continue;
    if (!accept(name)) continue;
    const DWORD attributes = entry.dwFileAttributes;
    if ((attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0) {
      // A link or a junction: skipped when it leads to a folder.
      if (FolderExists(JoinPath(folder, name))) continue;
    } else if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) {
      continue;
    }
    names.push_back(name);
  } while (::FindNextFileW(find, &entry));
  ::FindClose(find);
  return TOsResult::Success();
}

TOsResult ReadFileTail(const std::string& path, size_t count, std::string& bytes) {
  bytes.clear();
  DWORD err = 0;
  THandle h(Open(path, GENERIC_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, err));
  if (!h.Valid()) return OpenFailure("read", path, err);
  const int64_t size = SizeOf(h.Get());
  if (size < 0) return Error("stat " + Quoted(path), ::GetLastError());
  const size_t want = static_cast<size_t>(std::min<int64_t>(static_cast<int64_t>(count), size));
  bytes.resize(want);
  size_t done = 0;
  while (done < want) {
    const auto offset = static_cast<uint64_t>(size) - want + done;
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFF);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD n = 0;
    const auto piece = static_cast<DWORD>(std::min(want - done, kMaxIo));
    if (!::ReadFile(h.Get(), bytes.data() + done, piece, &n, &at)) {
      err = ::GetLastError();
      if (err == ERROR_HANDLE_EOF) break;
      return Error("read " + Quoted(path), err);
    }
    if (n == 0) break;
    done += n;
  }
  bytes.resize(done);
  return TOsResult::Success();
}

TOsResult AppendToFile(const std::string& path, std::string_view bytes) {
  DWORD err = 0;
  THandle h(OpenForWriting(path, OPEN_ALWAYS, err));
  if (!h.Valid()) return WriteError("open " + Quoted(path), err);
  const int64_t before = SizeOf(h.Get());
  err = WriteAll(h.Get(), path, bytes, true);
  if (err != ERROR_SUCCESS) {
    // A write cut short (a full disk) is taken back, so the next append
    // starts a line of its own instead of ending a fragment.
    if (before >= 0) CutBack(h.Get(), path, before);
    return WriteError("write " + Quoted(path), err);
  }
  if (!h.Close()) return WriteError("close " + Quoted(path), ::GetLastError());
  return TOsResult::Success();
}

TOsResult AppendToFileOrRestore(const std::string& path, std::string_view bytes) {
  bool created = false;
  DWORD err = 0;
  HANDLE raw = Open(path, GENERIC_WRITE, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, err);
  if (raw == INVALID_HANDLE_VALUE && err == ERROR_FILE_NOT_FOUND) {
    raw = OpenForWriting(path, CREATE_NEW, err);
    created = raw != INVALID_HANDLE_VALUE;
  }
  THandle h(raw);
  if (!h.Valid()) return Error("open " + Quoted(path), err);
  const int64_t before = SizeOf(h.Get());
  if (before < 0) {
    err = ::GetLastError();
    h.Close();
    if (created) Unlink(path);
    return Error("stat " + Quoted(path), err);
  }

  // What went wrong first is what the caller hears; the restore is the best
  // that can still be done.
  const auto restore = [&](const std::string& what, DWORD failure) {
    if (created) {
      // Closed first: a name still open is removed only at its last close.
      if (h.Valid()) h.Close();
      Unlink(path);
    } else if (h.Valid()) {
      CutBack(h.Get(), path, before);
    } else {
      DWORD openErr = 0;
      THandle again(Open(path, GENERIC_WRITE, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, openErr));
      if (again.Valid()) CutBack(again.Get(), path, before);
    }
    return Error(what + " " + Quoted(path), failure);
  };
  err = WriteAll(h.Get(), path, bytes, true);
  if (err != ERROR_SUCCESS) return restore("write", err);
  err = Flush(h.Get(), path);
  if (err != ERROR_SUCCESS) return restore("write", err);
  if (!h.Close()) return restore("close", ::GetLastError());
  // A new file lasts only once its folder entry is on disk too.
  if (created) internal::SyncFolderOf(path);
  return TOsResult::Success();
}

TOsResult RemoveFile(const std::string& path) {
  const DWORD err = Unlink(path);
  if (err != ERROR_SUCCESS) return Error("unlink " + Quoted(path), err);
  return TOsResult::Success();
}

TOsResult RenameNoReplace(const std::string& from, const std::string& to) {
  return RenameWithFault(from, to, false, Error);
}

TOsResult RenameReplacing(const std::string& from, const std::string& to) {
  return RenameWithFault(from, to, true, Error);
}

TOsResult FlushFile(const std::string& path) {
  // Flushing needs a handle that may write.
  DWORD err = 0;
  THandle h(Open(path, GENERIC_WRITE, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, err));
  if (!h.Valid()) return Error("open " + Quoted(path), err);
  err = Flush(h.Get(), path);
  if (err != ERROR_SUCCESS) return WriteError("fsync " + Quoted(path), err);
  return TOsResult::Success();
}

TOsResult FlushFolder(const std::string& path) {
  const std::string folder = path.empty() ? "." : path;
  // A folder opens only with backup semantics, and flushes only through a
  // handle that may write. The folder is flushed when the system allows it;
  // where it refuses (a folder the service may only read, a file system that
  // cannot flush a folder: FAT, some network shares) the flush is a success
  // that does nothing, as NTFS keeps its folder entries in its own journal
  // anyway. Any other failure is reported.
  DWORD err = 0;
  THandle h(
      Open(folder, GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, err));
  if (!h.Valid()) {
    if (err != ERROR_ACCESS_DENIED) return Error("open " + Quoted(folder), err);
    THandle readOnly(Open(folder, GENERIC_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, err));
    if (!readOnly.Valid()) return Error("open " + Quoted(folder), err);
  } else if (!::FlushFileBuffers(h.Get())) {
    err = ::GetLastError();
    if (err != ERROR_INVALID_FUNCTION && err != ERROR_NOT_SUPPORTED &&
        err != ERROR_INVALID_PARAMETER && err != ERROR_ACCESS_DENIED) {
      return WriteError("fsync " + Quoted(folder), err);
    }
  }
  RecordFileChange(TOpKind::flush_folder, folder);
  return TOsResult::Success();
}

TOsResult TruncateFile(const std::string& path, int64_t size) {
  DWORD err = 0;
  THandle h(Open(path, GENERIC_WRITE, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, err));
  if (!h.Valid()) return Error("open " + Quoted(path), err);
  err = SetSize(h.Get(), size);
  if (err != ERROR_SUCCESS) return WriteError("truncate " + Quoted(path), err);
  RecordFileChange(TOpKind::truncate, path, {}, {}, size);
  err = Flush(h.Get(), path);
  if (err != ERROR_SUCCESS) return WriteError("fsync " + Quoted(path), err);
  return TOsResult::Success();
}

}  // namespace platform
