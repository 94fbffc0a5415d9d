#pragma once

// Text helpers shared by every module: code-page conversion (UTF-8 in
// memory, Windows-1252 on disk for logs, flags, QC and upload files),
// decoding of text files by byte-order mark, and the small string rules the
// service uses everywhere (trimming, ASCII case folding, integer parsing,
// printf-style formatting).

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Compiler.h"

namespace platform {

// --- Code pages ---------------------------------------------------------------

// UTF-8 to Windows-1252. Characters without a Windows-1252 form become "?";
// invalid UTF-8 bytes become "?" too.
std::string Utf8ToAnsi(std::string_view utf8);

// Windows-1252 to UTF-8. Every byte has a form (the five undefined bytes map
// to the C1 control characters of the same value, as Windows does).
std::string AnsiToUtf8(std::string_view ansi);

bool IsValidUtf8(std::string_view bytes);

// How bytes without a byte-order mark are read.
enum class TNoBomEncoding {
  ansi,          // Windows-1252
  utf8_or_ansi,  // UTF-8 when the bytes are valid UTF-8, else Windows-1252
};

// Decodes a whole text file to UTF-8: a byte-order mark selects UTF-8,
// UTF-16 LE or UTF-16 BE (and is dropped); without one, `fallback` decides.
// Unpaired UTF-16 surrogates become U+FFFD.
std::string DecodeText(std::string_view bytes, TNoBomEncoding fallback);

// Splits text into lines at CR LF, LF or CR. A final line break does not
// produce an empty last line; empty text gives no line.
std::vector<std::string> SplitLines(std::string_view text);

// --- String rules -------------------------------------------------------------

// Removes leading and trailing characters whose code is 32 or less (blanks
// and control characters).
std::string Trim(std::string_view s);
std::string TrimLeft(std::string_view s);
std::string TrimRight(std::string_view s);

// Case folding of the ASCII letters a-z / A-Z only; other bytes unchanged.
std::string UpperAscii(std::string_view s);
std::string LowerAscii(std::string_view s);
bool SameTextAscii(std::string_view a, std::string_view b);
// <0, 0, >0 comparing with ASCII letters folded to upper case.
int CompareTextAscii(std::string_view a, std::string_view b);
// Case-insensitive order with ties broken by the bytes (a strict weak order).
bool LessTextThenBytes(std::string_view a, std::string_view b);
bool StartsWith(std::string_view s, std::string_view prefix);
bool StartsTextAscii(std::string_view s, std::string_view prefix);
bool Contains(std::string_view s, std::string_view part);
bool ContainsTextAscii(std::string_view s, std::string_view part);

std::string ReplaceAll(std::string_view s, std::string_view from, std::string_view to);

// Splits at every occurrence of `delim`, keeping empty pieces ("a||b" gives
// a, "", b). An empty text gives one empty piece.
std::vector<std::string> SplitKeepEmpty(std::string_view s, char delim);

// Reads a signed 32-bit integer: optional sign and decimal digits, or a
// hexadecimal value written "$1F" / "0x1F". Anything else, or a value that
// does not fit, fails.
bool TryStrToInt(std::string_view s, int32_t& value);
int32_t StrToIntDef(std::string_view s, int32_t def);
// Decimal only: an optional sign and digits; `def` for anything else.
int32_t DecimalToIntDef(std::string_view s, int32_t def);

// Number of characters (code points) of a UTF-8 text, and its first / last
// `count` characters, so that cuts never split a multi-byte character.
size_t Utf8Length(std::string_view s);
std::string Utf8Left(std::string_view s, size_t count);
std::string Utf8Right(std::string_view s, size_t count);
std::string Utf8Mid(std::string_view s, size_t start, size_t count);  // start is 0-based
// Code points of a UTF-8 text (invalid bytes give U+FFFD).
std::vector<char32_t> Utf8CodePoints(std::string_view s);
void AppendUtf8(std::string& out, char32_t cp);

// printf-style formatting into a std::string, checked by the compiler.
std::string Format(const char* fmt, ...) VELMAR_PRINTF_FORMAT(1, 2);

}  // namespace platform
