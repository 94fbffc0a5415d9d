#pragma once

// ASCII rules: decimal digits and the case folding of the letters a-z / A-Z,
// the only letters whose case the service ever ignores (names, keys,
// patterns). Other bytes, those of multi-byte characters included, are
// compared as they are.

#include <string>
#include <string_view>

namespace platform {

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
bool StartsTextAscii(std::string_view s, std::string_view prefix);

}  // namespace platform
