#pragma once

// How the POSIX files of the platform turn a failed system call into a
// TOsResult: for use inside src/platform/posix/ only.

#include <string>

#include "platform/OsResult.h"

namespace platform::posix {

// The call's context and the system's message for `err`; not_found for a
// missing entry. Marked an environment fault when the machine is to blame
// whatever the operation: no space, a read-only or failing disk, no
// descriptor left.
TOsResult Error(const std::string& context, int err);

// A failure to create, write or rename into a destination: besides the
// machine's own errors, a destination folder that is missing, is not a
// folder, or refuses the service is the environment's fault too.
TOsResult WriteError(const std::string& context, int err);

// "'path'", as the contexts quote paths.
std::string Quoted(const std::string& path);

}  // namespace platform::posix
