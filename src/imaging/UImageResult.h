#pragma once

// What the picture pipeline tells about one composite picture, for the
// exports that name the pictures.

#include <string>

#include "barcode/UBarcodeVerif.h"

struct TImageResult {
  bool Success = false;     // the composite was saved (also when the barcode check failed)
  std::string OutputPath;   // full-size file, its wrong_images place, or the reduced copy
  std::string ResizedPath;  // the reduced copy, empty when none was written
  TBarcodeVerifResult VerifResult = bvrSkipped;
  std::string BarcodeRead;  // the value read, when it differs from the cassette's
  std::string Cassette;     // the cassette identifier the picture was checked against
  std::string ErrorDetail;  // reason of a failure
};
