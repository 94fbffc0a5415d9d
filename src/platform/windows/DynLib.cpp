// Libraries loaded at run time on Windows: LoadLibraryW, GetProcAddress,
// FreeLibrary.
#include <windows.h>

#include <algorithm>

#include "platform/DynLib.h"
#include "platform/Files.h"
#include "platform/windows/OsErrors.h"
#include "platform/windows/WideText.h"

namespace platform {

// The module handle, behind the opaque type of the header.
struct TDynLib {
  HMODULE Handle = nullptr;
};

TOsResult OpenDynLib(const std::string& path, TDynLib*& lib) {
  lib = nullptr;
  // The loader wants "\" in a path: with "/" it may take the whole text for
  // a module name.
  const std::wstring wide = windows::Widen(ToSystemSeparators(path));
  // A library that cannot be loaded is reported here, never by a message
  // box that would wait for someone to click it.
  DWORD previousMode = 0;
  const bool quiet =
      SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previousMode) != 0;
  HMODULE handle = LoadLibraryW(wide.c_str());
  DWORD err = handle == nullptr ? GetLastError() : ERROR_SUCCESS;
  if (quiet) SetThreadErrorMode(previousMode, nullptr);
  if (handle == nullptr) {
    if (err == ERROR_SUCCESS) err = ERROR_MOD_NOT_FOUND;  // the code is never 0
    TOsResult result = windows::Error("LoadLibrary " + windows::Quoted(path), err);
    // 126 also stands for a library that is there but needs one that is
    // not: only a library that is itself missing is not_found.
    const bool present = std::any_of(path.begin(), path.end(), IsPathDelimiter) &&
                         GetFileAttributesW(wide.c_str()) != INVALID_FILE_ATTRIBUTES;
    const bool missing = !present && (err == ERROR_MOD_NOT_FOUND || err == ERROR_FILE_NOT_FOUND ||
                                      err == ERROR_PATH_NOT_FOUND);
    result.Kind = missing ? TOsResult::TKind::not_found : TOsResult::TKind::failed;
    return result;
  }
  lib = new TDynLib{handle};
  return TOsResult::Success();
}

TDynProc DynLibProc(TDynLib* lib, const char* name) {
  if (lib == nullptr || name == nullptr) return nullptr;
  // FARPROC and TDynProc are both "some function": the caller casts it to
  // the type it expects.
  return reinterpret_cast<TDynProc>(GetProcAddress(lib->Handle, name));
}

std::string DynLibPath(TDynLib* lib) {
  if (lib == nullptr) return {};
  return windows::Narrow(windows::ModuleFileName(lib->Handle));
}

void CloseDynLib(TDynLib* lib) {
  if (lib == nullptr) return;
  FreeLibrary(lib->Handle);
  delete lib;
}

}  // namespace platform
