#pragma once

// Shared by the files that define the processing thread's members
// (UServiceThread.cpp, UFilePipeline.cpp, UDoneFolder.cpp); nothing outside
// src/processing/ includes it.

namespace service_thread {

// The log category of every line the processing thread writes.
constexpr const char* kCat = "THREAD";

}  // namespace service_thread
