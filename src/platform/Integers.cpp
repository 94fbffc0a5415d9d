#include "platform/Integers.h"

#include <limits>

#include "platform/Ascii.h"

namespace platform {

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

}  // namespace platform
