#include "platform/Fnv.h"

namespace platform {

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
