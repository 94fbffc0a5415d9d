#pragma once

// UTF-8 inside the program, UTF-16 at the Windows system boundary: every
// text handed to or taken from a wide-character call goes through these.

#include <string>

namespace platform::windows {

// The UTF-16 form of a UTF-8 text; an invalid byte becomes U+FFFD.
std::wstring Widen(const std::string& text);
// The UTF-8 form of a UTF-16 text; a lone surrogate becomes U+FFFD.
std::string Narrow(const std::wstring& text);

// Appends `arg` to a command line as one argument, so that the C runtime's
// parser gives it back unchanged: quoted when it is empty or holds a blank
// or a quote, each quote escaped, and the backslashes before a quote (or
// before the closing quote) doubled. Backslashes elsewhere stand as they are.
void AppendCommandLineArgument(std::wstring& line, const std::wstring& arg);

// The file of a loaded module (an HMODULE; null for the program itself),
// however long its path; empty when the system does not say.
std::wstring ModuleFileName(void* module);

}  // namespace platform::windows
