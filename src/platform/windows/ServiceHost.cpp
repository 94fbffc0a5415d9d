// The Windows service control manager: registering the service (with its
// description, its event-log source and its failure actions), removing it,
// and running the process as the service through the manager's dispatcher.
//
// Under the manager, the process's main thread sits in the dispatcher and
// runs the control handler; the handler only records each request and
// tells the manager it is pending. The service's own thread (the one the
// dispatcher starts) runs Start, then Execute, whose polling hands each
// recorded request to its handler and reports the state that follows. While
// a state is pending (a start, or a stop finishing the file in hand), a
// keeper thread moves the checkpoint on every second so the manager does not
// take the service for hung and kill it in the middle of a file.
#include "platform/ServiceHost.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <vector>

#include "platform/EventSink.h"
#include "platform/windows/OsErrors.h"
#include "platform/windows/WideText.h"

namespace platform {

using windows::SystemMessage;
using windows::Widen;

namespace {

// How long the manager is told to wait between two checkpoints.
constexpr DWORD kWaitHintMs = 10000;
// How long the system gives the service at shutdown (pre-shutdown): a file
// in hand is finished, a QC report too.
constexpr DWORD kPreshutdownMs = 180000;
// How long a removal waits for a stop that makes no progress at all.
constexpr auto kStopStallLimit = std::chrono::seconds(60);
// How long a removal waits for the stopped service's process to end.
constexpr DWORD kProcessEndLimitMs = 30000;

// The one service the process runs, while it runs.
enum class TRequest : int { none, stop, shutdown, pause, resume };

struct TRunState {
  const TServiceHandlers* Handlers = nullptr;
  std::wstring Name;
  SERVICE_STATUS_HANDLE StatusHandle = nullptr;
  std::mutex Lock;  // guards Status
  SERVICE_STATUS Status{};
  std::atomic<TRequest> Pending{TRequest::none};
  TServiceRunOutcome Outcome = TServiceRunOutcome::stopped;
  std::condition_variable Ended;
  bool Finished = false;
};

TRunState* GRun = nullptr;

bool IsPendingState(DWORD state) {
  return state == SERVICE_START_PENDING || state == SERVICE_STOP_PENDING ||
         state == SERVICE_PAUSE_PENDING || state == SERVICE_CONTINUE_PENDING;
}

// Tells the manager the service's state; a pending state carries a
// checkpoint and a wait hint, a stopped one its exit codes.
void ReportState(DWORD state, DWORD win32Exit = NO_ERROR, DWORD serviceExit = 0) {
  std::lock_guard<std::mutex> lock(GRun->Lock);
  SERVICE_STATUS& s = GRun->Status;
  s.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
  s.dwCurrentState = state;
  s.dwWin32ExitCode = win32Exit;
  s.dwServiceSpecificExitCode = serviceExit;
  s.dwControlsAccepted = 0;
  if (state == SERVICE_RUNNING || state == SERVICE_PAUSED) {
    s.dwControlsAccepted =
        SERVICE_ACCEPT_STOP | SERVICE_ACCEPT_PAUSE_CONTINUE | SERVICE_ACCEPT_PRESHUTDOWN;
  }
  s.dwCheckPoint = IsPendingState(state) ? 1 : 0;
  s.dwWaitHint = IsPendingState(state) ? kWaitHintMs : 0;
  ::SetServiceStatus(GRun->StatusHandle, &s);
}

// Every second while the state is pending, the next checkpoint; from its
// creation until it is destroyed.
class TPendingKeeper {
 public:
  TPendingKeeper() : FThread([] { Run(); }) {}
  ~TPendingKeeper() {
    {
      std::lock_guard<std::mutex> lock(GRun->Lock);
      GRun->Finished = true;
    }
    GRun->Ended.notify_all();
    FThread.join();
  }
  TPendingKeeper(const TPendingKeeper&) = delete;
  TPendingKeeper& operator=(const TPendingKeeper&) = delete;

