#pragma once

// Internal to the platform layer: the seams between the logic every system
// shares (src/platform/*.cpp) and the system calls of one operating system
// (src/platform/<system>/*.cpp). Each system folder provides every function
// declared here; the shared code calls them. Only files of src/platform/
// include this header: the rest of the service uses the public headers and
// must not call anything declared here.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Clock.h"
#include "platform/FaultSeam.h"
#include "platform/OsResult.h"

namespace platform::internal {

// --- Paths ---------------------------------------------------------------------
// Length of the root that starts `path`, separator included: 1 for "/" on
// Linux; on Windows 3 for "C:\", 2 for "C:", 1 for "\", and the whole
// "\\server\share\" for a network share. 0 for a relative path.
size_t PathRootLength(std::string_view path);
// This system's own rules for one file name, applied after the shared ones
// ("/", "\", NUL, "." and ".."): Linux has none; Windows refuses more
// characters, trailing dots and spaces, and device names.
void ApplySystemNameRules(std::string& name);

// --- Files ---------------------------------------------------------------------
// Appends to `names` the names (not paths) of the folder's entries that are
// not folders, hidden ones included, for which `accept(name)` is true, in the
// order the system gives them. `accept` is asked before anything costly
// (such as following a link) is done about an entry.
[[nodiscard]] TOsResult ListFolderFiles(const std::string& folder,
                                        const std::function<bool(std::string_view)>& accept,
                                        std::vector<std::string>& names);

// A file the system folder opened (a descriptor, a handle), opaque to the
// shared code; kNoFile when none.
using TFileHandle = std::intptr_t;
inline constexpr TFileHandle kNoFile = -1;

// The system calls under the shared file operations. Each failure comes
// back with the call and the path in its text ("write '.a.xml.tmp': No space
// left on device"). Every call that changes the disk asks WriteFaultDue
// first where it writes or renames, and tells RecordFileChange what it changed.
//
// Opens an existing file for reading and gives its size (-1 when unknown).
// A folder is refused, as a failure of `operation` ("read", "copy") on it.
[[nodiscard]] TOsResult OpenFileForReading(const std::string& path, const char* operation,
                                           TFileHandle& file, int64_t& size);
// Reads up to `size` bytes; `got` is 0 at the end of the file.
[[nodiscard]] TOsResult ReadFromFile(TFileHandle file, const std::string& path, char* buffer,
                                     size_t size, size_t& got);
// Creates the file, or empties an existing one, for writing.
[[nodiscard]] TOsResult CreateFileForWriting(const std::string& path, TFileHandle& file);
// Writes all the bytes. A write the test fault falls on writes half of them
// and fails as on a full disk.
[[nodiscard]] TOsResult WriteToFile(TFileHandle file, const std::string& path,
                                    std::string_view bytes);
// Flushes the file's content and size to disk; a failure is reported as a
// failure of `operation` ("fsync", or "write" where the flush ends a write).
[[nodiscard]] TOsResult FlushWrittenFile(TFileHandle file, const std::string& path,
                                         const char* operation);
// Closes the file, reporting a failed close (a delayed write error); the
// handle is closed whatever the outcome.
[[nodiscard]] TOsResult CloseWrittenFile(TFileHandle file, const std::string& path);
// Closes a file that is given up, without a report.
void CloseFile(TFileHandle file);
// Renames `from` over `to`, replacing a file of that name; a failure is a
// failure to write into the destination.
[[nodiscard]] TOsResult RenameOver(const std::string& from, const std::string& to);
// The failure of `context` on a full disk, as the test write fault gives it.
TOsResult DiskFullFailure(const std::string& context);

// The other way round: provided by the shared code (Files.cpp) and used by
// the system folder's file operations too.
//
// The hidden name beside `path` under which a new content is completed
// before it takes the final name: "." + name + ".tmp".
std::string TemporaryPath(const std::string& path);
// The folder holding `path`: "." for a bare name.
std::string FolderOf(const std::string& path);
// Renames the completed temporary file over `path`; the temporary file is
// removed when that fails.
[[nodiscard]] TOsResult RenameIntoPlace(const std::string& temp, const std::string& path);
// Flushes the folder holding `path`, so that a name just given, moved or
// removed in it survives a power loss. Best effort: a folder that cannot be
// opened is left.
void SyncFolderOf(const std::string& path);

// --- Clock ---------------------------------------------------------------------
// The local time as the system reports it (no test override).
TDateTime SystemNow();

// --- Programs ------------------------------------------------------------------
// The character between the folders of a program search list.
char SearchPathSeparator();
// True for an existing regular file the process may execute.
bool IsExecutableFile(const std::string& path);

// --- Test faults ---------------------------------------------------------------
// The other way round: provided by the shared code (FaultSeam.cpp) and asked
// by the system folder's file operations. Counts one write, rename or folder
// creation for SetWriteFaultForTesting; true when it is the one chosen to
// fail, which the caller then fails with ENOSPC. False at once while no
// fault is set.
bool WriteFaultDue();
// True while a test records the file layer's changes; the system folder then
// tells each successful change to RecordFileChange.
bool RecordingFiles();
// Records one successful change while a test records (nothing otherwise).
void RecordFileChange(TFileOp::TKind kind, const std::string& path, std::string_view data = {},
                      const std::string& target = {}, int64_t size = 0, bool truncate = false);

}  // namespace platform::internal
