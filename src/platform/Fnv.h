#pragma once

// FNV-1a hashes of the bytes: short identities for names and contents (not
// for security).

#include <cstdint>
#include <string_view>

namespace platform {

uint32_t Fnv1a32(std::string_view bytes);
uint64_t Fnv1a64(std::string_view bytes);

}  // namespace platform
