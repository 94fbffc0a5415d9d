#include "platform/Utf8.h"

namespace platform {

namespace {

// Byte offset of the `count`-th character (or the end).
size_t Utf8Offset(std::string_view s, size_t count) {
  size_t i = 0;
  while (count > 0 && i < s.size()) {
    char32_t cp;
    if (!DecodeUtf8At(s, i, cp)) ++i;
    --count;
  }
  return i;
}

}  // namespace

bool DecodeUtf8At(std::string_view s, size_t& i, char32_t& cp) {
  const auto b0 = static_cast<unsigned char>(s[i]);
  if (b0 < 0x80) {
    cp = b0;
    ++i;
    return true;
  }
  int extra;
  char32_t min;
  if ((b0 & 0xE0) == 0xC0) {
    extra = 1, cp = b0 & 0x1F, min = 0x80;
  } else if ((b0 & 0xF0) == 0xE0) {
    extra = 2, cp = b0 & 0x0F, min = 0x800;
  } else if ((b0 & 0xF8) == 0xF0) {
    extra = 3, cp = b0 & 0x07, min = 0x10000;
  } else {
    return false;
  }
  if (i + static_cast<size_t>(extra) >= s.size()) return false;
  for (int k = 1; k <= extra; ++k) {
    const auto b = static_cast<unsigned char>(s[i + k]);
    if ((b & 0xC0) != 0x80) return false;
    cp = (cp << 6) | (b & 0x3F);
  }
  if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
  i += extra + 1;
  return true;
}

void AppendUtf8(std::string& out, char32_t cp) {
  if (cp < 0x80) {
    out += static_cast<char>(cp);
  } else if (cp < 0x800) {
    out += static_cast<char>(0xC0 | (cp >> 6));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else if (cp < 0x10000) {
    out += static_cast<char>(0xE0 | (cp >> 12));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (cp >> 18));
    out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (cp & 0x3F));
  }
}

std::vector<char32_t> Utf8CodePoints(std::string_view s) {
  std::vector<char32_t> cps;
  cps.reserve(s.size());
  size_t i = 0;
  while (i < s.size()) {
    char32_t cp;
    if (DecodeUtf8At(s, i, cp)) {
      cps.push_back(cp);
    } else {
      cps.push_back(0xFFFD);
      ++i;
    }
  }
  return cps;
}

size_t Utf8Length(std::string_view s) {
  size_t n = 0, i = 0;
  while (i < s.size()) {
    char32_t cp;
    if (!DecodeUtf8At(s, i, cp)) ++i;
    ++n;
  }
  return n;
}

std::string Utf8Left(std::string_view s, size_t count) {
  return std::string(s.substr(0, Utf8Offset(s, count)));
}

std::string Utf8Right(std::string_view s, size_t count) {
  const size_t len = Utf8Length(s);
  if (count >= len) return std::string(s);
  return std::string(s.substr(Utf8Offset(s, len - count)));
}

std::string Utf8Mid(std::string_view s, size_t start, size_t count) {
  const size_t b = Utf8Offset(s, start);
  const std::string_view rest = s.substr(b);
  return std::string(rest.substr(0, Utf8Offset(rest, count)));
}

}  // namespace platform
