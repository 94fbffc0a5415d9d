// The file operations that are the same on every system: writing a new
// content under a temporary name and putting it in place, reading a file
// line by line, moving a file whatever the file systems. They reach the disk
// only through the system calls of PlatformInternal.h, which record every
// change for the power-loss tests.
#include "platform/Files.h"

#include <algorithm>
#include <cstring>
#include <utility>
#include <vector>

#include "platform/PlatformInternal.h"

namespace platform {

using internal::kNoFile;
using internal::TFileHandle;

namespace {

// Appends gather up to this many bytes before they are written; a larger
// one is written as it stands.
constexpr size_t kWriteBlock = size_t{1} << 20;
constexpr size_t kReadBlock = size_t{256} << 10;

std::string Quoted(const std::string& path) {
  return "'" + path + "'";
}

// Closes a file on every path out of a function.
class TOpenFile {
 public:
  TOpenFile() = default;
  ~TOpenFile() { internal::CloseFile(FFile); }
  TOpenFile(const TOpenFile&) = delete;
  TOpenFile& operator=(const TOpenFile&) = delete;
  TFileHandle& Handle() { return FFile; }
  // Closes now, reporting a failed close.
  TOsResult Close(const std::string& path) {
    return internal::CloseWrittenFile(std::exchange(FFile, kNoFile), path);
  }

 private:
  TFileHandle FFile = kNoFile;
};

const char* FindByte(const char* from, const char* end, char c) {
  const void* at = std::memchr(from, c, static_cast<size_t>(end - from));
  return at == nullptr ? end : static_cast<const char*>(at);
}

// Copies what is left to read of `in` to `out`; the paths name them in the
// error text.
TOsResult CopyContent(TFileHandle in, const std::string& from, TFileHandle out,
                      const std::string& to) {
  char buffer[65536];
  while (true) {
    size_t n = 0;
    TOsResult r = internal::ReadFromFile(in, from, buffer, sizeof buffer, n);
    if (!r.Ok() || n == 0) return r;
    r = internal::WriteToFile(out, to, std::string_view(buffer, n));
    if (!r.Ok()) return r;
  }
}

// Copies `from` under the temporary name beside `to`, then renames it over
// `to`; with `sync` the copy is flushed to disk before the rename and the
// folder after it. The temporary file is removed on any failure.
TOsResult CopyThroughTemporary(const std::string& from, const std::string& to, bool sync) {
  TOpenFile in;
  int64_t size = -1;
  TOsResult r = internal::OpenFileForReading(from, "copy", in.Handle(), size);
  if (!r.Ok()) return r;
  const std::string temp = internal::TemporaryPath(to);
  {
    TOpenFile out;
    r = internal::CreateFileForWriting(temp, out.Handle());
    if (!r.Ok()) return r;
    r = CopyContent(in.Handle(), from, out.Handle(), temp);
    if (r.Ok() && sync) r = internal::FlushWrittenFile(out.Handle(), temp, "fsync");
    if (r.Ok()) r = out.Close(temp);
    if (!r.Ok()) {
      (void)RemoveFile(temp);
      return r;
    }
  }
  r = internal::RenameIntoPlace(temp, to);
  if (r.Ok() && sync) internal::SyncFolderOf(to);
  return r;
}

}  // namespace

std::string internal::TemporaryPath(const std::string& path) {
  return JoinPath(ExtractFileDir(path), "." + ExtractFileName(path) + ".tmp");
}

std::string internal::FolderOf(const std::string& path) {
  const std::string folder = ExtractFileDir(path);
  return folder.empty() ? "." : folder;
}

TOsResult internal::RenameIntoPlace(const std::string& temp, const std::string& path) {
  const TOsResult renamed = RenameOver(temp, path);
  if (!renamed.Ok()) (void)RemoveFile(temp);
  return renamed;
}

void internal::SyncFolderOf(const std::string& path) {
  (void)FlushFolder(FolderOf(path));
}

TOsResult ReadFileBytes(const std::string& path, std::string& bytes) {
  bytes.clear();
  TOpenFile file;
  int64_t size = -1;
  TOsResult r = internal::OpenFileForReading(path, "read", file.Handle(), size);
  if (!r.Ok()) return r;
  if (size > 0) bytes.reserve(static_cast<size_t>(size));
  char buffer[65536];
  while (true) {
    size_t n = 0;
    r = internal::ReadFromFile(file.Handle(), path, buffer, sizeof buffer, n);
    if (!r.Ok() || n == 0) return r;
    bytes.append(buffer, n);
  }
}

TOsResult WriteFileBytes(const std::string& path, std::string_view bytes) {
  TOpenFile file;
  TOsResult r = internal::CreateFileForWriting(path, file.Handle());
  if (r.Ok()) r = internal::WriteToFile(file.Handle(), path, bytes);
  if (r.Ok()) r = file.Close(path);
  return r;
}

TOsResult WriteFileReplacing(const std::string& path, std::string_view bytes, bool sync) {
  TReplacingWriter writer(path);
  writer.Append(bytes);
  return writer.Commit(sync);
}

struct TReplacingWriter::TState {
  std::string Path;
  std::string Temp;
  TFileHandle File = kNoFile;
  bool Created = false;  // the temporary file exists and is this writer's to remove
  std::string Buffer;
  TOsResult Failure;

