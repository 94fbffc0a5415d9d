#pragma once

#include <string>

namespace platform {

// Full path of the running executable.
std::string ExePath();
// Folder of the running executable, with its trailing separator.
std::string ExeFolder();
// True when a debugger (or any tracer) is attached to the process.
bool DebuggerAttached();
// "Linux x86_64" or the like: the system name and the machine.
std::string PlatformName();
// The value of the environment variable `name`, empty when it is not set.
std::string GetEnv(const std::string& name);
// Makes a console the program writes to show its UTF-8 text as written
// (Windows consoles read another code page by default); nothing elsewhere.
void UseUtf8Console();

}  // namespace platform
