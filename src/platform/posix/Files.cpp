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

bool WriteAll(int fd, std::string_view bytes) {
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
    done += static_cast<size_t>(n);
  }
  if (full) errno = ENOSPC;
  return !full;
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
    if (!WriteAll(out, std::string_view(buffer, static_cast<size_t>(n)))) {
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
  if (InjectedFault() || ::rename(temp.c_str(), path.c_str()) != 0) {
    const int err = errno;
    ::unlink(temp.c_str());
    return WriteError("rename " + Quoted(temp) + " -> " + Quoted(path), err);
  }
  return TOsResult::Success();
}

// Flushes the folder holding `path`, so that a name just given in it
// survives a power loss. Best effort: a folder that cannot be opened is left.
void SyncFolderOf(const std::string& path) {
  const std::string folder = ExtractFileDir(path);
  TFd dirFd(::open(folder.empty() ? "." : folder.c_str(), kOpenBase | O_RDONLY | O_DIRECTORY));
  if (dirFd.Get() >= 0) ::fsync(dirFd.Get());
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
    TFd out(::open(temp.c_str(), kOpenBase | O_WRONLY | O_CREAT | O_TRUNC, 0666));
    if (out.Get() < 0) return WriteError("open " + Quoted(temp), errno);
    TOsResult copied = CopyContent(in.Get(), from, out.Get(), temp);
    if (copied.Ok() && sync && ::fsync(out.Get()) != 0) {
      copied = WriteError("fsync " + Quoted(temp), errno);
    }
    if (copied.Ok() && out.Close() != 0) copied = WriteError("close " + Quoted(temp), errno);
    if (!copied.Ok()) {
      ::unlink(temp.c_str());
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
    if (::mkdir(partial.c_str(), 0777) != 0 && errno != EEXIST) {
      return WriteError("mkdir " + Quoted(partial), errno);
    }
  }
  if (!FolderExists(path)) return WriteError("mkdir " + Quoted(path), ENOTDIR);
  return TOsResult::Success();
}

bool ProbeWritable(const std::string& folder, const std::string& probeName) {
  const std::string probe = JoinPath(folder, probeName);
  TFd fd(::open(probe.c_str(), kOpenBase | O_CREAT | O_EXCL | O_RDWR, 0600));
  if (fd.Get() < 0) return false;
  ::unlink(probe.c_str());
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
  TFd fd(::open(path.c_str(), kOpenBase | O_WRONLY | O_CREAT | O_TRUNC, 0666));
  if (fd.Get() < 0) return WriteError("open " + Quoted(path), errno);
  if (!WriteAll(fd.Get(), bytes)) return WriteError("write " + Quoted(path), errno);
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
    Fd = ::open(Temp.c_str(), kOpenBase | O_WRONLY | O_CREAT | O_TRUNC, 0666);
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
    if (Created) ::unlink(Temp.c_str());
    Created = false;
    Failure = WriteError(what + " " + Quoted(Temp), err);
  }
  bool Write(std::string_view bytes) {
    if (!Ready()) return false;
    if (!WriteAll(Fd, bytes)) {
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
  if (FState->Created) ::unlink(FState->Temp.c_str());
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
  if (sync && ::fsync(s.Fd) != 0) {
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
  TFd fd(::open(path.c_str(), kOpenBase | O_WRONLY | O_CREAT | O_APPEND, 0666));
  if (fd.Get() < 0) return WriteError("open " + Quoted(path), errno);
  struct stat st;
  const off_t before = ::fstat(fd.Get(), &st) == 0 ? st.st_size : -1;
  if (!WriteAll(fd.Get(), bytes)) {
    // A write cut short (a full disk) is taken back, so the next append
    // starts a line of its own instead of ending a fragment.
    const int err = errno;
    if (before >= 0) {
      while (::ftruncate(fd.Get(), before) != 0 && errno == EINTR) {
      }
    }
    return WriteError("write " + Quoted(path), err);
  }
  if (fd.Close() != 0) return WriteError("close " + Quoted(path), errno);
  return TOsResult::Success();
}

TOsResult AppendToFileOrRestore(const std::string& path, std::string_view bytes) {
  bool created = false;
  int raw = ::open(path.c_str(), kOpenBase | O_WRONLY | O_APPEND);
  if (raw < 0 && errno == ENOENT) {
    raw = ::open(path.c_str(), kOpenBase | O_WRONLY | O_APPEND | O_CREAT | O_EXCL, 0666);
    created = raw >= 0;
  }
  TFd fd(raw);
  if (fd.Get() < 0) return Error("open " + Quoted(path), errno);
  struct stat st;
  if (::fstat(fd.Get(), &st) != 0) {
    const int err = errno;
    if (created) ::unlink(path.c_str());
    return Error("stat " + Quoted(path), err);
  }
  const off_t before = st.st_size;

  // What went wrong first is what the caller hears; the restore is the best
  // that can still be done.
  const auto restore = [&](const std::string& what, int err) {
    if (created) {
      ::unlink(path.c_str());
    } else if (fd.Get() >= 0) {
      while (::ftruncate(fd.Get(), before) != 0 && errno == EINTR) {
      }
    } else {
      while (::truncate(path.c_str(), before) != 0 && errno == EINTR) {
      }
    }
    return Error(what + " " + Quoted(path), err);
  };
  if (!WriteAll(fd.Get(), bytes)) return restore("write", errno);
  if (::fdatasync(fd.Get()) != 0) return restore("write", errno);
  if (fd.Close() != 0) return restore("close", errno);
  // A new file lasts only once its folder entry is on disk too.
  if (created) SyncFolderOf(path);
  return TOsResult::Success();
}

TOsResult RemoveFile(const std::string& path) {
  if (::unlink(path.c_str()) != 0) return Error("unlink " + Quoted(path), errno);
  return TOsResult::Success();
}

TOsResult RenameNoReplace(const std::string& from, const std::string& to) {
  const std::string context = "rename " + Quoted(from) + " -> " + Quoted(to);
  if (InjectedFault()) return Error(context, errno);
  if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) {
    return TOsResult::Success();
  }
  if (errno != EINVAL && errno != ENOSYS) return Error(context, errno);
  // File systems without RENAME_NOREPLACE: link refuses an existing target too.
  if (::link(from.c_str(), to.c_str()) == 0) {
    ::unlink(from.c_str());
    return TOsResult::Success();
  }
  if (errno != EPERM && errno != ENOTSUP) return Error(context, errno);
  struct stat st;
  if (::lstat(to.c_str(), &st) == 0) return Error(context, EEXIST);
  if (::rename(from.c_str(), to.c_str()) != 0) return Error(context, errno);
  return TOsResult::Success();
}

TOsResult RenameReplacing(const std::string& from, const std::string& to) {
  if (InjectedFault() || ::rename(from.c_str(), to.c_str()) != 0) {
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
  // The new name is made durable too, so that nothing the caller does next
  // (forgetting the file, say) can reach the disk before it.
  SyncFolderOf(to);
  how = done;
  return TOsResult::Success();
}

}  // namespace platform
