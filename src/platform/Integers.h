#pragma once

// Integers read from text (settings, fields of messages).

#include <cstdint>
#include <string_view>

namespace platform {

// Reads a signed 32-bit integer: optional sign and decimal digits, or a
// hexadecimal value written "$1F" / "0x1F". Anything else, or a value that
// does not fit, fails.
bool TryStrToInt(std::string_view s, int32_t& value);
int32_t StrToIntDef(std::string_view s, int32_t def);
// Decimal only: an optional sign and digits; `def` for anything else.
int32_t DecimalToIntDef(std::string_view s, int32_t def);

}  // namespace platform
