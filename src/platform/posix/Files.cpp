// The POSIX side of Files.h: queries, folders, appends, renames and flushes,
// and the system calls under the operations every system shares
// (platform/Files.cpp, through PlatformInternal.h).
#include "platform/Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <utility>
#include <vector>

#include "platform/PlatformInternal.h"
#include "platform/posix/OsErrors.h"

namespace platform {

using posix::Error;
using posix::Quoted;
using posix::WriteError;

namespace {

constexpr int kOpenBase = O_CLOEXEC;

// Closes the descriptor on every path out of a function.
class TFd {
 public:
  explicit TFd(int fd) : FFd(fd) {}
  ~TFd() {
    if (FFd >= 0) ::close(FFd);
  }
  TFd(const TFd&) = delete;
  TFd& operator=(const TFd&) = delete;
  int Get() const { return FFd; }
  int Release() { return std::exchange(FFd, -1); }
  // Closes now and reports a failed close (a delayed write error).
  int Close() {
    const int r = ::close(FFd);
    FFd = -1;
    return r;
  }

 private:
  int FFd;
};

// True when the test write fault falls on this operation; errno is then ENOSPC.
bool InjectedFault() {
  if (!internal::WriteFaultDue()) return false;
  errno = ENOSPC;
  return true;
}

// Every call below that changes the disk goes through these wrappers, which
// tell a recording test what was changed (successful calls only).
using TOpKind = TFileOp::TKind;

using internal::RecordFileChange;

// Opens `path` for writing with `flags` (O_CREAT among them).
int OpenForWriting(const std::string& path, int flags, mode_t mode = 0666) {
  const int fd = ::open(path.c_str(), kOpenBase | flags, mode);
  if (fd >= 0) RecordFileChange(TOpKind::create, path, {}, {}, 0, (flags & O_TRUNC) != 0);
  return fd;
}

int Unlink(const std::string& path) {
  const int r = ::unlink(path.c_str());
  if (r == 0) RecordFileChange(TOpKind::remove, path);
  return r;
}

int Rename(const std::string& from, const std::string& to) {
  const int r = ::rename(from.c_str(), to.c_str());
  if (r == 0) RecordFileChange(TOpKind::rename, from, {}, to);
  return r;
}

// fsync, or fdatasync when only the data and the size matter.
int Flush(int fd, const std::string& path, bool dataOnly = false) {
  const int r = dataOnly ? ::fdatasync(fd) : ::fsync(fd);
  if (r == 0) RecordFileChange(TOpKind::flush, path);
  return r;
}

void CutBack(int fd, const std::string& path, off_t size) {
  while (::ftruncate(fd, size) != 0) {
    if (errno != EINTR) return;
  }
  RecordFileChange(TOpKind::truncate, path, {}, {}, size);
}

bool WriteAll(int fd, const std::string& path, std::string_view bytes) {
  // A write the test fault falls on stops halfway, as on a full disk.
  const bool full = !bytes.empty() && internal::WriteFaultDue();
  if (full) bytes = bytes.substr(0, bytes.size() / 2);
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    RecordFileChange(TOpKind::write, path, bytes.substr(done, static_cast<size_t>(n)));
    done += static_cast<size_t>(n);
  }
  if (full) errno = ENOSPC;
  return !full;
}

int Fd(internal::TFileHandle file) {
  return static_cast<int>(file);
}

}  // namespace

// --- The system calls under the shared file operations -------------------------

TOsResult internal::OpenFileForReading(const std::string& path, const char* operation,
                                       TFileHandle& file, int64_t& size) {
  file = kNoFile;
  size = -1;
  TFd fd(::open(path.c_str(), kOpenBase | O_RDONLY));
  if (fd.Get() < 0) return Error("open " + Quoted(path), errno);
  struct stat st;
  if (::fstat(fd.Get(), &st) == 0) {
    if (S_ISDIR(st.st_mode)) return Error(std::string(operation) + " " + Quoted(path), EISDIR);
    size = static_cast<int64_t>(st.st_size);
  }
  file = fd.Release();
  return TOsResult::Success();
}

TOsResult internal::ReadFromFile(TFileHandle file, const std::string& path, char* buffer,
                                 size_t size, size_t& got) {
  got = 0;
  while (true) {
    const ssize_t n = ::read(Fd(file), buffer, size);
    if (n >= 0) {
      got = static_cast<size_t>(n);
      return TOsResult::Success();
    }
    if (errno != EINTR) return Error("read " + Quoted(path), errno);
  }
}

TOsResult internal::CreateFileForWriting(const std::string& path, TFileHandle& file) {
  file = OpenForWriting(path, O_WRONLY | O_CREAT | O_TRUNC);
  if (file < 0) {
    file = kNoFile;
    return WriteError("open " + Quoted(path), errno);
  }
  return TOsResult::Success();
}

TOsResult internal::WriteToFile(TFileHandle file, const std::string& path, std::string_view bytes) {
  if (!WriteAll(Fd(file), path, bytes)) return WriteError("write " + Quoted(path), errno);
  return TOsResult::Success();
}

