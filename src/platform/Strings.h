#pragma once

// Byte-string rules the service uses everywhere: trimming, prefixes,
// replacing, splitting into pieces and into lines.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Removes leading and trailing characters whose code is 32 or less (blanks
// and control characters).
std::string Trim(std::string_view s);
// The same as a part of `s`, without a copy.
std::string_view TrimView(std::string_view s);

bool StartsWith(std::string_view s, std::string_view prefix);
bool Contains(std::string_view s, std::string_view part);

std::string ReplaceAll(std::string_view s, std::string_view from, std::string_view to);

// Splits at every occurrence of `delim`, keeping empty pieces ("a||b" gives
// a, "", b). An empty text gives one empty piece.
std::vector<std::string> SplitKeepEmpty(std::string_view s, char delim);

// Splits text into lines at CR LF, LF or CR. A final line break does not
// produce an empty last line; empty text gives no line.
std::vector<std::string> SplitLines(std::string_view text);
// The same one line at a time, without copies: the line that starts at
// `pos`, which then moves past its line break. False once no line is left.
bool NextLine(std::string_view text, size_t& pos, std::string_view& line);

}  // namespace platform
