#pragma once

// Running a program from a test: no shell, the arguments as they stand, its
// standard output and error sent to a file, and its exit status as a number
// (a program the system ended abnormally reads as the system prints it).

#include <memory>
#include <string>
#include <vector>

namespace testing_support {

// Runs Command (the program's path, or a name looked up on the PATH, then
// its arguments) in Folder (the current folder when empty), its output and
// errors into OutputFile (thrown away when empty), and waits for it; returns
// its exit status, or -1 when it could not be started.
int RunProgram(const std::vector<std::string>& Command, const std::string& OutputFile = "",
               const std::string& Folder = "");

// A program started with a pipe to its standard input, for the console mode.
class TRunningProgram {
 public:
  virtual ~TRunningProgram() = default;
  // Sends a line (a line end is added); false once the program stopped reading.
  virtual bool SendLine(const std::string& Line) = 0;
  // Closes its input and waits for it to end; returns its exit status.
  virtual int Wait() = 0;
};

// Starts Command as RunProgram does, reading its input from the pipe; null
// when it could not be started.
std::unique_ptr<TRunningProgram> StartProgram(const std::vector<std::string>& Command,
                                              const std::string& OutputFile,
                                              const std::string& Folder);

// Sets (or, with an empty value, removes) an environment variable of this
// process.
void SetEnvironmentVariable(const std::string& Name, const std::string& Value);

}  // namespace testing_support
