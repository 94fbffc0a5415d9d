#include "support/Process.h"

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>

extern char** environ;

namespace testing_support {

namespace {

// The status as a shell prints it: the exit code, or 128 + the signal.
int StatusOf(int raw) {
  if (WIFEXITED(raw)) return WEXITSTATUS(raw);
  if (WIFSIGNALED(raw)) return 128 + WTERMSIG(raw);
  return -1;
}

int WaitFor(pid_t pid) {
  int raw = 0;
  while (::waitpid(pid, &raw, 0) < 0) {
    if (errno != EINTR) return -1;
  }
  return StatusOf(raw);
}

// Starts Command with InputFd (or the null device) as its input; -1 when it
// could not be started.
pid_t Spawn(const std::vector<std::string>& Command, const std::string& OutputFile,
            const std::string& Folder, int InputFd, int CloseFd) {
  if (Command.empty()) return -1;
  std::vector<char*> argv;
  for (const std::string& a : Command) argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  if (!Folder.empty()) posix_spawn_file_actions_addchdir_np(&actions, Folder.c_str());
  if (InputFd >= 0) {
    posix_spawn_file_actions_adddup2(&actions, InputFd, STDIN_FILENO);
  } else {
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  }
  if (CloseFd >= 0) posix_spawn_file_actions_addclose(&actions, CloseFd);
  const std::string output = OutputFile.empty() ? "/dev/null" : OutputFile;
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, output.c_str(),
                                   O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_adddup2(&actions, STDOUT_FILENO, STDERR_FILENO);
  pid_t pid = -1;
  const int err = ::posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return err == 0 ? pid : -1;
}

class TPosixProgram : public TRunningProgram {
 public:
  TPosixProgram(pid_t Pid, int InputFd) : pid_(Pid), input_(InputFd) {}
  ~TPosixProgram() override {
    if (pid_ > 0) (void)Wait();
  }
  bool SendLine(const std::string& Line) override {
    const std::string bytes = Line + "\n";
    size_t done = 0;
    while (input_ >= 0 && done < bytes.size()) {
      const ssize_t n = ::write(input_, bytes.data() + done, bytes.size() - done);
      if (n < 0 && errno == EINTR) continue;
      if (n <= 0) return false;
      done += static_cast<size_t>(n);
    }
    return input_ >= 0;
  }
  int Wait() override {
    if (input_ >= 0) ::close(input_);
    input_ = -1;
    if (pid_ <= 0) return -1;
    const int status = WaitFor(pid_);
    pid_ = -1;
    return status;
  }

 private:
  pid_t pid_;
  int input_;
};

}  // namespace

int RunProgram(const std::vector<std::string>& Command, const std::string& OutputFile,
               const std::string& Folder) {
  const pid_t pid = Spawn(Command, OutputFile, Folder, -1, -1);
  return pid < 0 ? -1 : WaitFor(pid);
}

std::unique_ptr<TRunningProgram> StartProgram(const std::vector<std::string>& Command,
                                              const std::string& OutputFile,
                                              const std::string& Folder) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) return nullptr;
  // A program that stops reading must not end the test with SIGPIPE.
  ::signal(SIGPIPE, SIG_IGN);
  const pid_t pid = Spawn(Command, OutputFile, Folder, fds[0], fds[1]);
  ::close(fds[0]);
  if (pid < 0) {
    ::close(fds[1]);
    return nullptr;
  }
  return std::make_unique<TPosixProgram>(pid, fds[1]);
}

void SetEnvironmentVariable(const std::string& Name, const std::string& Value) {
  if (Value.empty()) {
    ::unsetenv(Name.c_str());
  } else {
    ::setenv(Name.c_str(), Value.c_str(), 1);
  }
}

}  // namespace testing_support
