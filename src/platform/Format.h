#pragma once

// Texts made from values: printf-style formatting, and the text of an
// exception.

#include <exception>
#include <string>

#include "platform/Compiler.h"

namespace platform {

// printf-style formatting into a std::string, checked by the compiler.
std::string Format(const char* fmt, ...) VELMAR_PRINTF_FORMAT(1, 2);

// The text of an exception: what() of a std::exception, "exception inconnue"
// for anything else.
std::string ExceptionText(const std::exception_ptr& error);

}  // namespace platform
