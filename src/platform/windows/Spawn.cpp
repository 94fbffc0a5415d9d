// Child processes on Windows: CreateProcessW with a command line quoted the
// way the C runtime splits it back into arguments, a wait with a deadline,
// and a job object that ends the child and whatever it started when the
// run is over or the service goes away.
#include <windows.h>

#include <algorithm>
#include <cstdio>

#include "platform/Ascii.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/PlatformInternal.h"
#include "platform/ProcessInfo.h"
#include "platform/Spawn.h"
#include "platform/windows/OsErrors.h"
#include "platform/windows/WideText.h"

namespace platform {

namespace {

using windows::AppendCommandLineArgument;
using windows::Quoted;
using windows::SystemMessage;
using windows::Widen;

// How often a waiting caller hears that its child still runs.
constexpr DWORD kProgressIntervalMs = 1000;

TSpawnResult Failure(const std::string& context, DWORD err) {
  TSpawnResult result;
  result.Kind = TSpawnResult::TKind::failed;
  result.Text = context + ": " + SystemMessage(err);
  return result;
}

// The program's own name comes first; the runtime reads it up to the next
// blank, or between quotes with no escapes, and a path cannot hold a quote.
std::wstring CommandLine(const std::wstring& program, const std::vector<std::string>& args) {
  std::wstring line = L"\"" + program + L"\"";
  for (const std::string& a : args) {
    line += L' ';
    AppendCommandLineArgument(line, Widen(a));
  }
  return line;
}

// The name of a well-known status a process ends with when it crashes.
const char* StatusName(DWORD code) {
  switch (code) {
    case 0xC0000005:
      return "access violation";
    case 0xC000001D:
      return "illegal instruction";
    case 0xC0000017:
      return "out of memory";
    case 0xC0000094:
      return "integer division by zero";
    case 0xC00000FD:
      return "stack overflow";
    case 0xC000013A:
      return "interrupted by Ctrl+C";
    case 0xC0000135:
      return "a DLL was not found";
    case 0xC0000142:
      return "a DLL failed to initialise";
    case 0xC0000409:
      return "stack buffer overrun";
    default:
      return nullptr;
  }
}

// An exit code in the range of the system's error statuses (0xC0000000 and
// above) is how Windows ends a crashed process: that is a death, reported
// with the code as a signed number, as the system prints it.
TSpawnResult FromExitCode(DWORD code) {
  TSpawnResult result;
  result.ExitCode = static_cast<int>(code);
  if (code < 0xC0000000) {
    result.Kind = TSpawnResult::TKind::exited;
    return result;
  }
  result.Kind = TSpawnResult::TKind::died;
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08lX", static_cast<unsigned long>(code));
  const char* name = StatusName(code);
  result.Text = std::string("ended with status ") + hex +
                (name != nullptr ? std::string(" (") + name + ")" : std::string());
  return result;
}

// An inheritable copy of `handle` for the child; the null device when the
// process has no such standard handle (a service has none).
HANDLE InheritableCopy(HANDLE handle) {
  HANDLE copy = nullptr;
  if (handle != nullptr && handle != INVALID_HANDLE_VALUE &&
      DuplicateHandle(GetCurrentProcess(), handle, GetCurrentProcess(), &copy, 0, TRUE,
                      DUPLICATE_SAME_ACCESS)) {
    return copy;
  }
  SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
  return CreateFileW(L"NUL", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE,
                     &inherit, OPEN_EXISTING, 0, nullptr);
}

// The handles the child inherits: the null device as its input, our output
// and error as its own. Closed when the run is over.
struct TStdHandles {
  HANDLE Handles[3] = {INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
  ~TStdHandles() {
    for (HANDLE h : Handles) {
      if (h != nullptr && h != INVALID_HANDLE_VALUE) CloseHandle(h);
    }
  }
  bool Open() {
    SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
    Handles[0] = CreateFileW(L"NUL", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                             OPEN_EXISTING, 0, nullptr);
    Handles[1] = InheritableCopy(GetStdHandle(STD_OUTPUT_HANDLE));
    Handles[2] = InheritableCopy(GetStdHandle(STD_ERROR_HANDLE));
    return std::none_of(std::begin(Handles), std::end(Handles),
                        [](HANDLE h) { return h == INVALID_HANDLE_VALUE; });
  }
};

// The attribute list that restricts inheritance to the three standard
// handles, so that no handle another thread made inheritable meanwhile
// reaches the child.
class THandleList {
 public:
  explicit THandleList(HANDLE* handles) {
    SIZE_T size = 0;
    InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
    FBuffer.resize(size);
    auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(FBuffer.data());
    if (size == 0 || !InitializeProcThreadAttributeList(list, 1, 0, &size)) return;
    FInitialized = true;
    if (UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, handles,
                                  3 * sizeof(HANDLE), nullptr, nullptr)) {
      FList = list;
    }
  }
  ~THandleList() {
    if (FInitialized) {
      DeleteProcThreadAttributeList(reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(FBuffer.data()));
    }
  }
  THandleList(const THandleList&) = delete;
  THandleList& operator=(const THandleList&) = delete;
  // Null when the system refused the list: every inheritable handle is then
  // inherited, as our own are opened non-inheritable that costs little.
  LPPROC_THREAD_ATTRIBUTE_LIST Get() const { return FList; }