  // Creates the temporary file on first need; false once anything failed.
  bool Ready() {
    if (!Failure.Ok()) return false;
    if (File != kNoFile) return true;
    Failure = internal::CreateFileForWriting(Temp, File);
    if (!Failure.Ok()) return false;
    Created = true;
    return true;
  }
  // Keeps `failure` and drops the temporary file.
  void Abandon(TOsResult failure) {
    internal::CloseFile(std::exchange(File, kNoFile));
    if (Created) (void)RemoveFile(Temp);
    Created = false;
    Failure = std::move(failure);
  }
  bool Write(std::string_view bytes) {
    if (!Ready()) return false;
    TOsResult written = internal::WriteToFile(File, Temp, bytes);
    if (written.Ok()) return true;
    Abandon(std::move(written));
    return false;
  }
};

TReplacingWriter::TReplacingWriter(std::string path) : FState(std::make_unique<TState>()) {
  FState->Path = std::move(path);
  FState->Temp = internal::TemporaryPath(FState->Path);
}

TReplacingWriter::~TReplacingWriter() {
  internal::CloseFile(FState->File);
  if (FState->Created) (void)RemoveFile(FState->Temp);
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
  if (sync) {
    TOsResult flushed = internal::FlushWrittenFile(s.File, s.Temp, "write");
    if (!flushed.Ok()) {
      s.Abandon(std::move(flushed));
      return s.Failure;
    }
  }
  TOsResult closed = internal::CloseWrittenFile(std::exchange(s.File, kNoFile), s.Temp);
  if (!closed.Ok()) {
    s.Abandon(std::move(closed));
    return s.Failure;
  }
  // From here the rename removes the temporary file when it fails.
  s.Created = false;
  const TOsResult renamed = internal::RenameIntoPlace(s.Temp, s.Path);
  if (!renamed.Ok()) {
    s.Failure = renamed;
    return renamed;
  }
  if (sync) internal::SyncFolderOf(s.Path);
  return TOsResult::Success();
}

TOsResult ReadFileLines(const std::string& path,
                        const std::function<bool(std::string_view)>& onLine) {
  TOpenFile file;
  int64_t size = -1;
  const TOsResult opened = internal::OpenFileForReading(path, "read", file.Handle(), size);
  if (!opened.Ok()) return opened;
  std::vector<char> block(kReadBlock);
  std::string partial;  // the start of a line cut by the end of a block
  bool skipLf = false;  // the last block ended with CR: an LF opening the next one belongs to it
  while (true) {
    size_t n = 0;
    const TOsResult read =
        internal::ReadFromFile(file.Handle(), path, block.data(), block.size(), n);
    if (!read.Ok()) return read;
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

TOsResult CopyReplacing(const std::string& from, const std::string& to) {
  return CopyThroughTemporary(from, to, false);
}

TOsResult MoveFileReplacing(const std::string& from, const std::string& to, TMoveHow& how) {
  if (internal::WriteFaultDue()) {
    return internal::DiskFullFailure("rename " + Quoted(from) + " -> " + Quoted(to));
  }
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
  internal::SyncFolderOf(to);
  if (internal::FolderOf(from) != internal::FolderOf(to)) internal::SyncFolderOf(from);
  how = done;
  return TOsResult::Success();
}

}  // namespace platform
