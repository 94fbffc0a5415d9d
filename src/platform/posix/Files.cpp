#include "platform/Files.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
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

void Record(TOpKind kind, const std::string& path, std::string_view data = {},
            const std::string& target = {}, int64_t size = 0, bool truncate = false) {
  if (!internal::RecordingFiles()) return;
  TFileOp op;
  op.Kind = kind;
  op.Path = path;
  op.Target = target;
  op.Data = std::string(data);
  op.Size = size;
  op.Truncate = truncate;
  internal::RecordFileOp(std::move(op));
}

// Opens `path` for writing with `flags` (O_CREAT among them).
int OpenForWriting(const std::string& path, int flags, mode_t mode = 0666) {
  const int fd = ::open(path.c_str(), kOpenBase | flags, mode);
  if (fd >= 0) Record(TOpKind::create, path, {}, {}, 0, (flags & O_TRUNC) != 0);
  return fd;
}

int Unlink(const std::string& path) {
  const int r = ::unlink(path.c_str());
  if (r == 0) Record(TOpKind::remove, path);
  return r;
}

int Rename(const std::string& from, const std::string& to) {
  const int r = ::rename(from.c_str(), to.c_str());
  if (r == 0) Record(TOpKind::rename, from, {}, to);
  return r;
}

// fsync, or fdatasync when only the data and the size matter.
int Flush(int fd, const std::string& path, bool dataOnly = false) {
  const int r = dataOnly ? ::fdatasync(fd) : ::fsync(fd);
  if (r == 0) Record(TOpKind::flush, path);
  return r;
}

void CutBack(int fd, const std::string& path, off_t size) {
  while (::ftruncate(fd, size) != 0) {
    if (errno != EINTR) return;
  }
  Record(TOpKind::truncate, path, {}, {}, size);
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
    Record(TOpKind::write, path, bytes.substr(done, static_cast<size_t>(n)));
    done += static_cast<size_t>(n);
  }
  if (full) errno = ENOSPC;
  return !full;
}

// The folder holding `path`: "." for a bare name.
std::string FolderOf(const std::string& path) {
  const std::string folder = ExtractFileDir(path);
  return folder.empty() ? "." : folder;
}

// Flushes the folder's entries, so that a name just given, moved or removed
// in it survives a power loss.
TOsResult FlushFolderEntries(const std::string& folder) {
  TFd dirFd(::open(folder.c_str(), kOpenBase | O_RDONLY | O_DIRECTORY));
  if (dirFd.Get() < 0) return Error("open " + Quoted(folder), errno);
  if (::fsync(dirFd.Get()) != 0) return WriteError("fsync " + Quoted(folder), errno);
  Record(TOpKind::flush_folder, folder);
  return TOsResult::Success();
}

// Copies what is left to read of `in` to `out`; the paths name them in the
// error text.
TOsResult CopyContent(int in, const std::string& from, int out, const std::string& to) {
  char buffer[65536];
  while (true) {
    const ssize_t n = ::read(in, buffer, sizeof buffer);
    if (n == 0) return TOsResult::Success();
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error("read " + Quoted(from), errno);
    }
    if (!WriteAll(out, to, std::string_view(buffer, static_cast<size_t>(n)))) {
      return WriteError("write " + Quoted(to), errno);
    }
  }
}

// The hidden name beside `path` under which a new content is completed
// before it takes the final name: "." + name + ".tmp" matches none of the
// readers' patterns.
std::string TemporaryPath(const std::string& path) {
  return JoinPath(ExtractFileDir(path), "." + ExtractFileName(path) + ".tmp");
}

// Renames the completed temporary file over `path`; the temporary file is
// removed when that fails.
TOsResult RenameIntoPlace(const std::string& temp, const std::string& path) {
  if (InjectedFault() || Rename(temp, path) != 0) {
    const int err = errno;
    Unlink(temp);
    return WriteError("rename " + Quoted(temp) + " -> " + Quoted(path), err);
  }
  return TOsResult::Success();
}

// Flushes the folder holding `path`, so that a name just given in it
// survives a power loss. Best effort: a folder that cannot be opened is left.
void SyncFolderOf(const std::string& path) {
  (void)FlushFolderEntries(FolderOf(path));
}

