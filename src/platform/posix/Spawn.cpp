#include "platform/Spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "platform/Clock.h"
#include "platform/PlatformInternal.h"

extern char** environ;

namespace platform {

namespace {

constexpr const char* kDefaultSearchPath = "/usr/local/bin:/usr/bin:/bin";

void SleepMs(int64_t ms) {
  timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>((ms % 1000) * 1000000)};
  while (::nanosleep(&ts, &ts) != 0 && errno == EINTR) {
  }
}

TSpawnResult Failure(const std::string& context, int err) {
  TSpawnResult result;
  result.Kind = TSpawnResult::TKind::failed;
  result.Text = context + ": " + std::strerror(err);
  return result;
}

TSpawnResult FromStatus(int status) {
  TSpawnResult result;
  if (WIFEXITED(status)) {
    result.Kind = TSpawnResult::TKind::exited;
    result.ExitCode = WEXITSTATUS(status);
  } else {
    result.Kind = TSpawnResult::TKind::signalled;
    result.Signal = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
  }
  return result;
}

// Kills the child's whole process group (a script's own children too), then
// waits for the child itself so that no zombie is left.
void KillAndReap(pid_t pid) {
  ::kill(-pid, SIGKILL);
  ::kill(pid, SIGKILL);
  int status = 0;
  while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
  }
}

// Owns the spawn attribute and file-action objects for one call.
struct TSpawnSetup {
  posix_spawn_file_actions_t Actions;
  posix_spawnattr_t Attr;
  bool ActionsReady = false;
  bool AttrReady = false;

  ~TSpawnSetup() {
    if (ActionsReady) ::posix_spawn_file_actions_destroy(&Actions);
    if (AttrReady) ::posix_spawnattr_destroy(&Attr);
  }

  // 0 or an error number.
  int Prepare() {
    int rc = ::posix_spawn_file_actions_init(&Actions);
    if (rc != 0) return rc;
    ActionsReady = true;
    rc = ::posix_spawn_file_actions_addopen(&Actions, 0, "/dev/null", O_RDONLY, 0);
    // Whatever descriptor we hold, inherited or not, stays with us.
    if (rc == 0) rc = ::posix_spawn_file_actions_addclosefrom_np(&Actions, 3);
    if (rc != 0) return rc;

    rc = ::posix_spawnattr_init(&Attr);
    if (rc != 0) return rc;
    AttrReady = true;
    // Its own process group, so a time-out can kill whatever it started.
    rc = ::posix_spawnattr_setpgroup(&Attr, 0);
    sigset_t none;
    sigemptyset(&none);
    if (rc == 0) rc = ::posix_spawnattr_setsigmask(&Attr, &none);
    sigset_t all;
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    if (rc == 0) rc = ::posix_spawnattr_setsigdefault(&Attr, &all);
    if (rc == 0) {
      rc = ::posix_spawnattr_setflags(
          &Attr, POSIX_SPAWN_SETPGROUP | POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    }
    return rc;
  }
};

}  // namespace

TSpawnResult SpawnWithDeadline(const std::string& program, const std::vector<std::string>& args,
                               int64_t deadlineMs) {
  const std::string context = "posix_spawn '" + program + "'";
  std::vector<char*> argv;
  argv.reserve(args.size() + 2);
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  TSpawnSetup setup;
  if (const int rc = setup.Prepare(); rc != 0) return Failure(context, rc);

  pid_t pid = -1;
  const int rc =
      ::posix_spawn(&pid, program.c_str(), &setup.Actions, &setup.Attr, argv.data(), environ);
  if (rc != 0) return Failure(context, rc);

  // Poll with a short, growing pause: precise enough for a limit counted in
  // seconds, and free of any process-wide SIGCHLD handling.
  const int64_t start = MonotonicMs();
  int64_t pause = 1;
  while (true) {
    int status = 0;
    const pid_t r = ::waitpid(pid, &status, WNOHANG);
    if (r == pid) return FromStatus(status);
    if (r < 0 && errno != EINTR) {
      // The child is no longer ours to wait for (reaped elsewhere): its
      // outcome is unknown.
      return Failure("waitpid '" + program + "'", errno);
    }
    const int64_t elapsed = MonotonicMs() - start;
    if (elapsed >= deadlineMs) {
      KillAndReap(pid);
      TSpawnResult result;
      result.Kind = TSpawnResult::TKind::timed_out;
      return result;
    }
    SleepMs(std::min(pause, deadlineMs - elapsed));
    pause = std::min<int64_t>(pause * 2, 20);
  }
}

std::string ProgramSearchPath() {
  const char* path = std::getenv("PATH");
  return path != nullptr ? std::string(path) : std::string(kDefaultSearchPath);
}

char internal::SearchPathSeparator() {
  return ':';
}

bool internal::IsExecutableFile(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && ::access(path.c_str(), X_OK) == 0;
}

}  // namespace platform
