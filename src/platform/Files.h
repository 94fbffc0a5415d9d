#pragma once

// File-system operations the service needs, with Windows-like semantics
// where the service depends on them (a rename that refuses to replace,
// case-insensitive wildcard listing). Paths are UTF-8 strings with the
// system's separator between folders (see PathDelimiter). Nothing here logs
// or throws.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/OsResult.h"

namespace platform {

// --- Path text (no system call) ----------------------------------------------
// The separator this system writes between folders: "/" on Linux, "\" on
// Windows.
char PathDelimiter();
// True for a character that separates folders in a path this system reads:
// Windows reads "/" as well as "\", Linux only "/".
bool IsPathDelimiter(char c);
std::string IncludeTrailingDelimiter(std::string_view path);
std::string ExcludeTrailingDelimiter(std::string_view path);
// "a/b/c.tra" gives "c.tra"; "c.tra" gives "c.tra".
std::string ExtractFileName(std::string_view path);
// "a/b/c.tra" gives "a/b"; a bare name gives "".
std::string ExtractFileDir(std::string_view path);
// Extension with its dot ("c.tra" gives ".tra"), empty when there is none.
std::string ExtractFileExt(std::string_view path);
// Folder + separator (when missing) + name.
std::string JoinPath(std::string_view folder, std::string_view name);
// True for a path that names the same place whatever the current folder.
bool IsAbsolutePath(std::string_view path);
// A path written with "\" between its folders, as settings files write
// them, with this system's separator instead.
std::string ToSystemSeparators(std::string_view path);
// A value that becomes one file or folder name: "/", "\" and NUL become "_",
// and a name "." or ".." has its dots replaced by "_", so the name always
// stays inside its folder. On Windows the characters it forbids in names
// (< > : " | ? * and control characters) and a trailing dot or space also
// become "_", and a device name ("CON", "nul.txt", "COM1") gains a leading
// "_". Every other value is returned unchanged (an empty one stays empty).
std::string MakeSafeFileName(std::string_view value);
// True when `name` is one plain file name: not empty, and unchanged by
// MakeSafeFileName.
bool IsPlainFileName(std::string_view name);

// --- Queries ---------------------------------------------------------------------
// An entry of that name exists and is not a folder (links followed).
bool FileExists(const std::string& path);
// A folder of that name exists (links followed).
bool FolderExists(const std::string& path);
// Size in bytes of the entry, or -1 when there is none.
int64_t FileSize(const std::string& path);
// The entry of that name is itself a regular file: a link (even to a
// regular file), a FIFO, a device, a socket or a folder is not. The entry is
// looked at, never opened, and a link is not followed.
bool IsRegularFile(const std::string& path);

// --- Folders -------------------------------------------------------------------
// Creates the folder with every missing parent; ok when it already exists.
// Each folder created is flushed into its parent, so it survives a power loss.
[[nodiscard]] TOsResult MakeFolders(const std::string& path);
// Writability probe: creates `folder/probeName` exclusively, removes it and
// closes it. A regular file of that name left by a probe cut short (a crash
// between the creation and the removal) is removed first; anything else of
// that name makes the probe fail.
bool ProbeWritable(const std::string& folder, const std::string& probeName);

// Names (not paths) of the folder's entries that are not folders, hidden ones
// included, matching `pattern` ("*" any run, "?" one character) without
// regard to letter case; "*.*" and "*" match every name. Sorted
// case-insensitively, ties broken by the bytes.
[[nodiscard]] TOsResult ListFiles(const std::string& folder, const std::string& pattern,
                                  std::vector<std::string>& names);
// ListFiles restricted to regular files (see IsRegularFile): the names of
// the other entries matching `pattern` (links, FIFOs, devices, sockets,
// folders) go to `skipped`, in the same order. No entry is opened, so a FIFO
// never blocks the listing.
[[nodiscard]] TOsResult ListRegularFiles(const std::string& folder, const std::string& pattern,
                                         std::vector<std::string>& names,
                                         std::vector<std::string>& skipped);

// --- Reading and writing whole files -----------------------------------------
[[nodiscard]] TOsResult ReadFileBytes(const std::string& path, std::string& bytes);
// Creates or truncates the file and writes the bytes.
[[nodiscard]] TOsResult WriteFileBytes(const std::string& path, std::string_view bytes);
// Writes the bytes to a temporary name in the same folder ("." + name +
// ".tmp", hidden and not matching the readers' patterns), optionally flushes
// it to disk, then renames it over `path`. The temporary file is removed on
// any failure, so readers see the old content or the new, never a part.
[[nodiscard]] TOsResult WriteFileReplacing(const std::string& path, std::string_view bytes,
                                           bool sync = false);
// Reads the file block by block and calls `onLine` with each of its lines,
// split as SplitLines splits a text (CR LF, LF or CR; a final line break
// gives no empty last line), so that only one block and the line being read
// are held, whatever the size of the file. The view is valid during the
// call only. `onLine` returning false stops the reading, which is then a
// success.
[[nodiscard]] TOsResult ReadFileLines(const std::string& path,
                                      const std::function<bool(std::string_view)>& onLine);
// A new content for `path` written piece by piece, then put in place as
// WriteFileReplacing does: under the same temporary name, optionally flushed
// to disk, renamed over `path`, the folder flushed. Appends gather in a
// buffer and reach the temporary file in large writes; the file is created
// by the first of them. After a failure the writer keeps that failure,
// ignores further appends, and Commit (called once) returns it. A writer destroyed without
// a successful Commit removes its temporary file, so `path` keeps its old
// content.
class TReplacingWriter {
 public:
  explicit TReplacingWriter(std::string path);
  ~TReplacingWriter();
  TReplacingWriter(const TReplacingWriter&) = delete;
  TReplacingWriter& operator=(const TReplacingWriter&) = delete;

