#pragma once

// Characters (code points) of UTF-8 texts: counting them, and cutting a
// text so that a cut never splits a multi-byte character.

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Decodes the UTF-8 sequence that starts at s[i] (i < s.size()) into `cp`
// and moves `i` past it. False, `i` unchanged, for an invalid sequence:
// overlong forms, surrogates and values above U+10FFFF are invalid.
bool DecodeUtf8At(std::string_view s, size_t& i, char32_t& cp);
void AppendUtf8(std::string& out, char32_t cp);

// Number of characters of a UTF-8 text, and its first / last `count`
// characters (an invalid byte counts as one character).
size_t Utf8Length(std::string_view s);
std::string Utf8Left(std::string_view s, size_t count);
std::string Utf8Right(std::string_view s, size_t count);
std::string Utf8Mid(std::string_view s, size_t start, size_t count);  // start is 0-based
// Code points of a UTF-8 text (invalid bytes give U+FFFD).
std::vector<char32_t> Utf8CodePoints(std::string_view s);

}  // namespace platform