// Copies `from` under the temporary name beside `to`, then renames it over
// `to`; with `sync` the copy is flushed to disk before the rename and the
// folder after it. The temporary file is removed on any failure.
TOsResult CopyThroughTemporary(const std::string& from, const std::string& to, bool sync) {
  TFd in(::open(from.c_str(), kOpenBase | O_RDONLY));
  if (in.Get() < 0) return Error("open " + Quoted(from), errno);
  struct stat st;
  if (::fstat(in.Get(), &st) == 0 && S_ISDIR(st.st_mode))
    return Error("copy " + Quoted(from), EISDIR);
  const std::string temp = TemporaryPath(to);
  {
    TFd out(OpenForWriting(temp, O_WRONLY | O_CREAT | O_TRUNC));
    if (out.Get() < 0) return WriteError("open " + Quoted(temp), errno);
    TOsResult copied = CopyContent(in.Get(), from, out.Get(), temp);
    if (copied.Ok() && sync && Flush(out.Get(), temp) != 0) {
      copied = WriteError("fsync " + Quoted(temp), errno);
    }
    if (copied.Ok() && out.Close() != 0) copied = WriteError("close " + Quoted(temp), errno);
    if (!copied.Ok()) {
      Unlink(temp);
      return copied;
    }
  }
  const TOsResult renamed = RenameIntoPlace(temp, to);
  if (renamed.Ok() && sync) SyncFolderOf(to);
  return renamed;
}

}  // namespace

