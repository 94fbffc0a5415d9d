#pragma once

// What tests need from the system under them beyond the platform layer: a
// folder nobody may write in, and whether a process is still alive. The
// only shared test code that knows where the system keeps such facts.

#include <string>

namespace testing_support {

// An existing folder where nothing can be created, not even by root (a
// read-only file system).
std::string UnwritableFolder();

// True while a process of that id exists and has not ended (a process that
// has ended but was not yet reaped counts as ended).
bool ProcessRunning(int pid);

// Makes a named pipe at `path` (opening it for reading would block until a
// writer comes); false when the system refuses.
bool MakeNamedPipe(const std::string& path);

// A library every machine of this system has, which is not the barcode
// library, and the error code the system gives for a file that is not a
// library at all.
std::string SystemLibraryName();
std::string NotALibraryErrorCode();

}  // namespace testing_support
