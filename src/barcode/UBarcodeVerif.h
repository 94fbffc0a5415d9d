#pragma once

// Verification of a composite picture's barcode against its cassette.

#include <string>

#include "barcode/URasterView.h"

enum TBarcodeVerifResult { bvrOK = 0, bvrMismatch = 1, bvrNotFound = 2, bvrSkipped = 3 };

struct TBarcodeScanZone {
  int FirstRow;
  int EndRow;  // not part of the band
};

constexpr int BARCODE_SCAN_ZONE_COUNT = 2;
constexpr TBarcodeScanZone BARCODE_SCAN_ZONES[BARCODE_SCAN_ZONE_COUNT] = {{2382, 2720},
                                                                          {2200, 2820}};

// Characters of a cassette identifier that take part in the comparison.
constexpr int CASSETTE_ID_LENGTH = 6;

// Blanks and "-" removed, then the last CASSETTE_ID_LENGTH characters.
std::string NormalizeCassetteID(const std::string& Value);

// True when the picture passes (bvrOK or bvrSkipped).
// BarcodeRead, when given, receives the normalised value read on a mismatch.
bool VerifyBarcodeOnImage(const TRasterView& Raster, const std::string& CassetteID,
                          TBarcodeVerifResult& VerifResult, std::string* BarcodeRead = nullptr);
