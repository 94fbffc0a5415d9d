#pragma once

// Barcode reading with the ZBar library, loaded at run time.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "barcode/URasterView.h"

// Loads the library and binds its entry points: the copy in the executable's
// Folder under the first of platform::BarcodeLibraryNames() when there is
// one, else each of those names the system's way. False (logged) leaves the
// reader unavailable; a later call tries again.
bool InitZBar(const std::string& Folder);
void FinalizeZBar();
bool ZBarAvailable();
// The accepted code read in rows Y1..Y2-1 of the raster, or an empty string.
std::string ZBarReadBarcode(const TRasterView* Raster, int Y1, int Y2);

// --- Supporting operations ------------------------------------------------------

// Image format code of 8-bit grey pixels ("Y800" as a little-endian integer).
constexpr unsigned long ZBAR_FMT_Y800 = 0x30303859UL;
// Threshold of the first two decoding passes.
constexpr int ZBAR_FIXED_THRESHOLD = 83;
// White columns added on each side of a grey band (quiet zones).
constexpr int ZBAR_MARGIN = 50;

// ZBar's image scanner (declared by the library's header, used by pointer).
namespace zbar {
struct zbar_image_scanner_s;
}

// Rows Y1..Y2-1 of the raster as 8-bit grey, (Width + 100) bytes per row with
// 50 white bytes on each side. Y1 below 0 becomes 0 and Y2 at or past the
// last row becomes Height - 1. Rows and columns whose mean grey is below 40
// are blanked to white. Returns an empty buffer (and 0, 0) for a null or
// malformed raster, an empty band or a zero width.
std::vector<uint8_t> BitmapZoneToY800(const TRasterView* Raster, int Y1, int Y2, int& Width,
                                      int& Height);

// Every byte becomes 255 when it is >= Threshold, else 0.
void BinarizeBuffer(uint8_t* Buffer, size_t Size, int Threshold);

// The level below which the darkest tenth of the bytes lies, plus 30, at
// most 200.
int ComputeP10Threshold(const uint8_t* Buffer, size_t Size);

// Every byte b becomes 255 - b.
void InvertY800(uint8_t* Buffer, size_t Size);

// One library scan of a Width x Height grey buffer: a full code (16 to 22
// digits) if one is seen, else the longest text read (the first of equal
// length), else empty. Logs the scan time under "PERF" with `Tag`. Empty
// when the reader is not available or Scanner is null.
std::string ScanY800Buffer(zbar::zbar_image_scanner_s* Scanner, const uint8_t* Buffer, int Width,
                           int Height, const std::string& Tag);

// True for a text the reader accepts as a cassette code: 16 to 22 digits, or
// 5 to 12 characters when it is not all digits.
bool IsAcceptedBarcode(const std::string& Text);

// Test seam: the library name tried on the system when none lies beside the
// executable, in place of platform::BarcodeLibraryNames() (an empty name
// restores them).
void SetZBarSystemLibraryForTesting(const std::string& Name);
