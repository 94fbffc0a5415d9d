#pragma once

// Code pages: UTF-8 in memory, Windows-1252 on disk for logs, flags, QC and
// upload files, and the decoding of whole text files by byte-order mark.

#include <string>
#include <string_view>

namespace platform {

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

}  // namespace platform
