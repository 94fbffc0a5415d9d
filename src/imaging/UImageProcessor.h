#pragma once

// Composite pictures: one JPEG per cassette of a message.

#include <string>

#include "astm/UASTMParser.h"
#include "barcode/UBarcodeVerif.h"
#include "config/UConfig.h"

struct TImageResult {
  bool Success = false;     // the composite was saved (also when the barcode check failed)
  std::string OutputPath;   // full-size file, its wrong_images place, or the reduced copy
  std::string ResizedPath;  // the reduced copy, empty when none was written
  TBarcodeVerifResult VerifResult = bvrSkipped;
  std::string ErrorDetail;  // reason of a failure
};

// Builds, saves, verifies and reduces one picture per cassette of Msg;
// returns the number of pictures produced. The first results (at most
// ResultCapacity) describe them.
int ProcessASTMMessage(const TASTMMessage& Msg, const TAppConfig& Config,
                       const std::string& ImagesFolder, const std::string& Validation,
                       TImageResult* Results, int ResultCapacity);
