#include "platform/Spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/resource.h>
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
// How often a waiting caller hears that its child still runs.
constexpr int64_t kProgressIntervalMs = 1000;

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
    // Shown as a shell shows it: 128 + the signal number.
    const int sig = WIFSIGNALED(status) ? WTERMSIG(status) : 0;
    result.Kind = TSpawnResult::TKind::died;
    result.ExitCode = 128 + sig;
    const char* name = sig != 0 ? ::sigabbrev_np(sig) : nullptr;
    result.Text = sig == 0 ? std::string("ended abnormally")
                  : name != nullptr
                      ? "killed by signal " + std::to_string(sig) + " (SIG" + name + ")"
                      : "killed by signal " + std::to_string(sig);
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

// In the child: tells the parent why the program could not be started, and
// ends.
[[noreturn]] void ChildFail(int errFd, int err) {
  const ssize_t written = ::write(errFd, &err, sizeof err);
  (void)written;
  ::_exit(127);
}

// In the child: closes every descriptor from `first` on but `keep`.
void CloseDescriptorsFrom(int first, int keep) {
  const auto last = static_cast<unsigned>(~0U);
  int rc = 0;
  if (keep > first) rc = ::close_range(static_cast<unsigned>(first), keep - 1U, 0);
  if (rc == 0) rc = ::close_range(static_cast<unsigned>(keep) + 1U, last, 0);
  if (rc == 0) return;
  // Kernels without close_range: one by one, up to the descriptor limit.
  rlimit limit{};
  int top = 65536;
  if (::getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < static_cast<rlim_t>(top)) {
    top = static_cast<int>(limit.rlim_cur);
  }
  for (int fd = first; fd < top; ++fd) {
    if (fd != keep) ::close(fd);
  }
}

// In the child, between fork and exec, where only plain system calls are
// safe (another thread may have held any lock at the fork). Everything it
// uses was prepared before the fork.
[[noreturn]] void RunChild(const char* program, char* const* argv, pid_t parent, int errFd) {
  // The child ends with the service: the kernel kills it when the thread
  // that started it ends, a kill -9 of the service included.
  if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) ChildFail(errFd, errno);
  // The service already ended before the line above took effect.
  if (::getppid() != parent) ::_exit(127);
  // Its own process group, so a time-out can kill whatever it started.
  if (::setpgid(0, 0) != 0) ChildFail(errFd, errno);
  struct sigaction dfl {};
  dfl.sa_handler = SIG_DFL;
  sigemptyset(&dfl.sa_mask);
  for (int sig = 1; sig < NSIG; ++sig) {
    if (sig != SIGKILL && sig != SIGSTOP) ::sigaction(sig, &dfl, nullptr);
  }
  sigset_t none;
  sigemptyset(&none);
  ::sigprocmask(SIG_SETMASK, &none, nullptr);
  const int null = ::open("/dev/null", O_RDONLY);
  if (null < 0) ChildFail(errFd, errno);
  if (null != 0) {
    if (::dup2(null, 0) < 0) ChildFail(errFd, errno);
    ::close(null);
  }
  // Whatever descriptor we hold, inherited or not, stays with us.
  CloseDescriptorsFrom(3, errFd);
  ::execve(program, argv, environ);
  ChildFail(errFd, errno);
}

// A descriptor moved above the standard ones, so that the child's set-up of
// its standard input can never close it. -1 (and errno) on failure.
int AboveStandard(int fd) {
  if (fd > 2) return fd;
  const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
  const int err = errno;
  ::close(fd);
  errno = err;
  return moved;
}

}  // namespace

TSpawnResult SpawnWithDeadline(const std::string& program, const std::vector<std::string>& args,
                               int64_t deadlineMs, const std::function<void()>& progress) {
  // Failures name the start as they always have in the service's log.
  const std::string context = "posix_spawn '" + program + "'";
  std::vector<char*> argv;
  argv.reserve(args.size() + 2);
  argv.push_back(const_cast<char*>(program.c_str()));
  for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);

  // The child writes an error number here when it cannot start the program;
  // a successful exec closes the pipe without a word.
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return Failure(context, errno);
  fds[0] = AboveStandard(fds[0]);
  if (fds[0] >= 0) fds[1] = AboveStandard(fds[1]);
  if (fds[0] < 0 || fds[1] < 0) {
    const int err = errno;
    if (fds[0] >= 0) ::close(fds[0]);
    return Failure(context, err);
  }

  const pid_t parent = ::getpid();
  const pid_t pid = ::fork();
  if (pid < 0) {
    const int err = errno;
    ::close(fds[0]);
    ::close(fds[1]);
    return Failure(context, err);
  }
  if (pid == 0) {
    ::close(fds[0]);
    RunChild(program.c_str(), argv.data(), parent, fds[1]);
  }
  ::close(fds[1]);
  // Also from here, so that a kill at the deadline never misses the group
  // (refused once the child has started the program: it is done by then).
  ::setpgid(pid, pid);
  int childErr = 0;
  ssize_t n = 0;
  do {
    n = ::read(fds[0], &childErr, sizeof childErr);
  } while (n < 0 && errno == EINTR);
  ::close(fds[0]);
  if (n == static_cast<ssize_t>(sizeof childErr)) {
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    return Failure(context, childErr);
  }

  // Poll with a short, growing pause: precise enough for a limit counted in
  // seconds, and free of any process-wide SIGCHLD handling.
  const int64_t start = MonotonicMs();
  int64_t lastProgress = start;
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
    if (progress && start + elapsed - lastProgress >= kProgressIntervalMs) {
      lastProgress = start + elapsed;
      progress();
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
