#pragma once

// How the Windows files of the platform turn a failed system call into a
// TOsResult: for use inside src/platform/windows/ only. The error codes are
// the system's (GetLastError), taken as unsigned long so that this header
// needs no <windows.h>.

#include <string>

#include "platform/OsResult.h"

namespace platform::windows {

// The call's context and the system's message for `err`; not_found for a
// missing file or folder, or a folder that is a file. Marked an environment fault when the machine
// is to blame whatever the operation: a full or write-protected disk, a failing device, no handle
// left, a network share that went away.
TOsResult Error(const std::string& context, unsigned long err);

// A failure to create, write or rename into a destination: besides the
// machine's own errors, a destination folder that is missing, refuses the
// service, or holds a file another program keeps locked is the
// environment's fault too.
TOsResult WriteError(const std::string& context, unsigned long err);

// "'path'", as the contexts quote paths.
std::string Quoted(const std::string& path);

// The system's message for `err`, without its final full stop and line break.
std::string SystemMessage(unsigned long err);

}  // namespace platform::windows
