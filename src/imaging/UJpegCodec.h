#pragma once

// JPEG decoding and encoding with libjpeg-turbo, straight from and into the
// 32-bit pixels of a TRaster (no conversion pass). Every picture written is
// baseline, 24-bit colour, quality 90. libjpeg never ends the process here:
// its errors come back as false and a text, and a picture whose data stops
// early or is damaged (which libjpeg would only warn about, filling the rest
// with grey) counts as unreadable. Nothing here logs.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "imaging/UImageCanvas.h"

constexpr int JPEG_QUALITY = 90;

// The largest picture decoded: at most JPEG_MAX_SIDE pixels a side and
// JPEG_MAX_PIXELS pixels in all. A cassette photograph is a few thousand
// pixels a side; a larger one is refused from its header, before any pixel
// is allocated.
constexpr int JPEG_MAX_SIDE = 10000;
constexpr int64_t JPEG_MAX_PIXELS = 40000000;

// Width and height announced by the picture's header. Pictures above the
// size limits (JPEG_MAX_SIDE, JPEG_MAX_PIXELS) are refused.
bool ReadJpegSize(std::string_view Jpeg, int& Width, int& Height, std::string& Error);
// True for a picture whose header reads (within the size limits) and whose
// data runs to its end-of-image marker: what a power loss or a write cut
// short leaves (an empty file, a part of one) is not whole.
bool IsWholeJpeg(std::string_view Jpeg);

// Decodes the picture into Raster, sized to the picture (its pixels are
// re-used when the size already matches). Pictures above the size limits
// are refused before any pixel is allocated. On failure the raster's content
// is undefined.
bool DecodeJpeg(std::string_view Jpeg, TRaster& Raster, std::string& Error);

// Where DecodeJpegRows puts the picture, row by row. The functions are
// called from inside the decoder and must not throw.
struct TJpegRowTarget {
  void* Context = nullptr;
  // The output size is known; false (with a reason written to Error) stops
  // the decoding before any row is produced.
  bool (*Start)(void* Context, int Width, int Height, char* Error, size_t ErrorSize) = nullptr;
  // Where row Y goes: Width pixels of 4 bytes (B, G, R, X). Up to
  // JPEG_ROWS_PER_CALL rows are asked for before they are filled.
  uint8_t* (*Row)(void* Context, int Y) = nullptr;
  // Rows First..First+Count-1 are filled (may be null).
  void (*Done)(void* Context, int First, int Count) = nullptr;
};
constexpr int JPEG_ROWS_PER_CALL = 16;

// Decodes the picture row by row into Target (see DecodeJpeg).
bool DecodeJpegRows(std::string_view Jpeg, const TJpegRowTarget& Target, std::string& Error);

// Encodes the raster (baseline, quality JPEG_QUALITY, 4:2:0).
bool EncodeJpeg(const TRaster& Raster, std::string& Jpeg, std::string& Error);
