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

// Opens the library at `path` into `lib`. A name without a path separator
// is searched the system's way. On failure `lib` is null and the result says
// why: not_found when no such library exists, else failed; its text names
// the call and the path ("dlopen 'path': <system message>", "LoadLibrary
// 'path': ...") and its code the system's number for the failure, never
// 0 (the one for a missing file, for a file that cannot be read, or for one
// that is not a loadable library).
[[nodiscard]] TOsResult OpenDynLib(const std::string& path, TDynLib*& lib);

// The exported entry point `name`, or null when the library has none.
TDynProc DynLibProc(TDynLib* lib, const char* name);

// The file the library was loaded from, as the system reports it (the full
// path for a library found by name); empty for a null handle.
std::string DynLibPath(TDynLib* lib);

// Releases the library; a null handle is ignored. Entry points taken from it
// must not be called afterwards.
void CloseDynLib(TDynLib* lib);

}  // namespace platform
