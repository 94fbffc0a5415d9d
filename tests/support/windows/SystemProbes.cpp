#include "support/SystemProbes.h"

#include <windows.h>

#include <sddl.h>

#include "platform/windows/WideText.h"

namespace testing_support {

namespace {

bool UnderWine() {
  const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool FolderExists(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
}

// A folder whose access list lets everyone read it and nobody, its owner
// and the administrators included, create anything in it. Made once in the
// temporary folder and kept (its owner may still change the list to remove
// it).
std::string ClosedFolder() {
  wchar_t temp[MAX_PATH + 1];
  const DWORD n = GetTempPathW(MAX_PATH + 1, temp);
  const std::wstring folder = std::wstring(temp, n > MAX_PATH ? 0 : n) + L"velmar-closed";
  if (!FolderExists(folder)) {
    // Protected (no inherited entries), one entry: read and traverse for
    // everyone, to this folder and whatever it would hold.
    SECURITY_ATTRIBUTES closed{sizeof(SECURITY_ATTRIBUTES), nullptr, FALSE};
    wchar_t sddl[] = L"D:P(A;OICI;GRGX;;;WD)";
    if (ConvertStringSecurityDescriptorToSecurityDescriptorW(
            sddl, SDDL_REVISION_1, &closed.lpSecurityDescriptor, nullptr)) {
      CreateDirectoryW(folder.c_str(), &closed);
      LocalFree(closed.lpSecurityDescriptor);
    }
  }
  return platform::windows::Narrow(folder);
}

}  // namespace

// Wine does not enforce access lists and runs the tests as a Unix user who
// may be root, so under Wine the Linux /proc (Wine's Z: drive is the Unix
// root) stands in: it exists, and nobody can create anything in it. On
// Windows, a folder whose access list refuses every write.
std::string UnwritableFolder() {
  if (UnderWine() && FolderExists(L"Z:\\proc")) return "Z:\\proc";
  return ClosedFolder();
}

bool ProcessRunning(int pid) {
  const HANDLE process =
      OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | SYNCHRONIZE, FALSE, static_cast<DWORD>(pid));
  if (process == nullptr) return false;
  DWORD code = 0;
  // A process that ends with STILL_ACTIVE as its code would read as running:
  // the wait tells them apart.
  const bool running = GetExitCodeProcess(process, &code) && code == STILL_ACTIVE &&
                       WaitForSingleObject(process, 0) == WAIT_TIMEOUT;
  CloseHandle(process);
  return running;
}

// Windows has no named pipe in the file system: the tests that need one
// skip themselves when this is refused.
bool MakeNamedPipe(const std::string& /*path*/) {
  return false;
}

std::string SystemLibraryName() {
  return "kernel32.dll";
}

std::string NotALibraryErrorCode() {
  return "193";
}

}  // namespace testing_support
