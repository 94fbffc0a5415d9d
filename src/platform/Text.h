#pragma once

// Text helpers shared by every module: code-page conversion (UTF-8 in
// memory, Windows-1252 on disk for logs, flags, QC and upload files),
// decoding of text files by byte-order mark, and the small string rules the
// service uses everywhere (trimming, ASCII case folding, digits, integer
// parsing, printf-style formatting, the text of an exception).

#include <cstdint>
#include <exception>
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

// How the bytes of a text file are read.
enum class TNoBomEncoding {
  // A byte-order mark selects UTF-8, UTF-16 LE or UTF-16 BE; without one the
  // bytes are Windows-1252 (settings and target files).
  ansi,
  // Only a UTF-8 mark is known; the bytes after it, or all of them, are
  // UTF-8 when valid, else Windows-1252 (result files: older systems wrote
  // them in the Windows code page, sometimes behind a UTF-8 mark).
  utf8_or_ansi,
};

// Decodes a whole text file to UTF-8 by the rule of `fallback`; a mark is
// dropped. After a UTF-8 mark (`ansi` rule) invalid bytes become U+FFFD, as
// do unpaired UTF-16 surrogates.
std::string DecodeText(std::string_view bytes, TNoBomEncoding fallback);

// DecodeText without a copy when none is needed: a view of the bytes when
// they are UTF-8 as they stand (after a mark, which is dropped), else of
// `storage`, which then holds the decoded text.
std::string_view DecodeTextView(std::string_view bytes, TNoBomEncoding fallback,
                                std::string& storage);

// Splits text into lines at CR LF, LF or CR. A final line break does not
// produce an empty last line; empty text gives no line.
std::vector<std::string> SplitLines(std::string_view text);
// The same one line at a time, without copies: the line that starts at
// `pos`, which then moves past its line break. False once no line is left.
bool NextLine(std::string_view text, size_t& pos, std::string_view& line);

// --- String rules -------------------------------------------------------------

// Removes leading and trailing characters whose code is 32 or less (blanks
// and control characters).
std::string Trim(std::string_view s);
// The same as a part of `s`, without a copy.
std::string_view TrimView(std::string_view s);

// The decimal digits 0-9 only (no sign, no blank, no other script).
constexpr bool IsAsciiDigit(char c) {
  return c >= '0' && c <= '9';
}
// True when `s` is not empty and made of IsAsciiDigit characters only.
bool IsDigits(std::string_view s);

// Case folding of the ASCII letters a-z / A-Z only; other bytes unchanged.
constexpr char UpperAsciiChar(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}
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

// The text of an exception: what() of a std::exception, "exception inconnue"
// for anything else.
std::string ExceptionText(const std::exception_ptr& error);

// FNV-1a hashes of the bytes: short identities for names and contents (not
// for security).
uint32_t Fnv1a32(std::string_view bytes);
uint64_t Fnv1a64(std::string_view bytes);

// printf-style formatting into a std::string, checked by the compiler.
std::string Format(const char* fmt, ...) VELMAR_PRINTF_FORMAT(1, 2);

}  // namespace platform
