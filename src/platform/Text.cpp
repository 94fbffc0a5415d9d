#include "platform/Text.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <limits>

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

// Decodes one UTF-8 sequence at s[i]; returns false for an invalid one
// (overlong forms, surrogates and values above U+10FFFF are invalid).
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

bool IsTrimmed(unsigned char c) {
  return c <= 32;
}

char LowerChar(char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<char>(c + 32) : c;
}

}  // namespace

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

bool NextLine(std::string_view text, size_t& pos, std::string_view& line) {
  const size_t n = text.size();
  if (pos >= n) return false;
  size_t brk = pos;
  while (brk < n && text[brk] != '\r' && text[brk] != '\n') ++brk;
  line = text.substr(pos, brk - pos);
  pos = brk;
  if (pos < n) {
    if (text[pos] == '\r' && pos + 1 < n && text[pos + 1] == '\n') ++pos;
    ++pos;
  }
  return true;
}

std::vector<std::string> SplitLines(std::string_view text) {
  std::vector<std::string> lines;
  size_t pos = 0;
  std::string_view line;
  while (NextLine(text, pos, line)) lines.emplace_back(line);
  return lines;
}

std::string_view TrimView(std::string_view s) {
  size_t b = 0, e = s.size();
  while (b < e && IsTrimmed(static_cast<unsigned char>(s[b]))) ++b;
  while (e > b && IsTrimmed(static_cast<unsigned char>(s[e - 1]))) --e;
  return s.substr(b, e - b);
}

std::string Trim(std::string_view s) {
  return std::string(TrimView(s));
}

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

bool StartsWith(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && s.substr(0, prefix.size()) == prefix;
}

bool StartsTextAscii(std::string_view s, std::string_view prefix) {
  return s.size() >= prefix.size() && SameTextAscii(s.substr(0, prefix.size()), prefix);
}

bool Contains(std::string_view s, std::string_view part) {
  return s.find(part) != std::string_view::npos;
}

std::string ReplaceAll(std::string_view s, std::string_view from, std::string_view to) {
  if (from.empty()) return std::string(s);
  std::string out;
  size_t pos = 0;
  while (true) {
    const size_t hit = s.find(from, pos);
    if (hit == std::string_view::npos) break;
    out.append(s.substr(pos, hit - pos));
    out.append(to);
    pos = hit + from.size();
  }
  out.append(s.substr(pos));
  return out;
}

std::vector<std::string> SplitKeepEmpty(std::string_view s, char delim) {
  std::vector<std::string> pieces;
  size_t start = 0;
  while (true) {
    const size_t hit = s.find(delim, start);
    if (hit == std::string_view::npos) {
      pieces.emplace_back(s.substr(start));
      return pieces;
    }
    pieces.emplace_back(s.substr(start, hit - start));
    start = hit + 1;
  }
}

bool TryStrToInt(std::string_view s, int32_t& value) {
  if (s.empty()) return false;
  size_t i = 0;
  bool negative = false;
  if (s[i] == '+' || s[i] == '-') {
    negative = s[i] == '-';
    ++i;
  }
  int base = 10;
  if (i < s.size() && s[i] == '$') {
    base = 16;
    ++i;
  } else if (i + 1 < s.size() && s[i] == '0' && (s[i + 1] == 'x' || s[i + 1] == 'X')) {
    base = 16;
    i += 2;
  }
  if (i >= s.size()) return false;
  int64_t acc = 0;
  for (; i < s.size(); ++i) {
    const char c = s[i];
    int digit;
    if (IsAsciiDigit(c)) {
      digit = c - '0';
    } else if (base == 16 && c >= 'a' && c <= 'f') {
      digit = c - 'a' + 10;
    } else if (base == 16 && c >= 'A' && c <= 'F') {
      digit = c - 'A' + 10;
    } else {
      return false;
    }
    acc = acc * base + digit;
    if (acc > static_cast<int64_t>(std::numeric_limits<int32_t>::max()) + 1) return false;
  }
  if (negative) acc = -acc;
  if (base == 16 && !negative && acc > std::numeric_limits<int32_t>::max()) {
    // "$FFFFFFFF" style values wrap to a negative Integer, as 32-bit hex does.
    if (acc > 0xFFFFFFFFLL) return false;
    acc = static_cast<int32_t>(static_cast<uint32_t>(acc));
  }
  if (acc < std::numeric_limits<int32_t>::min() || acc > std::numeric_limits<int32_t>::max())
    return false;
  value = static_cast<int32_t>(acc);
  return true;
}

int32_t StrToIntDef(std::string_view s, int32_t def) {
  int32_t v;
  return TryStrToInt(s, v) ? v : def;
}

int32_t DecimalToIntDef(std::string_view s, int32_t def) {
  const size_t start = (!s.empty() && (s[0] == '+' || s[0] == '-')) ? 1 : 0;
  if (!IsDigits(s.substr(start))) return def;
  return StrToIntDef(s, def);
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

std::string ExceptionText(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "exception inconnue";
  }
}

std::string Format(const char* fmt, ...) {
  va_list args;
  va_start(args, fmt);
  va_list copy;
  va_copy(copy, args);
  char small[512];
  const int n = std::vsnprintf(small, sizeof small, fmt, args);
  va_end(args);
  std::string out;
  if (n < 0) {
    va_end(copy);
    return out;
  }
  if (static_cast<size_t>(n) < sizeof small) {
    out.assign(small, static_cast<size_t>(n));
  } else {
    out.resize(static_cast<size_t>(n));
    std::vsnprintf(out.data(), out.size() + 1, fmt, copy);
  }
  va_end(copy);
  return out;
}

namespace {

template <typename THash>
THash Fnv1a(std::string_view bytes, THash basis, THash prime) {
  THash hash = basis;
  for (const char c : bytes) {
    hash ^= static_cast<unsigned char>(c);
    hash *= prime;
  }
  return hash;
}

}  // namespace

uint32_t Fnv1a32(std::string_view bytes) {
  return Fnv1a<uint32_t>(bytes, 2166136261u, 16777619u);
}

uint64_t Fnv1a64(std::string_view bytes) {
  return Fnv1a<uint64_t>(bytes, 14695981039346656037ULL, 1099511628211ULL);
}

}  // namespace platform
