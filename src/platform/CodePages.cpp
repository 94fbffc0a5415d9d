#include "platform/CodePages.h"

#include "platform/Strings.h"
#include "platform/Utf8.h"

namespace platform {

namespace {

// Unicode code points of the Windows-1252 bytes 0x80..0x9F. The five
// undefined bytes keep their own value (C1 controls), as Windows maps them.
constexpr char32_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char CodePointToAnsi(char32_t cp) {
  if (cp < 0x80 || (cp >= 0xA0 && cp <= 0xFF)) return static_cast<char>(cp);
  for (int i = 0; i < 32; ++i) {
    if (kCp1252High[i] == cp) return static_cast<char>(0x80 + i);
  }
  return '?';
}

std::string Utf16ToUtf8(std::string_view bytes, bool bigEndian) {
  std::string out;
  out.reserve(bytes.size());
  const size_t n = bytes.size() / 2;
  auto unit = [&](size_t k) -> char32_t {
    const auto a = static_cast<unsigned char>(bytes[2 * k]);
    const auto b = static_cast<unsigned char>(bytes[2 * k + 1]);
    return bigEndian ? static_cast<char32_t>((a << 8) | b) : static_cast<char32_t>((b << 8) | a);
  };
  for (size_t k = 0; k < n; ++k) {
    char32_t u = unit(k);
    if (u >= 0xD800 && u <= 0xDBFF && k + 1 < n) {
      const char32_t lo = unit(k + 1);
      if (lo >= 0xDC00 && lo <= 0xDFFF) {
        AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
        ++k;
        continue;
      }
    }
    if (u >= 0xD800 && u <= 0xDFFF) u = 0xFFFD;
    AppendUtf8(out, u);
  }
  return out;
}

}  // namespace

std::string Utf8ToAnsi(std::string_view utf8) {
  std::string out;
  out.reserve(utf8.size());
  size_t i = 0;
  while (i < utf8.size()) {
    char32_t cp;
    if (DecodeUtf8At(utf8, i, cp)) {
      out += CodePointToAnsi(cp);
    } else {
      out += '?';
      ++i;
    }
  }
  return out;
}

std::string AnsiToUtf8(std::string_view ansi) {
  std::string out;
  out.reserve(ansi.size() + ansi.size() / 8);
  for (char ch : ansi) {
    const auto b = static_cast<unsigned char>(ch);
    if (b < 0x80) {
      out += ch;
    } else if (b < 0xA0) {
      AppendUtf8(out, kCp1252High[b - 0x80]);
    } else {
      AppendUtf8(out, b);
    }
  }
  return out;
}

bool IsValidUtf8(std::string_view bytes) {
  size_t i = 0;
  char32_t cp;
  while (i < bytes.size()) {
    if (!DecodeUtf8At(bytes, i, cp)) return false;
  }
  return true;
}

std::string DecodeText(std::string_view bytes, TNoBomEncoding fallback) {
  const bool utf8Mark = StartsWith(bytes, "\xEF\xBB\xBF");
  if (fallback == TNoBomEncoding::utf8_or_ansi) {
    const std::string_view body = utf8Mark ? bytes.substr(3) : bytes;
    return IsValidUtf8(body) ? std::string(body) : AnsiToUtf8(body);
  }
  if (utf8Mark) {
    // A UTF-8 mark: keep what is valid, replace what is not.
    std::string_view body = bytes.substr(3);
    if (IsValidUtf8(body)) return std::string(body);
    std::string out;
    size_t i = 0;
    while (i < body.size()) {
      char32_t cp;
      if (DecodeUtf8At(body, i, cp)) {
        AppendUtf8(out, cp);
      } else {
        AppendUtf8(out, 0xFFFD);
        ++i;
      }
    }
    return out;
  }
  if (bytes.size() >= 2 && bytes.substr(0, 2) == "\xFF\xFE")
    return Utf16ToUtf8(bytes.substr(2), false);
  if (bytes.size() >= 2 && bytes.substr(0, 2) == "\xFE\xFF")
    return Utf16ToUtf8(bytes.substr(2), true);
  return AnsiToUtf8(bytes);
}

std::string_view DecodeTextView(std::string_view bytes, TNoBomEncoding fallback,
                                std::string& storage) {
  const std::string_view body = StartsWith(bytes, "\xEF\xBB\xBF") ? bytes.substr(3) : bytes;
  if ((fallback == TNoBomEncoding::utf8_or_ansi || body.size() < bytes.size()) &&
      IsValidUtf8(body)) {
    return body;
  }
  storage = DecodeText(bytes, fallback);
  return storage;
}

}  // namespace platform
