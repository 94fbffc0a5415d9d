// Sends a pause or continue request to a service, for the service check
// under Wine, whose sc.exe knows only start, stop and query:
//
//   servicecontrol pause|continue NAME
//
// Exit status 0 when the manager took the request, else the system's error
// code (printed with its message).
#include <windows.h>

#include <cstdio>
#include <cwchar>

int wmain(int argc, wchar_t** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: servicecontrol pause|continue NAME\n");
    return 2;
  }
  DWORD control = 0;
  if (std::wcscmp(argv[1], L"pause") == 0) {
    control = SERVICE_CONTROL_PAUSE;
  } else if (std::wcscmp(argv[1], L"continue") == 0) {
    control = SERVICE_CONTROL_CONTINUE;
  } else {
    std::fprintf(stderr, "servicecontrol: unknown request\n");
    return 2;
  }
  SC_HANDLE scm = OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT);
  SC_HANDLE service = scm == nullptr ? nullptr : OpenServiceW(scm, argv[2], SERVICE_PAUSE_CONTINUE);
  SERVICE_STATUS status{};
  const bool sent = service != nullptr && ControlService(service, control, &status);
  const DWORD err = sent ? 0 : GetLastError();
  if (service != nullptr) CloseServiceHandle(service);
  if (scm != nullptr) CloseServiceHandle(scm);
  if (!sent) std::fprintf(stderr, "servicecontrol: error %lu\n", err);
  return static_cast<int>(err);
}