bool IsAbsolutePath(std::string_view path) {
  return !path.empty() && path.front() == PATH_DELIM;
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
    size_t next = path.find(PATH_DELIM, pos);
    if (next == std::string::npos) next = path.size();
    partial = path.substr(0, next);
    pos = next + 1;
    if (partial.empty() || partial == "/" || partial.back() == PATH_DELIM) continue;
    if (::mkdir(partial.c_str(), 0777) == 0) {
      Record(TOpKind::make_folder, partial);
      // A new folder lasts only once its parent's entries are on the disk:
      // the files about to be written into it depend on it.
      SyncFolderOf(partial);
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

TOsResult ReadFileBytes(const std::string& path, std::string& bytes) {
  bytes.clear();
  TFd fd(::open(path.c_str(), kOpenBase | O_RDONLY));
  if (fd.Get() < 0) return Error("open " + Quoted(path), errno);
  struct stat st;
  if (::fstat(fd.Get(), &st) == 0 && S_ISDIR(st.st_mode))
    return Error("read " + Quoted(path), EISDIR);
  if (st.st_size > 0) bytes.reserve(static_cast<size_t>(st.st_size));
  char buffer[65536];
  while (true) {
    const ssize_t n = ::read(fd.Get(), buffer, sizeof buffer);
    if (n == 0) break;
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error("read " + Quoted(path), errno);
    }
    bytes.append(buffer, static_cast<size_t>(n));
  }
  return TOsResult::Success();
}

TOsResult WriteFileBytes(const std::string& path, std::string_view bytes) {
  TFd fd(OpenForWriting(path, O_WRONLY | O_CREAT | O_TRUNC));
  if (fd.Get() < 0) return WriteError("open " + Quoted(path), errno);
  if (!WriteAll(fd.Get(), path, bytes)) return WriteError("write " + Quoted(path), errno);
  if (fd.Close() != 0) return WriteError("close " + Quoted(path), errno);
  return TOsResult::Success();
}

TOsResult WriteFileReplacing(const std::string& path, std::string_view bytes, bool sync) {
  TReplacingWriter writer(path);
  writer.Append(bytes);
  return writer.Commit(sync);
}

namespace {

// Appends gather up to this many bytes before they are written; a larger
// one is written as it stands.
constexpr size_t kWriteBlock = size_t{1} << 20;
constexpr size_t kReadBlock = size_t{256} << 10;

const char* FindByte(const char* from, const char* end, char c) {
  const void* at = std::memchr(from, c, static_cast<size_t>(end - from));
  return at == nullptr ? end : static_cast<const char*>(at);
}

}  // namespace

struct TReplacingWriter::TState {
  std::string Path;
  std::string Temp;
  int Fd = -1;
  bool Created = false;  // the temporary file exists and is this writer's to remove
  std::string Buffer;
  TOsResult Failure;

  // Creates the temporary file on first need; false once anything failed.
  bool Ready() {
    if (!Failure.Ok()) return false;
    if (Fd >= 0) return true;
    Fd = OpenForWriting(Temp, O_WRONLY | O_CREAT | O_TRUNC);
    if (Fd < 0) {
      Failure = WriteError("open " + Quoted(Temp), errno);
      return false;
    }
    Created = true;
    return true;
  }
  // Keeps the failure of `what` and drops the temporary file.
  void Abandon(const std::string& what, int err) {
    if (Fd >= 0) ::close(Fd);
    Fd = -1;
    if (Created) Unlink(Temp);
    Created = false;
    Failure = WriteError(what + " " + Quoted(Temp), err);
  }
  bool Write(std::string_view bytes) {
    if (!Ready()) return false;
    if (!WriteAll(Fd, Temp, bytes)) {
      const int err = errno;
      Abandon("write", err);
      return false;
    }
    return true;
  }
};

TReplacingWriter::TReplacingWriter(std::string path) : FState(std::make_unique<TState>()) {
  FState->Path = std::move(path);
  FState->Temp = TemporaryPath(FState->Path);
}

TReplacingWriter::~TReplacingWriter() {
  if (FState->Fd >= 0) ::close(FState->Fd);
  if (FState->Created) Unlink(FState->Temp);
}

void TReplacingWriter::Append(std::string_view bytes) {
  TState& s = *FState;
  if (!s.Failure.Ok()) return;
  if (s.Buffer.size() + bytes.size() <= kWriteBlock) {
    s.Buffer.append(bytes);
    return;
  }
  if (!s.Buffer.empty()) {
    if (!s.Write(s.Buffer)) return;
    s.Buffer.clear();
  }
  if (bytes.size() < kWriteBlock) {
    s.Buffer.append(bytes);
  } else {
    (void)s.Write(bytes);
  }
}

TOsResult TReplacingWriter::Commit(bool sync) {
  TState& s = *FState;
  if (!s.Ready()) return s.Failure;
  if (!s.Buffer.empty() && !s.Write(s.Buffer)) return s.Failure;
  std::string().swap(s.Buffer);
  if (sync && Flush(s.Fd, s.Temp) != 0) {
    const int err = errno;
    s.Abandon("write", err);
    return s.Failure;
  }
  const int closed = ::close(s.Fd);
  s.Fd = -1;
  if (closed != 0) {
    const int err = errno;
    s.Abandon("close", err);
    return s.Failure;
  }
  // From here the rename removes the temporary file when it fails.
  s.Created = false;
  const TOsResult renamed = RenameIntoPlace(s.Temp, s.Path);
  if (!renamed.Ok()) {
    s.Failure = renamed;
    return renamed;
  }
  if (sync) SyncFolderOf(s.Path);
  return TOsResult::Success();
}

TOsResult ReadFileLines(const std::string& path,
                        const std::function<bool(std::string_view)>& onLine) {
  TFd fd(::open(path.c_str(), kOpenBase | O_RDONLY));
  if (fd.Get() < 0) return Error("open " + Quoted(path), errno);
  struct stat st;
  if (::fstat(fd.Get(), &st) == 0 && S_ISDIR(st.st_mode))
    return Error("read " + Quoted(path), EISDIR);
  std::vector<char> block(kReadBlock);
  std::string partial;  // the start of a line cut by the end of a block
  bool skipLf = false;  // the last block ended with CR: an LF opening the next one belongs to it
  while (true) {
    const ssize_t n = ::read(fd.Get(), block.data(), block.size());
    if (n < 0) {
      if (errno == EINTR) continue;
      return Error("read " + Quoted(path), errno);
    }
    if (n == 0) break;
    const char* start = block.data();
    const char* const end = start + n;
    if (skipLf && *start == '\n') ++start;
    skipLf = false;
    const char* cr = FindByte(start, end, '\r');
    const char* lf = FindByte(start, end, '\n');
    while (true) {
      const char* const brk = std::min(cr, lf);
      if (brk == end) break;
      std::string_view line(start, static_cast<size_t>(brk - start));
      if (!partial.empty()) {
        partial.append(line);
        line = partial;
      }
      if (!onLine(line)) return TOsResult::Success();
      partial.clear();
      start = brk + 1;
      if (*brk == '\r') {
        if (start == end) {
          skipLf = true;
        } else if (*start == '\n') {
          ++start;
        }
      }
      if (cr < start) cr = FindByte(start, end, '\r');
      if (lf < start) lf = FindByte(start, end, '\n');
    }
    partial.append(start, static_cast<size_t>(end - start));
  }
  if (!partial.empty()) (void)onLine(partial);
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
      Record(TOpKind::truncate, path, {}, {}, before);
    }
    return Error(what + " " + Quoted(path), err);
  };
  if (!WriteAll(fd.Get(), path, bytes)) return restore("write", errno);
  if (Flush(fd.Get(), path, true) != 0) return restore("write", errno);
  if (fd.Close() != 0) return restore("close", errno);
  // A new file lasts only once its folder entry is on disk too.
  if (created) SyncFolderOf(path);
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
    Record(TOpKind::rename, from, {}, to);
    return TOsResult::Success();
  }
  if (errno != EINVAL && errno != ENOSYS) return Error(context, errno);
  // File systems without RENAME_NOREPLACE: link refuses an existing target too.
  if (::link(from.c_str(), to.c_str()) == 0) {
    ::unlink(from.c_str());
    Record(TOpKind::rename, from, {}, to);
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

TOsResult CopyReplacing(const std::string& from, const std::string& to) {
  return CopyThroughTemporary(from, to, false);
}

TOsResult MoveFileReplacing(const std::string& from, const std::string& to, TMoveHow& how) {
  if (InjectedFault()) return Error("rename " + Quoted(from) + " -> " + Quoted(to), errno);
  TMoveHow done = TMoveHow::renamed;
  if (RenameNoReplace(from, to).Ok()) {
    done = TMoveHow::renamed;
  } else if (RenameReplacing(from, to).Ok()) {
    done = TMoveHow::renamed_over_existing;
  } else {
    // Another file system, or a folder that refuses the rename: the copy is
    // on the disk under its final name before the source is removed, so a
    // crash or a power loss leaves the source, the copy, or both, never a
    // part of the file under its final name alone.
    const TOsResult copied = CopyThroughTemporary(from, to, true);
    if (!copied.Ok()) return copied;
    (void)RemoveFile(from);
    done = TMoveHow::copied;
  }
  // Both names are made durable, so that nothing the caller does next
  // (forgetting the file, say) can reach the disk before them: after a power
  // loss the file is in one place only, never in neither nor in both.
  SyncFolderOf(to);
  if (FolderOf(from) != FolderOf(to)) SyncFolderOf(from);
  how = done;
  return TOsResult::Success();
}

TOsResult FlushFile(const std::string& path) {
  TFd fd(::open(path.c_str(), kOpenBase | O_RDONLY));
  if (fd.Get() < 0) return Error("open " + Quoted(path), errno);
  if (Flush(fd.Get(), path) != 0) return WriteError("fsync " + Quoted(path), errno);
  return TOsResult::Success();
}

TOsResult FlushFolder(const std::string& folder) {
  return FlushFolderEntries(folder.empty() ? "." : folder);
}

TOsResult TruncateFile(const std::string& path, int64_t size) {
  TFd fd(::open(path.c_str(), kOpenBase | O_WRONLY));
  if (fd.Get() < 0) return Error("open " + Quoted(path), errno);
  while (::ftruncate(fd.Get(), static_cast<off_t>(size)) != 0) {
    if (errno != EINTR) return WriteError("truncate " + Quoted(path), errno);
  }
  Record(TOpKind::truncate, path, {}, {}, size);
  if (Flush(fd.Get(), path) != 0) return WriteError("fsync " + Quoted(path), errno);
  return TOsResult::Success();
}

}  // namespace platform
