#pragma once

// Shared libraries loaded at run time, their entry points bound by name.
// A library that cannot be loaded is an ordinary outcome: the caller decides
// what it means (the barcode reader, for one, becomes unavailable).

#include <string>

#include "platform/OsResult.h"

namespace platform {

// An opened library; opaque outside the platform layer.
struct TDynLib;

// Any entry point; the caller casts it to the function type it expects.
using TDynProc = void (*)();

// Opens the library at `path`. A name without "/" is searched the system's
// way. On failure returns null and fills `error` (kind not_found when no such
// library exists, else failed; text "dlopen 'path': <system message>") and
// `errorCode` (a system error number, never 0: ENOENT for a missing library,
// EACCES for one that cannot be read, ENOEXEC for one that cannot be loaded).
TDynLib* OpenDynLib(const std::string& path, TOsResult& error, int& errorCode);

// The exported entry point `name`, or null when the library has none.
TDynProc DynLibProc(TDynLib* lib, const char* name);

// The file the library was loaded from, as the system reports it (the full
// path for a library found by name); empty for a null handle.
std::string DynLibPath(TDynLib* lib);

// Releases the library; a null handle is ignored. Entry points taken from it
// must not be called afterwards.
void CloseDynLib(TDynLib* lib);

}  // namespace platform
