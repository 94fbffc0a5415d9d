// A stand-in, in tests under Wine, for a Windows program the tests need:
// copied under that program's name, it runs the Linux program of the same
// name ("gswin64c.exe" runs Ghostscript's "gs", "xmllint.exe" runs
// "xmllint") with the same arguments and ends with its exit status. Wine
// starts a Linux program but cannot wait for it, so the program runs
// through /bin/sh, which writes the status into a file this stand-in waits
// for. Windows paths among the arguments (a whole argument,
// or the value after "=") become the Unix paths Wine maps them to.
#include <windows.h>

#include <shellapi.h>

#include <cstdio>
#include <string>
#include <vector>

#include "platform/windows/WideText.h"

namespace {

using platform::windows::AppendCommandLineArgument;
using platform::windows::Narrow;
using platform::windows::Widen;

using TUnixName = char*(__cdecl*)(const wchar_t*);

TUnixName UnixNameFunction() {
  HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  if (kernel == nullptr) return nullptr;
  return reinterpret_cast<TUnixName>(
      reinterpret_cast<void*>(GetProcAddress(kernel, "wine_get_unix_file_name")));
}

// "C:\x", "C:/x", or "\x" on the current drive (a folder of the settings
// written as on Linux, "/data", reaches the service's arguments so).
bool LooksLikeWindowsPath(const std::wstring& text) {
  if (text.size() >= 2 && text[0] == L'\\' && text[1] != L'\\') return true;
  return text.size() >= 3 && iswalpha(text[0]) && text[1] == L':' &&
         (text[2] == L'\\' || text[2] == L'/');
}

// The Unix path Wine maps a Windows path to; the text itself otherwise.
std::string UnixPath(TUnixName unixName, const std::wstring& path) {
  if (unixName == nullptr || !LooksLikeWindowsPath(path)) return Narrow(path);
  char* name = unixName(path.c_str());
  if (name == nullptr) return Narrow(path);
  std::string out(name);
  HeapFree(GetProcessHeap(), 0, name);
  return out;
}

std::string ShellQuoted(const std::string& text) {
  std::string out = "'";
  for (char c : text) out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  return out + "'";
}

// The Linux program this copy stands in for, from its own file name.
std::string UnixProgram() {
  wchar_t self[MAX_PATH + 1];
  const DWORD n = GetModuleFileNameW(nullptr, self, MAX_PATH + 1);
  std::wstring name(self, n > MAX_PATH ? 0 : n);
  name = name.substr(name.find_last_of(L"\\/") + 1);
  if (name.size() > 4 && _wcsicmp(name.c_str() + name.size() - 4, L".exe") == 0) {
    name.resize(name.size() - 4);
  }
  return _wcsicmp(name.c_str(), L"gswin64c") == 0 ? "gs" : Narrow(name);
}

}  // namespace

int wmain() {
  int argc = 0;
  wchar_t** argv = CommandLineToArgvW(GetCommandLineW(), &argc);
  if (argv == nullptr) return 255;
  const TUnixName unixName = UnixNameFunction();
  if (unixName == nullptr) {
    std::fprintf(stderr, "unixbridge: not running under Wine\n");
    return 255;
  }

  // By its full path, as the Linux service starts it (Ghostscript writes how
  // it was started into the PDF).
  std::string command = "\"$(command -v " + ShellQuoted(UnixProgram()) + ")\"";
  for (int i = 1; i < argc; ++i) {
    const std::wstring arg = argv[i];
    const size_t equals = arg.find(L'=');
    if (equals != std::wstring::npos && LooksLikeWindowsPath(arg.substr(equals + 1))) {
      command += " " + ShellQuoted(Narrow(arg.substr(0, equals + 1)) +
                                   UnixPath(unixName, arg.substr(equals + 1)));
    } else {
      command += " " + ShellQuoted(UnixPath(unixName, arg));
    }
  }

  // The status file, in the Windows temporary folder, known to the shell by
  // its Unix path.
  wchar_t tempFolder[MAX_PATH + 1];
  wchar_t statusPath[MAX_PATH + 1];
  if (GetTempPathW(MAX_PATH + 1, tempFolder) == 0 ||
      GetTempFileNameW(tempFolder, L"uxb", 0, statusPath) == 0) {
    return 255;
  }
  DeleteFileW(statusPath);
  const std::string statusUnix = UnixPath(unixName, statusPath);
  const std::string script = command + " </dev/null; echo $? > " +
                             ShellQuoted(statusUnix + ".part") + " && mv " +
                             ShellQuoted(statusUnix + ".part") + " " + ShellQuoted(statusUnix);

  std::wstring line = L"\"Z:\\bin\\sh\" -c ";
  AppendCommandLineArgument(line, Widen(script));
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessW(L"Z:\\bin\\sh", line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr,
                      &startup, &process)) {
    std::fprintf(stderr, "unixbridge: cannot start /bin/sh (%lu)\n", GetLastError());
    return 255;
  }
  if (process.hProcess != nullptr) CloseHandle(process.hProcess);
  if (process.hThread != nullptr) CloseHandle(process.hThread);

  // Whoever started this program bounds the wait (the service kills it at
  // its deadline).
  for (;;) {
    FILE* status = _wfopen(statusPath, L"rb");
    if (status != nullptr) {
      int code = 255;
      const int read = std::fscanf(status, "%d", &code);
      std::fclose(status);
      DeleteFileW(statusPath);
      return read == 1 ? code : 255;
    }
    Sleep(20);
  }
}
