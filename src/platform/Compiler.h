#pragma once

// Compiler-specific annotations behind one name each. Every macro expands
// to nothing for a compiler without the feature, so code using it stays
// portable.

// Marks a printf-style function: argument `fmtIndex` is the format, checked
// by the compiler against the arguments from `firstArg` on (1-based).
#if defined(__GNUC__) || defined(__clang__)
#define VELMAR_PRINTF_FORMAT(fmtIndex, firstArg) __attribute__((format(printf, fmtIndex, firstArg)))
#else
#define VELMAR_PRINTF_FORMAT(fmtIndex, firstArg)
#endif