 private:
  static void Run() {
    std::unique_lock<std::mutex> lock(GRun->Lock);
    while (!GRun->Finished) {
      GRun->Ended.wait_for(lock, std::chrono::seconds(1));
      if (GRun->Finished) break;
      if (IsPendingState(GRun->Status.dwCurrentState)) {
        ++GRun->Status.dwCheckPoint;
        ::SetServiceStatus(GRun->StatusHandle, &GRun->Status);
      }
    }
  }
  std::thread FThread;
};

DWORD WINAPI ControlHandler(DWORD control, DWORD /*eventType*/, LPVOID /*eventData*/,
                            LPVOID /*context*/) {
  switch (control) {
    case SERVICE_CONTROL_STOP:
      GRun->Pending = TRequest::stop;
      ReportState(SERVICE_STOP_PENDING);
      return NO_ERROR;
    case SERVICE_CONTROL_PRESHUTDOWN:
    case SERVICE_CONTROL_SHUTDOWN:
      GRun->Pending = TRequest::shutdown;
      ReportState(SERVICE_STOP_PENDING);
      return NO_ERROR;
    case SERVICE_CONTROL_PAUSE:
      GRun->Pending = TRequest::pause;
      ReportState(SERVICE_PAUSE_PENDING);
      return NO_ERROR;
    case SERVICE_CONTROL_CONTINUE:
      GRun->Pending = TRequest::resume;
      ReportState(SERVICE_CONTINUE_PENDING);
      return NO_ERROR;
    case SERVICE_CONTROL_INTERROGATE:
      return NO_ERROR;
    default:
      return ERROR_CALL_NOT_IMPLEMENTED;
  }
}

// One recorded request handed to its handler; true once the service must end.
bool ProcessRequest() {
  const TServiceHandlers& handlers = *GRun->Handlers;
  switch (GRun->Pending.exchange(TRequest::none)) {
    case TRequest::stop:
      handlers.Stop();
      return true;
    case TRequest::shutdown:
      handlers.Shutdown();
      return true;
    case TRequest::pause:
      handlers.Pause();
      ReportState(SERVICE_PAUSED);
      return false;
    case TRequest::resume:
      handlers.Continue();
      ReportState(SERVICE_RUNNING);
      return false;
    case TRequest::none:
      return false;
  }
  return false;
}

void ProvideRecovery(const std::wstring& name);

void WINAPI ServiceMain(DWORD /*argc*/, LPWSTR* /*argv*/) {
  GRun->StatusHandle = ::RegisterServiceCtrlHandlerExW(GRun->Name.c_str(), ControlHandler, nullptr);
  if (GRun->StatusHandle == nullptr) {
    GRun->Outcome = TServiceRunOutcome::not_connected;
    return;
  }
  ReportState(SERVICE_START_PENDING);
  ProvideRecovery(GRun->Name);
  const TServiceHandlers& handlers = *GRun->Handlers;
  bool started = false;
  int failedStatus = 1;
  {
    TPendingKeeper keeper;
    started = handlers.Start();
    if (started) {
      ReportState(SERVICE_RUNNING);
      handlers.Execute([] { return ProcessRequest(); });
    } else if (handlers.StartFailureStatus) {
      failedStatus = handlers.StartFailureStatus();
    }
  }
  if (!started) {
    // A failed start the manager can see: the service's own exit code, never
    // "success". A configuration error does not restart the service: failure
    // actions follow only a process that ends without reporting this.
    GRun->Outcome = TServiceRunOutcome::start_failed;
    ReportState(SERVICE_STOPPED, ERROR_SERVICE_SPECIFIC_ERROR, static_cast<DWORD>(failedStatus));
    return;
  }
  GRun->Outcome = TServiceRunOutcome::stopped;
  ReportState(SERVICE_STOPPED);
}

// Closes a service-manager handle on every path out of a function.
struct TScHandle {
  SC_HANDLE Handle;
  explicit TScHandle(SC_HANDLE h) : Handle(h) {}
  ~TScHandle() {
    if (Handle != nullptr) ::CloseServiceHandle(Handle);
  }
  TScHandle(const TScHandle&) = delete;
  TScHandle& operator=(const TScHandle&) = delete;
};

TOsResult Failure(const std::string& call, DWORD err) {
  return TOsResult::Failure(TOsResult::TKind::failed, call + ": " + SystemMessage(err),
                            static_cast<int>(err));
}

// Writes one value under HKEY_LOCAL_MACHINE\`key`, the key created when missing.
bool WriteMachineValue(const std::wstring& key, const wchar_t* name, DWORD type, const void* data,
                       DWORD size) {
  HKEY h = nullptr;
  if (::RegCreateKeyExW(HKEY_LOCAL_MACHINE, key.c_str(), 0, nullptr, 0, KEY_WRITE, nullptr, &h,
                        nullptr) != ERROR_SUCCESS) {
    return false;
  }
  const LONG written = ::RegSetValueExW(h, name, 0, type, static_cast<const BYTE*>(data), size);
  ::RegCloseKey(h);
  return written == ERROR_SUCCESS;
}

bool WriteMachineText(const std::wstring& key, const wchar_t* name, const std::wstring& text) {
  return WriteMachineValue(key, name, REG_SZ, text.c_str(),
                           static_cast<DWORD>((text.size() + 1) * sizeof(wchar_t)));
}

// After a crash (the process ended without reporting a stop), the manager
// starts the service again after a minute, three times within a day. A
// start refused for its configuration reports a stop with its own exit
// code, which is no crash: no restart then.
void SetRecovery(SC_HANDLE service) {
  SC_ACTION actions[3] = {
      {SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000}, {SC_ACTION_RESTART, 60000}};
  SERVICE_FAILURE_ACTIONSW failure{};
  failure.dwResetPeriod = 86400;
  failure.cActions = 3;
  failure.lpsaActions = actions;
  ::ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS, &failure);
  SERVICE_FAILURE_ACTIONS_FLAG onlyCrashes{FALSE};
  ::ChangeServiceConfig2W(service, SERVICE_CONFIG_FAILURE_ACTIONS_FLAG, &onlyCrashes);
  SERVICE_PRESHUTDOWN_INFO preshutdown{kPreshutdownMs};
  ::ChangeServiceConfig2W(service, SERVICE_CONFIG_PRESHUTDOWN_INFO, &preshutdown);
}

// A service registered without failure actions (the Windows package cannot
// write them) gets those of -install at its start; actions set by hand are
// kept. Under an account without the right to change its own registration,
// nothing changes.
void ProvideRecovery(const std::wstring& name) {
  TScHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CONNECT));
  if (scm.Handle == nullptr) return;
  // Restarting actions need the right to start the service too.
  TScHandle self(::OpenServiceW(scm.Handle, name.c_str(),
                                SERVICE_QUERY_CONFIG | SERVICE_CHANGE_CONFIG | SERVICE_START));
  if (self.Handle == nullptr) return;
  DWORD needed = 0;
  ::QueryServiceConfig2W(self.Handle, SERVICE_CONFIG_FAILURE_ACTIONS, nullptr, 0, &needed);
  std::vector<BYTE> buffer(std::max<DWORD>(needed, sizeof(SERVICE_FAILURE_ACTIONSW)));
  if (!::QueryServiceConfig2W(self.Handle, SERVICE_CONFIG_FAILURE_ACTIONS, buffer.data(),
                              static_cast<DWORD>(buffer.size()), &needed)) {
    return;
  }
  if (reinterpret_cast<const SERVICE_FAILURE_ACTIONSW*>(buffer.data())->cActions > 0) return;
  SetRecovery(self.Handle);
}

