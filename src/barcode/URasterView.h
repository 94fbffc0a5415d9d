#pragma once

// A raster read in place by the barcode reader. Plain memory: whoever owns
// the pixels (the drawing surface, a test) hands out a view of them.

#include <cstdint>

// 32-bit pixels stored B, G, R, X in memory (the drawing surface's 24-bit
// format on a little-endian machine), rows `Stride` bytes apart.
struct TRasterView {
  const uint8_t* Pixels = nullptr;
  int Width = 0;
  int Height = 0;
  int Stride = 0;
};
