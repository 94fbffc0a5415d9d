#include "platform/Ascii.h"

#include <algorithm>

namespace platform {

namespace {

char LowerChar(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

}  // namespace

bool IsDigits(std::string_view s) {
  return !s.empty() && std::all_of(s.begin(), s.end(), IsAsciiDigit);
}

std::string UpperAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = UpperAsciiChar(c);
  return out;
}

std::string LowerAscii(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = LowerChar(c);
  return out;
}

bool SameTextAscii(std::string_view a, std::string_view b) {
  return CompareTextAscii(a, b) == 0;
}

int CompareTextAscii(std::string_view a, std::string_view b) {
  const size_t n = std::min(a.size(), b.size());
  for (size_t i = 0; i < n; ++i) {
    const auto ca = static_cast<unsigned char>(UpperAsciiChar(a[i]));
    const auto cb = static_cast<unsigned char>(UpperAsciiChar(b[i]));
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

bool LessTextThenBytes(std::string_view a, std::string_view b) {
  const int c = CompareTextAscii(a, b);
  if (c != 0) return c < 0;
  return a < b;
}

bool StartsTextAscii(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && SameTextAscii(s.substr(0, prefix.size()), prefix);
}

}  // namespace platform