// Waits for the process that ran the service to end (it reports its stop
// just before): its executable can be replaced or removed afterwards.
void WaitForProcessEnd(DWORD processId) {
  if (processId == 0) return;
  HANDLE process = ::OpenProcess(SYNCHRONIZE, FALSE, processId);
  if (process == nullptr) return;
  ::WaitForSingleObject(process, kProcessEndLimitMs);
  ::CloseHandle(process);
}

// Waits for the service to stop: as long as it reports progress (a new
// state or checkpoint), and a minute at most without any.
bool WaitForStop(SC_HANDLE service, const std::function<void(const std::string&)>& progress) {
  SERVICE_STATUS_PROCESS status{};
  DWORD needed = 0;
  DWORD lastState = 0;
  DWORD lastCheckPoint = 0;
  auto lastProgress = std::chrono::steady_clock::now();
  auto lastShown = lastProgress;
  for (;;) {
    if (!::QueryServiceStatusEx(service, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&status),
                                sizeof status, &needed)) {
      return false;
    }
    if (status.dwCurrentState == SERVICE_STOPPED) return true;
    const auto now = std::chrono::steady_clock::now();
    if (status.dwCurrentState != lastState || status.dwCheckPoint != lastCheckPoint) {
      lastState = status.dwCurrentState;
      lastCheckPoint = status.dwCheckPoint;
      lastProgress = now;
    } else if (now - lastProgress > kStopStallLimit) {
      return false;
    }
    if (progress && now - lastShown >= std::chrono::seconds(5)) {
      progress("Arret du service en cours (fichier en cours de traitement)...");
      lastShown = now;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(250));
  }
}

}  // namespace

