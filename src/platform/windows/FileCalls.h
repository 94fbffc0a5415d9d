#pragma once

// The Windows file calls under the platform's file operations, for
// src/platform/windows/ only: opening with every sharing mode, writing,
// flushing, renaming and removing, each telling a recording test what it
// changed (successful calls only). Handles are the system's HANDLE and error
// codes its DWORD (0 for success), taken as void* and unsigned long so that
// this header needs no <windows.h>. Each call gives the error code taken at
// once: recording may make calls of its own that change the thread's last
// error.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/PlatformInternal.h"

namespace platform::windows {

// The largest piece handed to one ReadFile or WriteFile (their counts are 32-bit).
constexpr size_t kMaxIo = size_t{1} << 30;

// INVALID_HANDLE_VALUE.
inline void* NoHandle() {
  return reinterpret_cast<void*>(static_cast<std::intptr_t>(-1));
}

// Closes the handle on every path out of a function.
class THandle {
 public:
  explicit THandle(void* h) : FHandle(h) {}
  ~THandle();
  THandle(const THandle&) = delete;
  THandle& operator=(const THandle&) = delete;
  void* Get() const { return FHandle; }
  bool Valid() const { return FHandle != NoHandle(); }
  void* Release();
  // Closes now; false when the close failed (a delayed write error).
  bool Close();

 private:
  void* FHandle;
};

// CreateFileW with all three sharing modes, so the service never keeps an
// instrument from writing, renaming or deleting a file it reads.
void* Open(const std::string& path, unsigned long access, unsigned long disposition,
           unsigned long flags, unsigned long& err);
// Opens `path` for writing, creating it as `disposition` says (recorded).
void* OpenForWriting(const std::string& path, unsigned long disposition, unsigned long& err);
void* OpenForWriting(const std::string& path, unsigned long disposition, unsigned long& err,
                     unsigned long flags, unsigned long access);
// Removes the file; a read-only one too, as its folder allows.
unsigned long Unlink(const std::string& path);
// Renames `from` to `to`; with `replace` a file of that name is replaced,
// without it the rename fails when `to` exists. On the disk when it returns.
unsigned long Rename(const std::string& from, const std::string& to, bool replace);
unsigned long Flush(void* h, const std::string& path);
unsigned long SetSize(void* h, int64_t size);
// Takes the file back to `size` bytes (an append cut short), recorded.
void CutBack(void* h, const std::string& path, int64_t size);
// -1 when the system cannot say.
int64_t SizeOf(void* h);
// Writes all the bytes; with `atEnd` each piece goes to the end of the file
// whatever the file position, as an append must. The test write fault stops
// it halfway, as on a full disk.
unsigned long WriteAll(void* h, const std::string& path, std::string_view bytes,
                       bool atEnd = false);

void* Handle(internal::TFileHandle file);
internal::TFileHandle FileHandle(void* h);

// The attributes of the entry itself, INVALID_FILE_ATTRIBUTES when there is none.
unsigned long EntryAttributes(const std::string& path);
// What the path leads to, links and junctions followed: false when nothing
// is there (a link to nothing included).
bool Target(const std::string& path, unsigned long& attributes, int64_t& size);
// A file could not be opened: a folder says so rather than "access denied".
TOsResult OpenFailure(const std::string& operation, const std::string& path, unsigned long err);

// CON, PRN, AUX, NUL, COM1-9 and LPT1-9, with any extension, name devices
// in every folder.
bool IsDeviceName(std::string_view name);

}  // namespace platform::windows
