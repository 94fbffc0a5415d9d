#include "support/Process.h"

#include <windows.h>

#include <stdlib.h>

#include <algorithm>
#include <mutex>

#include "platform/windows/WideText.h"

// <windows.h> turns the name into SetEnvironmentVariableW, which would
// define another function than the one the header declares.
#undef SetEnvironmentVariable

namespace testing_support {

namespace {

using platform::windows::Widen;

// Inheritable handles exist only while one program is being started, so
// that a program started from another thread never inherits them.
std::mutex GStartMutex;

HANDLE OpenInheritable(const std::string& path, DWORD access, DWORD disposition) {
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return CreateFileW(Widen(path).c_str(), access,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit, disposition,
                     FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Starts Command with Input (or the null device) as its input and its
// output and errors into OutputFile; null when it could not be started.
// The program's name is looked up the system's way (".exe" added, PATH).
HANDLE Spawn(const std::vector<std::string>& Command, const std::string& OutputFile,
             const std::string& Folder, HANDLE Input) {
  if (Command.empty()) return nullptr;
  std::wstring line;
  std::wstring program = Widen(Command[0]);
  std::replace(program.begin(), program.end(), L'/', L'\\');
  platform::windows::AppendCommandLineArgument(line, program);
  for (size_t i = 1; i < Command.size(); ++i) {
    line += L' ';
    platform::windows::AppendCommandLineArgument(line, Widen(Command[i]));
  }
  std::wstring folder = Widen(Folder);
  std::replace(folder.begin(), folder.end(), L'/', L'\\');

  std::lock_guard<std::mutex> lock(GStartMutex);
  HANDLE output = OpenInheritable(OutputFile.empty() ? "NUL" : OutputFile, GENERIC_WRITE,
                                  OutputFile.empty() ? OPEN_EXISTING : CREATE_ALWAYS);
  if (output == INVALID_HANDLE_VALUE) return nullptr;
  HANDLE input = Input;
  if (input != nullptr) SetHandleInformation(input, HANDLE_FLAG_INHERIT, HANDLE_FLAG_INHERIT);
  if (input == nullptr) input = OpenInheritable("NUL", GENERIC_READ, OPEN_EXISTING);
  if (input == INVALID_HANDLE_VALUE) {
    CloseHandle(output);
    return nullptr;
  }
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = input;
  startup.hStdOutput = output;
  startup.hStdError = output;
  PROCESS_INFORMATION info{};
  const BOOL started = CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr,
                                      folder.empty() ? nullptr : folder.c_str(), &startup, &info);
  CloseHandle(output);
  if (input != Input) CloseHandle(input);
  if (!started) return nullptr;
  CloseHandle(info.hThread);
  return info.hProcess;
}

// Waits for the program and closes its handle; its exit code, -1 when it
// cannot be known.
int WaitFor(HANDLE process) {
  DWORD code = 0;
  const bool known =
      WaitForSingleObject(process, INFINITE) == WAIT_OBJECT_0 && GetExitCodeProcess(process, &code);
  CloseHandle(process);
  return known ? static_cast<int>(code) : -1;
}

class TWindowsProgram : public TRunningProgram {
 public:
  TWindowsProgram(HANDLE Process, HANDLE Input) : process_(Process), input_(Input) {}
  ~TWindowsProgram() override {
    if (process_ != nullptr) (void)Wait();
  }
  // Lines end as a Windows console ends them, with CR LF.
  bool SendLine(const std::string& Line) override {
    const std::string bytes = Line + "\r\n";
    size_t done = 0;
    while (input_ != nullptr && done < bytes.size()) {
      DWORD n = 0;
      if (!WriteFile(input_, bytes.data() + done, static_cast<DWORD>(bytes.size() - done), &n,
                     nullptr) ||
          n == 0) {
        return false;
      }
      done += n;
    }
    return input_ != nullptr;
  }
  int Wait() override {
    if (input_ != nullptr) CloseHandle(input_);
    input_ = nullptr;
    if (process_ == nullptr) return -1;
    const int status = WaitFor(process_);
    process_ = nullptr;
    return status;
  }

 private:
  HANDLE process_;
  HANDLE input_;
};

}  // namespace

int RunProgram(const std::vector<std::string>& Command, const std::string& OutputFile,
               const std::string& Folder) {
  const HANDLE process = Spawn(Command, OutputFile, Folder, nullptr);
  return process == nullptr ? -1 : WaitFor(process);
}

std::unique_ptr<TRunningProgram> StartProgram(const std::vector<std::string>& Command,
                                              const std::string& OutputFile,
                                              const std::string& Folder) {
  // Only the reading end goes to the program (Spawn makes it inheritable):
  // it sees the end of its input once we close the writing end.
  HANDLE read = nullptr;
  HANDLE write = nullptr;
  if (!CreatePipe(&read, &write, nullptr, 0)) return nullptr;
  const HANDLE process = Spawn(Command, OutputFile, Folder, read);
  CloseHandle(read);
  if (process == nullptr) {
    CloseHandle(write);
    return nullptr;
  }
  return std::make_unique<TWindowsProgram>(process, write);
}

void SetEnvironmentVariable(const std::string& Name, const std::string& Value) {
  const std::wstring name = Widen(Name);
  const std::wstring value = Widen(Value);
  // The runtime's copy, which getenv reads (an empty value removes it), and
  // the system's, which GetEnvironmentVariableW and child processes read.
  _wputenv_s(name.c_str(), value.c_str());
  SetEnvironmentVariableW(name.c_str(), Value.empty() ? nullptr : value.c_str());
}

}  // namespace testing_support