  void Append(std::string_view bytes);
  [[nodiscard]] TOsResult Commit(bool sync);

 private:
  struct TState;
  std::unique_ptr<TState> FState;
};
// The last `count` bytes of the file (fewer when it is shorter).
[[nodiscard]] TOsResult ReadFileTail(const std::string& path, size_t count, std::string& bytes);
// Appends the bytes with one write (open, write, close: nothing stays open).
// The file is created when missing; its folder is not. A write that fails
// part-way is taken back, so a line is never left cut short.
[[nodiscard]] TOsResult AppendToFile(const std::string& path, std::string_view bytes);
// Appends the bytes and flushes them to disk, all or nothing: when a write,
// the flush or the close fails, the file is cut back to its size before the
// call (removed when the call created it), so a full disk never leaves part
// of the bytes behind. The file is created when missing; its folder is not.
// Meant for one writer at a time (the caller serialises its appends).
[[nodiscard]] TOsResult AppendToFileOrRestore(const std::string& path, std::string_view bytes);

// --- Moving, copying, deleting ------------------------------------------------
[[nodiscard]] TOsResult RemoveFile(const std::string& path);
// Fails when `to` exists (kind failed, "File exists"); a move across file
// systems fails too (the caller falls back to copy and delete).
[[nodiscard]] TOsResult RenameNoReplace(const std::string& from, const std::string& to);
// Replaces `to` when it exists.
[[nodiscard]] TOsResult RenameReplacing(const std::string& from, const std::string& to);
// Copies the content, replacing `to` when it exists. The copy is made under
// the temporary name WriteFileReplacing uses, then renamed over `to`; the
// temporary file is removed on any failure, so `to` never holds a part.
[[nodiscard]] TOsResult CopyReplacing(const std::string& from, const std::string& to);

// How MoveFileReplacing brought the file to its new name.
enum class TMoveHow {
  renamed,                // `to` did not exist
  renamed_over_existing,  // renamed over a file of that name
  copied,                 // copied (see CopyReplacing), then the source removed
};
// Moves `from` to `to`, replacing a file of that name: by a rename when the
// file system allows one, else by a copy after which the source is removed
// (a source that cannot be removed stays). Both folders are flushed to disk
// before it returns, so the move survives a power loss. `how` is set on
// success only.
[[nodiscard]] TOsResult MoveFileReplacing(const std::string& from, const std::string& to,
                                          TMoveHow& how);

// --- Power-loss durability ----------------------------------------------------
// Flushes the file's content to disk, so that it survives a power loss.
[[nodiscard]] TOsResult FlushFile(const std::string& path);
// Flushes the folder's entries to disk: names given, moved or removed in it
// survive a power loss.
[[nodiscard]] TOsResult FlushFolder(const std::string& folder);
// Cuts the file back to `size` bytes and flushes it to disk.
[[nodiscard]] TOsResult TruncateFile(const std::string& path, int64_t size);

}  // namespace platform
