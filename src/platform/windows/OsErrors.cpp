#include "platform/windows/OsErrors.h"

#include <windows.h>

#include <string>

#include "platform/windows/WideText.h"

namespace platform::windows {

namespace {

bool NetworkError(DWORD err) {
  switch (err) {
    case ERROR_BAD_NETPATH:
    case ERROR_NETNAME_DELETED:
    case ERROR_BAD_NET_NAME:
    case ERROR_NETWORK_UNREACHABLE:
    case ERROR_UNEXP_NET_ERR:
    case ERROR_DEV_NOT_EXIST:
    case ERROR_REM_NOT_LIST:
    case ERROR_NETWORK_BUSY:
    case ERROR_BAD_NET_RESP:
    case ERROR_HOST_UNREACHABLE:
    case ERROR_CONNECTION_ABORTED:
      return true;
    default:
      return false;
  }
}

bool MachineError(DWORD err) {
  switch (err) {
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
    case ERROR_WRITE_PROTECT:
    case ERROR_NOT_READY:
    case ERROR_CRC:
    case ERROR_IO_DEVICE:
    case ERROR_GEN_FAILURE:
    case ERROR_WRITE_FAULT:
    case ERROR_READ_FAULT:
    case ERROR_TOO_MANY_OPEN_FILES:
      return true;
    default:
      return NetworkError(err);
  }
}

TOsResult Failure(const std::string& context, DWORD err, bool environment) {
  // A folder named by a path that is a file (ERROR_DIRECTORY) is as missing
  // as a folder named by no path at all.
  const auto kind =
      (err == ERROR_FILE_NOT_FOUND || err == ERROR_PATH_NOT_FOUND || err == ERROR_DIRECTORY)
          ? TOsResult::TKind::not_found
          : TOsResult::TKind::failed;
  return TOsResult::Failure(kind, context + ": " + SystemMessage(err), static_cast<int>(err),
                            environment);
}

}  // namespace

std::string SystemMessage(unsigned long err) {
  wchar_t* buffer = nullptr;
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
      nullptr, err, 0, reinterpret_cast<wchar_t*>(&buffer), 0, nullptr);
  std::wstring wide;
  if (length > 0 && buffer != nullptr) wide.assign(buffer, length);
  if (buffer != nullptr) LocalFree(buffer);
  // The system ends its messages with ".\r\n"; the contexts read better
  // without, as "write 'a.xml': There is not enough space on the disk".
  while (!wide.empty() && (wide.back() == L'\n' || wide.back() == L'\r' || wide.back() == L' ' ||
                           wide.back() == L'.')) {
    wide.pop_back();
  }
  if (wide.empty()) return "error " + std::to_string(err);
  return Narrow(wide);
}

TOsResult Error(const std::string& context, unsigned long err) {
  return Failure(context, err, MachineError(err));
}

TOsResult WriteError(const std::string& context, unsigned long err) {
  const bool closed = err == ERROR_ACCESS_DENIED || err == ERROR_FILE_NOT_FOUND ||
                      err == ERROR_PATH_NOT_FOUND || err == ERROR_FILE_EXISTS ||
                      err == ERROR_ALREADY_EXISTS || err == ERROR_DIRECTORY ||
                      err == ERROR_SHARING_VIOLATION || err == ERROR_LOCK_VIOLATION;
  return Failure(context, err, closed || MachineError(err));
}

std::string Quoted(const std::string& path) {
  return "'" + path + "'";
}

}  // namespace platform::windows
