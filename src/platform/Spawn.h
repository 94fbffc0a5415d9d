#pragma once

// Running an outside program as a child process: no shell, an argument
// vector passed as it stands, a deadline after which the child (and every
// process it started) is killed, and its exit code. The child gets nothing
// of ours but its standard output and error; its standard input reads from
// the null device. It never outlives the service: the system ends it with
// the service (a process group and a parent-death signal on Linux, a job
// object killed on close on Windows), so a service killed outright takes it
// along. Nothing here logs.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace platform {

struct TSpawnResult {
  enum class TKind {
    exited,     // ended on its own: ExitCode holds its code
    died,       // ended abnormally (killed, crashed): Text says how, and
                // ExitCode holds the code the system shows for such an end
    timed_out,  // still running at the deadline: killed and reaped
    failed,     // could not be started (or waited for): Text says why
  };
  TKind Kind = TKind::failed;
  int ExitCode = 0;
  // "posix_spawn '/usr/bin/gs': No such file or directory",
  // "killed by signal 11 (SIGSEGV)", "ended with status 0xC0000005 (access
  // violation)"
  std::string Text;
};

// Runs `program` (a path, not looked up on the PATH) with `args` after the
// program name, in the current folder and environment, and waits at most
// `deadlineMs` milliseconds for it to end. On time-out the child and every
// process it started are killed, and the child waited for, before
// returning, so no process of the run is left behind. On Linux the child
// starts in a process group of its own, with every signal at its default
// action and none blocked, and is killed (SIGKILL) when the calling thread
// ends before it. `progress`, when
// given, is called about once a second while the child runs, on the calling
// thread (to tell a watchdog that the wait is a legitimate one).
TSpawnResult SpawnWithDeadline(const std::string& program, const std::vector<std::string>& args,
                               int64_t deadlineMs, const std::function<void()>& progress = {});

// The search list for programs: the environment's PATH, or the system's
// usual folders when PATH is not set.
std::string ProgramSearchPath();

// Full path of the first executable file `name` in the folders of
// `searchPath` (separated by the system's list separator, ":" on POSIX
// systems, ";" on Windows; empty entries are skipped, so the current folder
// is never searched implicitly). A name holding a path separator is taken
// as a path. Empty when nothing is found.
std::string FindProgramOnPath(const std::string& name, const std::string& searchPath);
std::string FindProgramOnPath(const std::string& name);

}  // namespace platform
