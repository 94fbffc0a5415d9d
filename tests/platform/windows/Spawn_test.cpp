#include "platform/Spawn.h"

#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "platform/Files.h"
#include "support/TempFolder.h"

using platform::SpawnWithDeadline;
using platform::TSpawnResult;

namespace {

// The system's command interpreter: it stands for Ghostscript here, a
// program that ends with a code of its own, or never ends.
std::string Cmd() {
  return platform::FindProgramOnPath("cmd.exe");
}

}  // namespace

class WindowsSpawnTest : public testing_support::TempFolderTest {};

// A child's exit code comes back as it is; a program that is not there is
// a failure to start, not a crash.
TEST_F(WindowsSpawnTest, ExitCodesAndMissingProgram) {
  ASSERT_FALSE(Cmd().empty());
  const TSpawnResult three = SpawnWithDeadline(Cmd(), {"/c", "exit 3"}, 30000);
  EXPECT_EQ(three.Kind, TSpawnResult::TKind::exited) << three.Text;
  EXPECT_EQ(three.ExitCode, 3);
  const TSpawnResult missing = SpawnWithDeadline(Path("none.exe"), {}, 30000);
  EXPECT_EQ(missing.Kind, TSpawnResult::TKind::failed);
  EXPECT_NE(missing.Text.find("none.exe"), std::string::npos) << missing.Text;
}

// A hung converter is ended at its deadline with what it started (the job
// object): the interpreter it started, which appends to a file for ever,
// writes nothing more once the run has returned.
TEST_F(WindowsSpawnTest, DeadlineEndsTheChildAndWhatItStarted) {
  ASSERT_FALSE(Cmd().empty());
  const std::string growing = Path("growing.txt");
  const std::string script = "start /b cmd /c for /l %i in (0,0,1) do @echo x>>" + growing +
                             " & for /l %j in (0,0,1) do @rem";
  const auto before = std::chrono::steady_clock::now();
  const TSpawnResult run = SpawnWithDeadline(Cmd(), {"/s", "/c", script}, 1500);
  EXPECT_EQ(run.Kind, TSpawnResult::TKind::timed_out) << run.Text;
  EXPECT_LT(std::chrono::steady_clock::now() - before, std::chrono::seconds(20));
  ASSERT_GT(platform::FileSize(growing), 0) << "the started interpreter never ran";
  const int64_t after = platform::FileSize(growing);
  std::this_thread::sleep_for(std::chrono::seconds(1));
  EXPECT_EQ(platform::FileSize(growing), after);
}