TOsResult internal::FlushWrittenFile(TFileHandle file, const std::string& path,
                                     const char* operation) {
  if (Flush(Fd(file), path) != 0)
    return WriteError(std::string(operation) + " " + Quoted(path), errno);
  return TOsResult::Success();
}

TOsResult internal::CloseWrittenFile(TFileHandle file, const std::string& path) {
  if (::close(Fd(file)) != 0) return WriteError("close " + Quoted(path), errno);
  return TOsResult::Success();
}

void internal::CloseFile(TFileHandle file) {
  if (file != kNoFile) ::close(Fd(file));
}

TOsResult internal::RenameOver(const std::string& from, const std::string& to) {
  if (InjectedFault() || Rename(from, to) != 0) {
    return WriteError("rename " + Quoted(from) + " -> " + Quoted(to), errno);
  }
  return TOsResult::Success();
}

TOsResult internal::DiskFullFailure(const std::string& context) {
  return Error(context, ENOSPC);
}

bool FileExists(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && !S_ISDIR(st.st_mode);
}

bool FolderExists(const std::string& path) {
  struct stat st;
  return !path.empty() && ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool IsRegularFile(const std::string& path) {
  struct stat st;
  return !path.empty() && ::lstat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

int64_t FileSize(const std::string& path) {
  struct stat st;
  if (path.empty() || ::stat(path.c_str(), &st) != 0) return -1;
  return static_cast<int64_t>(st.st_size);
}

TOsResult MakeFolders(const std::string& path) {
  if (path.empty()) return WriteError("mkdir ''", ENOENT);
  if (FolderExists(path)) return TOsResult::Success();
  if (InjectedFault()) return Error("mkdir " + Quoted(path), errno);
  // Walk the path, creating each missing level.
  std::string partial;
  size_t pos = 0;
  while (pos <= path.size()) {
    size_t next = path.find('/', pos);
    if (next == std::string::npos) next = path.size();
    partial = path.substr(0, next);
    pos = next + 1;
    if (partial.empty() || partial == "/" || partial.back() == '/') continue;
    if (::mkdir(partial.c_str(), 0777) == 0) {
      RecordFileChange(TOpKind::make_folder, partial);
      // A new folder lasts only once its parent's entries are on the disk:
      // the files about to be written into it depend on it.
      internal::SyncFolderOf(partial);
    } else if (errno != EEXIST) {
      return WriteError("mkdir " + Quoted(partial), errno);
    }
  }
  if (!FolderExists(path)) return WriteError("mkdir " + Quoted(path), ENOTDIR);
  return TOsResult::Success();
}

bool ProbeWritable(const std::string& folder, const std::string& probeName) {
  const std::string probe = JoinPath(folder, probeName);
  int raw = OpenForWriting(probe, O_CREAT | O_EXCL | O_RDWR, 0600);
  if (raw < 0 && errno == EEXIST && IsRegularFile(probe) && Unlink(probe) == 0) {
    // Left by a probe that was cut short (a crash or a power loss between
    // the creation and the removal): it says nothing of the folder today.
    raw = OpenForWriting(probe, O_CREAT | O_EXCL | O_RDWR, 0600);
  }
  TFd fd(raw);
  if (fd.Get() < 0) return false;
  Unlink(probe);
  return true;
}

TOsResult internal::ListFolderFiles(const std::string& folder,
                                    const std::function<bool(std::string_view)>& accept,
                                    std::vector<std::string>& names) {
  DIR* dir = ::opendir(folder.c_str());
  if (dir == nullptr) return Error("opendir " + Quoted(folder), errno);
  errno = 0;
  while (dirent* entry = ::readdir(dir)) {
    const std::string name = entry->d_name;
    if (name == "." || name == "..") continue;
    if (!accept(name)) continue;
    if (entry->d_type == DT_DIR) continue;
    if (entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) {
      if (FolderExists(JoinPath(folder, name))) continue;
    }
    names.push_back(name);
  }
  ::closedir(dir);
  return TOsResult::Success();
}

TOsResult ReadFileTail(const std::string& path, size_t count, std::string& bytes) {
  bytes.clear();
  TFd fd(::open(path.c_str(), kOpenBase | O_RDONLY));
  if (fd.Get() < 0) return Error("open " + Quoted(path), errno);
  struct stat st;
  if (::fstat(fd.Get(), &st) != 0) return Error("stat " + Quoted(path), errno);
  if (S_ISDIR(st.st_mode)) return Error("read " + Quoted(path), EISDIR);
  const auto size = static_cast<size_t>(st.st_size);
  const size_t want = std::min(count, size);
  bytes.resize(want);
  size_t done = 0;
  while (done < want) {
    const ssize_t n =
        ::pread(fd.Get(), bytes.data() + done, want - done, static_cast<off_t>(size - want + done));
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return Error("read " + Quoted(path), errno);
    if (n == 0) break;
    done += static_cast<size_t>(n);
  }
  bytes.resize(done);
  return TOsResult::Success();
}

TOsResult AppendToFile(const std::string& path, std::string_view bytes) {
  TFd fd(OpenForWriting(path, O_WRONLY | O_CREAT | O_APPEND));
  if (fd.Get() < 0) return WriteError("open " + Quoted(path), errno);
  struct stat st;
  const off_t before = ::fstat(fd.Get(), &st) == 0 ? st.st_size : -1;
  if (!WriteAll(fd.Get(), path, bytes)) {
    // A write cut short (a full disk) is taken back, so the next append
    // starts a line of its own instead of ending a fragment.
    const int err = errno;
    if (before >= 0) CutBack(fd.Get(), path, before);
    return WriteError("write " + Quoted(path), err);
  }
  if (fd.Close() != 0) return WriteError("close " + Quoted(path), errno);
  return TOsResult::Success();
}

TOsResult AppendToFileOrRestore(const std::string& path, std::string_view bytes) {
  bool created = false;
  int raw = ::open(path.c_str(), kOpenBase | O_WRONLY | O_APPEND);
  if (raw < 0 && errno == ENOENT) {
    raw = OpenForWriting(path, O_WRONLY | O_APPEND | O_CREAT | O_EXCL);
    created = raw >= 0;
  }
  TFd fd(raw);
  if (fd.Get() < 0) return Error("open " + Quoted(path), errno);
  struct stat st;
  if (::fstat(fd.Get(), &st) != 0) {
    const int err = errno;
    if (created) Unlink(path);
    return Error("stat " + Quoted(path), err);
  }
  const off_t before = st.st_size;

  // What went wrong first is what the caller hears; the restore is the best
  // that can still be done.
  const auto restore = [&](const std::string& what, int err) {
    if (created) {
      Unlink(path);
    } else if (fd.Get() >= 0) {
      CutBack(fd.Get(), path, before);
    } else {
      while (::truncate(path.c_str(), before) != 0 && errno == EINTR) {
      }
      RecordFileChange(TOpKind::truncate, path, {}, {}, before);
    }
    return Error(what + " " + Quoted(path), err);
  };
  if (!WriteAll(fd.Get(), path, bytes)) return restore("write", errno);
  if (Flush(fd.Get(), path, true) != 0) return restore("write", errno);
  if (fd.Close() != 0) return restore("close", errno);
  // A new file lasts only once its folder entry is on disk too.
  if (created) internal::SyncFolderOf(path);
  return TOsResult::Success();
}

TOsResult RemoveFile(const std::string& path) {
  if (Unlink(path) != 0) return Error("unlink " + Quoted(path), errno);
  return TOsResult::Success();
}

TOsResult RenameNoReplace(const std::string& from, const std::string& to) {
  const std::string context = "rename " + Quoted(from) + " -> " + Quoted(to);
  if (InjectedFault()) return Error(context, errno);
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    RecordFileChange(TOpKind::rename, from, {}, to);
    return TOsResult::Success();
  }
  if (errno != EINVAL && errno != ENOSYS) return Error(context, errno);
  // File systems without RENAME_NOREPLACE: link refuses an existing target too.
  if (::link(from.c_str(), to.c_str()) == 0) {
    ::unlink(from.c_str());
    RecordFileChange(TOpKind::rename, from, {}, to);
    return TOsResult::Success();
  }
  if (errno != EPERM && errno != ENOTSUP) return Error(context, errno);
  struct stat st;
  if (::lstat(to.c_str(), &st) == 0) return Error(context, EEXIST);
  if (Rename(from, to) != 0) return Error(context, errno);
  return TOsResult::Success();
}

TOsResult RenameReplacing(const std::string& from, const std::string& to) {
  if (InjectedFault() || Rename(from, to) != 0) {
    return Error("rename " + Quoted(from) + " -> " + Quoted(to), errno);
  }
  return TOsResult::Success();
}

TOsResult FlushFile(const std::string& path) {
  TFd fd(::open(path.c_str(), kOpenBase | O_RDONLY));
  if (fd.Get() < 0) return Error("open " + Quoted(path), errno);
  if (Flush(fd.Get(), path) != 0) return WriteError("fsync " + Quoted(path), errno);
  return TOsResult::Success();
}

TOsResult FlushFolder(const std::string& path) {
  const std::string folder = path.empty() ? "." : path;
  TFd dirFd(::open(folder.c_str(), kOpenBase | O_RDONLY | O_DIRECTORY));
  if (dirFd.Get() < 0) return Error("open " + Quoted(folder), errno);
  if (::fsync(dirFd.Get()) != 0) return WriteError("fsync " + Quoted(folder), errno);
  RecordFileChange(TOpKind::flush_folder, folder);
  return TOsResult::Success();
}

TOsResult TruncateFile(const std::string& path, int64_t size) {
  TFd fd(::open(path.c_str(), kOpenBase | O_WRONLY));
  if (fd.Get() < 0) return Error("open " + Quoted(path), errno);
  while (::ftruncate(fd.Get(), static_cast<off_t>(size)) != 0) {
    if (errno != EINTR) return WriteError("truncate " + Quoted(path), errno);
  }
  RecordFileChange(TOpKind::truncate, path, {}, {}, size);
  if (Flush(fd.Get(), path) != 0) return WriteError("fsync " + Quoted(path), errno);
  return TOsResult::Success();
}

}  // namespace platform