TServiceInstallResult RegisterService(const TServiceDescription& service) {
  TScHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_CREATE_SERVICE));
  if (scm.Handle == nullptr) {
    return {TInstallOutcome::no_rights, Failure("OpenSCManager", ::GetLastError())};
  }
  const std::wstring name = Widen(service.Name);
  const std::wstring exe = Widen(service.ExePath);
  const std::wstring quoted = L"\"" + exe + L"\"";
  TScHandle created(::CreateServiceW(scm.Handle, name.c_str(), Widen(service.DisplayName).c_str(),
                                     SERVICE_ALL_ACCESS, SERVICE_WIN32_OWN_PROCESS,
                                     SERVICE_AUTO_START, SERVICE_ERROR_NORMAL, quoted.c_str(),
                                     nullptr, nullptr, nullptr, nullptr, nullptr));
  if (created.Handle == nullptr) {
    const DWORD err = ::GetLastError();
    if (err == ERROR_SERVICE_EXISTS) {
      return {TInstallOutcome::already_installed, Failure("CreateService", err)};
    }
    return {TInstallOutcome::failed, Failure("CreateService", err)};
  }
  // The manager writes the service key's "Description" value itself.
  std::wstring description = Widen(service.Description);
  SERVICE_DESCRIPTIONW text{description.data()};
  ::ChangeServiceConfig2W(created.Handle, SERVICE_CONFIG_DESCRIPTION, &text);
  // The event log reads the message table from this file: the bare path
  // (quotes would make Event Viewer look for a file of that name).
  const std::wstring source =
      L"SYSTEM\\CurrentControlSet\\Services\\EventLog\\Application\\" + name;
  WriteMachineText(source, L"EventMessageFile", exe);
  const DWORD types = EVENTLOG_ERROR_TYPE | EVENTLOG_WARNING_TYPE | EVENTLOG_INFORMATION_TYPE;
  WriteMachineValue(source, L"TypesSupported", REG_DWORD, &types, sizeof types);
  SetRecovery(created.Handle);
  return {TInstallOutcome::installed, TOsResult::Success()};
}

TServiceUninstallResult UnregisterService(const TServiceDescription& service,
                                          const std::function<void(const std::string&)>& progress) {
  TScHandle scm(::OpenSCManagerW(nullptr, nullptr, SC_MANAGER_ALL_ACCESS));
  if (scm.Handle == nullptr) {
    return {TUninstallOutcome::no_rights, Failure("OpenSCManager", ::GetLastError())};
  }
  TScHandle existing(::OpenServiceW(scm.Handle, Widen(service.Name).c_str(), SERVICE_ALL_ACCESS));
  if (existing.Handle == nullptr) {
    return {TUninstallOutcome::not_installed, Failure("OpenService", ::GetLastError())};
  }
  // A stopped service refuses the request: no error. A running one finishes
  // the file in hand first, however long that takes.
  SERVICE_STATUS_PROCESS running{};
  DWORD needed = 0;
  ::QueryServiceStatusEx(existing.Handle, SC_STATUS_PROCESS_INFO, reinterpret_cast<BYTE*>(&running),
                         sizeof running, &needed);
  SERVICE_STATUS status{};
  if (::ControlService(existing.Handle, SERVICE_CONTROL_STOP, &status) &&
      WaitForStop(existing.Handle, progress)) {
    WaitForProcessEnd(running.dwProcessId);
  }
  if (!::DeleteService(existing.Handle)) {
    return {TUninstallOutcome::failed, Failure("DeleteService", ::GetLastError())};
  }
  return {TUninstallOutcome::uninstalled, TOsResult::Success()};
}

std::string ServiceManagerName() {
  return "Windows";
}

std::string ServiceStartCommandText(const std::string& name) {
  return "net start " + name;
}

TServiceRunResult RunUnderServiceManager(const std::string& name,
                                         const TServiceHandlers& handlers) {
  TRunState state;
  state.Handlers = &handlers;
  state.Name = Widen(name);
  GRun = &state;
  SERVICE_TABLE_ENTRYW table[] = {{state.Name.data(), ServiceMain}, {nullptr, nullptr}};
  if (!::StartServiceCtrlDispatcherW(table)) {
    const DWORD err = ::GetLastError();
    GRun = nullptr;
    return {TServiceRunOutcome::not_connected, SystemMessage(err)};
  }
  GRun = nullptr;
  if (state.Outcome == TServiceRunOutcome::not_connected) {
    return {TServiceRunOutcome::not_connected, "RegisterServiceCtrlHandlerEx"};
  }
  return {state.Outcome, {}};
}

// The manager's own hang detection covers the pending states (the keeper);
// a running service has no watchdog to tell.
void NotifyWatchdog() {}

// The manager shows no status text for a service.
void NotifyStatus(const std::string& /*text*/) {}

void ReportServiceError(const std::string& identifier, const std::string& message) {
  OpenSystemEventSink(identifier)->Report(TEventKind::error, 0, message);
}

}  // namespace platform
