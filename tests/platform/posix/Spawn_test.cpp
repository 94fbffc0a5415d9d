// Child processes: argument vector without a shell, exit codes, signals,
// the deadline (the whole process group killed and reaped), descriptors
// kept from the child, and the program search.
#include "platform/Spawn.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <sstream>

#include "platform/Text.h"
#include "support/SystemProbes.h"
#include "support/TempFolder.h"

namespace {

using platform::SpawnWithDeadline;
using platform::TSpawnResult;
using testing_support::ProcessRunning;
using testing_support::ReadAll;
using testing_support::TempFolderTest;
using testing_support::WriteAll;

constexpr const char* kSh = "/bin/sh";

class SpawnTest : public TempFolderTest {};

TEST_F(SpawnTest, ReturnsExitCodeAndPassesArgumentsUntouched) {
  const std::string out = Path("arg.txt");
  // Characters a shell would read are handed over as they stand.
  const std::string tricky = "a b;$(touch x)|\"'%d*";
  const TSpawnResult r = SpawnWithDeadline(
      kSh, {"-c", "printf '%s' \"$1\" > \"$2\"; exit 3", "sh", tricky, out}, 10000);
  EXPECT_EQ(r.Kind, TSpawnResult::TKind::exited);
  EXPECT_EQ(r.ExitCode, 3);
  EXPECT_EQ(ReadAll(out), tricky);
  EXPECT_FALSE(std::filesystem::exists(Path("x")));
}

TEST_F(SpawnTest, ReportsSignalAndMissingProgram) {
  const TSpawnResult crashed = SpawnWithDeadline(kSh, {"-c", "kill -SEGV $$"}, 10000);
  EXPECT_EQ(crashed.Kind, TSpawnResult::TKind::died);
  EXPECT_EQ(crashed.ExitCode, 128 + 11);
  EXPECT_EQ(crashed.Text, "killed by signal 11 (SIGSEGV)");

  const TSpawnResult missing = SpawnWithDeadline(Path("nothing"), {}, 10000);
  EXPECT_EQ(missing.Kind, TSpawnResult::TKind::failed);
  EXPECT_NE(missing.Text.find(Path("nothing")), std::string::npos) << missing.Text;

  WriteAll(Path("plain"), "#!/bin/sh\nexit 0\n");  // not executable
  const TSpawnResult denied = SpawnWithDeadline(Path("plain"), {}, 10000);
  EXPECT_EQ(denied.Kind, TSpawnResult::TKind::failed);
}

TEST_F(SpawnTest, DeadlineKillsTheChildAndWhatItStarted) {
  const std::string pids = Path("pids.txt");
  // The script starts a grandchild, records both ids, and waits for ever.
  const TSpawnResult r =
      SpawnWithDeadline(kSh, {"-c", "sleep 600 & echo $$ $! > \"$1\"; wait", "sh", pids}, 1500);
  EXPECT_EQ(r.Kind, TSpawnResult::TKind::timed_out);
  std::istringstream in(ReadAll(pids));
  int shell = 0, grandchild = 0;
  in >> shell >> grandchild;
  ASSERT_GT(shell, 0);
  ASSERT_GT(grandchild, 0);
  // The child was reaped before returning; the grandchild got SIGKILL and
  // may take a moment to be collected by its new parent.
  EXPECT_FALSE(std::filesystem::exists("/proc/" + std::to_string(shell)));
  for (int i = 0; i < 200 && ProcessRunning(grandchild); ++i) ::usleep(10000);
  EXPECT_FALSE(ProcessRunning(grandchild));
}

TEST_F(SpawnTest, ChildEndsWithAServiceKilledOutright) {
  const std::string pidFile = Path("child.pid");
  // A stand-in service: it starts a long run and is killed with SIGKILL
  // while waiting for it, as kill -9 would.
  const pid_t service = ::fork();
  ASSERT_GE(service, 0);
  if (service == 0) {
    SpawnWithDeadline(
        kSh, {"-c", "echo $$ > \"$1.part\"; mv \"$1.part\" \"$1\"; exec sleep 600", "sh", pidFile},
        600000);
    ::_exit(0);
  }
  for (int i = 0; i < 1000 && !std::filesystem::exists(pidFile); ++i) ::usleep(10000);
  std::istringstream in(ReadAll(pidFile));
  int child = 0;
  in >> child;
  ::kill(service, SIGKILL);
  int status = 0;
  ::waitpid(service, &status, 0);
  ASSERT_GT(child, 0);
  for (int i = 0; i < 200 && ProcessRunning(child); ++i) ::usleep(10000);
  EXPECT_FALSE(ProcessRunning(child));
  if (ProcessRunning(child)) ::kill(child, SIGKILL);
}

TEST_F(SpawnTest, ChildGetsNoDescriptorOfOurs) {
  // Descriptors opened without close-on-exec, as a library might.
  const std::string leaked = Path("leaked-file.txt");
  WriteAll(leaked, "x");
  const int fd = ::open(leaked.c_str(), O_RDONLY);
  ASSERT_GE(fd, 0);
  int pipeFds[2];
  ASSERT_EQ(::pipe(pipeFds), 0);
  const std::string pipeName =
      std::filesystem::read_symlink("/proc/self/fd/" + std::to_string(pipeFds[0])).string();

  const std::string out = Path("fds.txt");
  const TSpawnResult r =
      SpawnWithDeadline(kSh, {"-c", "exec ls -l /proc/self/fd > \"$1\"", "sh", out}, 10000);
  ::close(fd);
  ::close(pipeFds[0]);
  ::close(pipeFds[1]);
  ASSERT_EQ(r.Kind, TSpawnResult::TKind::exited);
  EXPECT_EQ(r.ExitCode, 0);

  // Expected: 0 (/dev/null), 1 (the output file), 2, and the folder ls reads.
  const std::string listing = ReadAll(out);
  std::istringstream lines(listing);
  std::string line;
  int entries = 0;
  while (std::getline(lines, line)) {
    const size_t arrow = line.find(" -> ");
    if (arrow == std::string::npos) continue;
    ++entries;
    const std::string target = line.substr(arrow + 4);
    const std::string number = line.substr(0, arrow).substr(line.substr(0, arrow).rfind(' ') + 1);
    if (number == "0") {
      EXPECT_EQ(target, "/dev/null");
    } else if (number != "1" && number != "2") {
      EXPECT_TRUE(platform::StartsWith(target, "/proc/")) << line;
    }
  }
  EXPECT_LE(entries, 4) << listing;
  EXPECT_EQ(listing.find("leaked-file"), std::string::npos) << listing;
  EXPECT_EQ(listing.find(pipeName), std::string::npos) << listing;
}

TEST_F(SpawnTest, FindsExecutableProgramsOnTheSearchPath) {
  std::filesystem::create_directories(Path("a"));
  std::filesystem::create_directories(Path("b"));
  WriteAll(Path("a/tool"), "#!/bin/sh\n");  // not executable: skipped
  WriteAll(Path("b/tool"), "#!/bin/sh\n");
  std::filesystem::permissions(Path("b/tool"), std::filesystem::perms::owner_all);
  std::filesystem::create_directories(Path("a/dir"));

  const std::string search = Path("missing") + "::" + Path("a") + ":" + Path("b") + "/";
  EXPECT_EQ(platform::FindProgramOnPath("tool", search), Path("b/tool"));
  EXPECT_EQ(platform::FindProgramOnPath("dir", search), "");
  EXPECT_EQ(platform::FindProgramOnPath("tool", ""), "");
  EXPECT_EQ(platform::FindProgramOnPath(Path("b/tool"), ""), Path("b/tool"));
  EXPECT_EQ(platform::FindProgramOnPath("sh", "/bin"), "/bin/sh");
}

}  // namespace
