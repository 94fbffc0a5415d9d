#pragma once

// Internal to the platform layer: the seams between the logic every system
// shares (src/platform/*.cpp) and the system calls of one operating system
// (src/platform/<system>/*.cpp). Each system folder provides every function
// declared here; the shared code calls them. Only files of src/platform/
// include this header: the rest of the service uses the public headers and
// must not call anything declared here.

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Clock.h"
#include "platform/FaultSeam.h"
#include "platform/OsResult.h"

namespace platform::internal {

// --- Files ---------------------------------------------------------------------
// Appends to `names` the names (not paths) of the folder's entries that are
// not folders, hidden ones included, for which `accept(name)` is true, in the
// order the system gives them. `accept` is asked before anything costly
// (such as following a link) is done about an entry.
[[nodiscard]] TOsResult ListFolderFiles(const std::string& folder,
                                        const std::function<bool(std::string_view)>& accept,
                                        std::vector<std::string>& names);

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
// tells each successful change to RecordFileOp.
bool RecordingFiles();
void RecordFileOp(TFileOp op);

}  // namespace platform::internal
