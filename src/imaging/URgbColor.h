#pragma once

// A 24-bit colour and the named colours of the composite pictures.

#include <cstdint>

struct TRgbColor {
  uint8_t R = 0;
  uint8_t G = 0;
  uint8_t B = 0;
  friend bool operator==(const TRgbColor&, const TRgbColor&) = default;
};

constexpr TRgbColor COLOR_WHITE{255, 255, 255};
constexpr TRgbColor COLOR_BLACK{0, 0, 0};
constexpr TRgbColor COLOR_NAVY{0, 0, 128};
constexpr TRgbColor COLOR_BLUE{0, 0, 255};
constexpr TRgbColor COLOR_RED{255, 0, 0};
constexpr TRgbColor COLOR_GOLD{255, 215, 0};
constexpr TRgbColor COLOR_SILVER{192, 192, 192};
constexpr TRgbColor COLOR_LIGHT_GREY{240, 240, 240};