 private:
  std::vector<char> FBuffer;
  bool FInitialized = false;
  LPPROC_THREAD_ATTRIBUTE_LIST FList = nullptr;
};

// A job that kills its processes when its last handle closes: ours is the
// only one, so the child ends when the run is over, and with the service
// when the service ends in any way, killed outright included.
HANDLE KillOnCloseJob() {
  HANDLE job = CreateJobObjectW(nullptr, nullptr);
  if (job == nullptr) return nullptr;
  JOBOBJECT_EXTENDED_LIMIT_INFORMATION limits{};
  limits.BasicLimitInformation.LimitFlags = JOB_OBJECT_LIMIT_KILL_ON_JOB_CLOSE;
  if (!SetInformationJobObject(job, JobObjectExtendedLimitInformation, &limits, sizeof limits)) {
    CloseHandle(job);
    return nullptr;
  }
  return job;
}

// Closes its handle at the end of the scope.
struct THandleCloser {
  HANDLE Handle = nullptr;
  ~THandleCloser() {
    if (Handle != nullptr && Handle != INVALID_HANDLE_VALUE) CloseHandle(Handle);
  }
};

}  // namespace

TSpawnResult SpawnWithDeadline(const std::string& program, const std::vector<std::string>& args,
                               int64_t deadlineMs, const std::function<void()>& progress) {
  const std::string context = "CreateProcess " + Quoted(program);
  const std::wstring path = Widen(ToSystemSeparators(program));
  std::wstring line = CommandLine(path, args);

  TStdHandles standard;
  if (!standard.Open()) return Failure(context, GetLastError());
  THandleList inherited(standard.Handles);

  STARTUPINFOEXW startup{};
  startup.StartupInfo.cb = sizeof startup;
  startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
  startup.StartupInfo.hStdInput = standard.Handles[0];
  startup.StartupInfo.hStdOutput = standard.Handles[1];
  startup.StartupInfo.hStdError = standard.Handles[2];
  startup.lpAttributeList = inherited.Get();

  // Started suspended so that it is in the job before it can start anything.
  DWORD flags = CREATE_SUSPENDED;
  if (inherited.Get() != nullptr) flags |= EXTENDED_STARTUPINFO_PRESENT;
  // Without a console of ours (as a service), a console program would get a
  // console window of its own.
  if (GetConsoleWindow() == nullptr) flags |= CREATE_NO_WINDOW;
  PROCESS_INFORMATION info{};
  // The application name is given, so the system never searches for the
  // program nor adds an extension to it.
  if (!CreateProcessW(path.c_str(), line.data(), nullptr, nullptr, TRUE, flags, nullptr, nullptr,
                      &startup.StartupInfo, &info)) {
    return Failure(context, GetLastError());
  }
  THandleCloser process{info.hProcess};
  THandleCloser thread{info.hThread};
  // A job refused (a system without nested jobs, with the service already in
  // one) leaves the child to be ended by itself at a time-out: the report
  // still gets made.
  THandleCloser job{KillOnCloseJob()};
  if (job.Handle != nullptr && !AssignProcessToJobObject(job.Handle, info.hProcess)) {
    CloseHandle(job.Handle);
    job.Handle = nullptr;
  }
  if (ResumeThread(info.hThread) == static_cast<DWORD>(-1)) {
    const DWORD err = GetLastError();
    TerminateProcess(info.hProcess, 1);
    WaitForSingleObject(info.hProcess, INFINITE);
    return Failure("ResumeThread " + Quoted(program), err);
  }

  const int64_t start = MonotonicMs();
  int64_t lastProgress = start;
  while (true) {
    const int64_t now = MonotonicMs();
    const int64_t left = start + deadlineMs - now;
    if (left <= 0) break;
    // At most until the next progress call, and never INFINITE.
    int64_t wait = std::min<int64_t>(left, 0x7FFFFFFF);
    if (progress) wait = std::min<int64_t>(wait, lastProgress + kProgressIntervalMs - now);
    const DWORD r =
        WaitForSingleObject(info.hProcess, static_cast<DWORD>(std::max<int64_t>(wait, 0)));
    if (r == WAIT_OBJECT_0) {
      DWORD code = 0;
      if (!GetExitCodeProcess(info.hProcess, &code)) {
        return Failure("GetExitCodeProcess " + Quoted(program), GetLastError());
      }
      return FromExitCode(code);
    }
    if (r == WAIT_FAILED) {
      const DWORD err = GetLastError();
      TerminateProcess(info.hProcess, 1);
      return Failure("WaitForSingleObject " + Quoted(program), err);
    }
    if (progress && MonotonicMs() - lastProgress >= kProgressIntervalMs) {
      lastProgress = MonotonicMs();
      progress();
    }
  }
  // The deadline: the whole job goes (what the child started too), then the
  // child is waited for, so nothing of the run is left when this returns.
  if (job.Handle != nullptr) TerminateJobObject(job.Handle, 1);
  TerminateProcess(info.hProcess, 1);
  WaitForSingleObject(info.hProcess, INFINITE);
  TSpawnResult result;
  result.Kind = TSpawnResult::TKind::timed_out;
  return result;
}

std::string ProgramSearchPath() {
  const std::string path = GetEnv("PATH");
  if (!path.empty()) return path;
  // The system's own folders, where the system looks when PATH is not set.
  wchar_t system[MAX_PATH];
  wchar_t windowsFolder[MAX_PATH];
  const UINT n = GetSystemDirectoryW(system, MAX_PATH);
  const UINT m = GetSystemWindowsDirectoryW(windowsFolder, MAX_PATH);
  std::string list;
  if (n > 0 && n < MAX_PATH) list = windows::Narrow(std::wstring(system, n));
  if (m > 0 && m < MAX_PATH) {
    if (!list.empty()) list += ';';
    list += windows::Narrow(std::wstring(windowsFolder, m));
  }
  return list;
}

char internal::SearchPathSeparator() {
  return ';';
}

// Windows runs a file by its extension, not by a permission bit: a regular
// file named like a program the system starts is executable.
bool internal::IsExecutableFile(const std::string& path) {
  const DWORD attributes = GetFileAttributesW(Widen(path).c_str());
  if (attributes == INVALID_FILE_ATTRIBUTES ||
      (attributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_DEVICE)) != 0) {
    return false;
  }
  const std::string ext = LowerAscii(ExtractFileExt(path));
  return ext == ".exe" || ext == ".com" || ext == ".bat" || ext == ".cmd";
}

}  // namespace platform
