#pragma once

// Barcode reading with the ZBar library, loaded at run time.

#include <cstdint>
#include <string>

// A raster read in place: 32-bit pixels stored B, G, R, X in memory (Cairo's
// CAIRO_FORMAT_RGB24 on a little-endian machine), rows `Stride` bytes apart.
struct TRasterView {
  const uint8_t* Pixels = nullptr;
  int Width = 0;
  int Height = 0;
  int Stride = 0;
};

bool InitZBar(const std::string& Folder);
void FinalizeZBar();
bool ZBarAvailable();
// The accepted code read in rows Y1..Y2-1 of the raster, or an empty string.
std::string ZBarReadBarcode(const TRasterView* Raster, int Y1, int Y2);
