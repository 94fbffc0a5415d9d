// The running process on Windows: its executable, a debugger, the system's
// version, the environment.
#include <windows.h>

#include <string>

#include "platform/ProcessInfo.h"
#include "platform/windows/WideText.h"

namespace platform {

namespace {

// RtlGetVersion tells the real version; GetVersionExW answers 6.2 to a
// program whose manifest does not name the newer systems.
using TRtlGetVersion = LONG(WINAPI*)(OSVERSIONINFOW*);

std::string MachineName() {
  SYSTEM_INFO info{};
  GetNativeSystemInfo(&info);
  switch (info.wProcessorArchitecture) {
    case PROCESSOR_ARCHITECTURE_AMD64:
      return "x86_64";
    case PROCESSOR_ARCHITECTURE_ARM64:
      return "aarch64";
    case PROCESSOR_ARCHITECTURE_INTEL:
      return "x86";
    default:
      return "unknown";
  }
}

}  // namespace

std::string ExePath() {
  std::wstring buffer = windows::ModuleFileName(nullptr);
  // A program started by its long-path form reports it: the plain form is
  // the one the rest of the service writes and compares.
  if (buffer.rfind(L"\\\\?\\UNC\\", 0) == 0) {
    buffer = L"\\\\" + buffer.substr(8);
  } else if (buffer.rfind(L"\\\\?\\", 0) == 0) {
    buffer = buffer.substr(4);
  }
  return windows::Narrow(buffer);
}

bool DebuggerAttached() {
  return IsDebuggerPresent() != FALSE;
}

std::string PlatformName() {
  OSVERSIONINFOW version{};
  version.dwOSVersionInfoSize = sizeof version;
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  const auto rtlGetVersion =
      ntdll != nullptr ? reinterpret_cast<TRtlGetVersion>(
                             reinterpret_cast<void (*)()>(GetProcAddress(ntdll, "RtlGetVersion")))
                       : nullptr;
  if (rtlGetVersion == nullptr || rtlGetVersion(&version) != 0) return "Windows " + MachineName();
  return "Windows " + std::to_string(version.dwMajorVersion) + "." +
         std::to_string(version.dwMinorVersion) + " " + MachineName();
}

std::string GetEnv(const std::string& name) {
  const std::wstring wideName = windows::Widen(name);
  std::wstring value(256, L'\0');
  while (true) {
    const DWORD n =
        GetEnvironmentVariableW(wideName.c_str(), value.data(), static_cast<DWORD>(value.size()));
    if (n == 0) return {};  // not set, or set to nothing
    if (n < value.size()) {
      value.resize(n);
      return windows::Narrow(value);
    }
    // Too small: n is the size needed, its terminating NUL included.
    value.resize(n);
  }
}

void UseUtf8Console() {
  ::SetConsoleOutputCP(CP_UTF8);
}

}  // namespace platform
