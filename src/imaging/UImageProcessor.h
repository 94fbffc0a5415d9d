#pragma once

// Composite pictures: one JPEG per cassette of a message.
//
// A message's wells (M records) are regrouped by cassette; each cassette's
// colour photograph is cut into strips and re-assembled on a taller canvas
// under a drawn header, a reagent grid and a footer; the picture is saved,
// its barcode checked, set aside in log/wrong_images when the check fails,
// given a yellow or red border when its result flags ask for attention, and
// optionally reduced. Log lines use the categories "IMAGE" and "RESIZE".
//
// Values taken from the message never leave their folder: a value that
// becomes one file or folder name goes through platform::MakeSafeFileName,
// and a photograph name that is not a plain file name counts as missing.

#include <functional>
#include <string>

#include "astm/UASTMParser.h"
#include "barcode/URasterView.h"
#include "config/UConfig.h"
#include "imaging/UCassetteRules.h"
#include "imaging/UImageCanvas.h"
#include "imaging/UImageResult.h"
#include "platform/OsResult.h"

// Builds, saves, verifies and reduces one picture per cassette of Msg;
// returns the number of pictures produced. The first results (at most
// ResultCapacity) describe them. Outcome, when given, tells whether the
// machine kept a picture from being written (the message is then made again
// once it can), with the machine's reason.
int ProcessASTMMessage(const TASTMMessage& Msg, const TAppConfig& Config,
                       const std::string& ImagesFolder, const std::string& Validation,
                       TImageResult* Results, int ResultCapacity,
                       platform::TStageOutcome* Outcome = nullptr);

// --- Pipeline ----------------------------------------------------------------------------
bool GenerateCompositeImage(const TASTMMessage& Msg, const TCassetteGroup& Group,
                            const TAppConfig& Config, const std::string& ImagesPath,
                            const std::string& Validation, TImageResult& Result,
                            platform::TStageOutcome* Outcome = nullptr);
// Saves the raster as JPEG at Path (written under a temporary name in the
// same folder, then renamed into place): full size when ResizeFactor >= 100,
// else reduced to ResizeFactor percent by area averaging of the raster's
// pixels. True when the file exists afterwards.
bool ResizeAndSave(const TRaster& SourceBmp, const std::string& Path, int ResizeFactor,
                   platform::TStageOutcome* Outcome = nullptr);
// Moves the picture at OutputPath into LogFolder/wrong_images, replacing a
// picture of that name already there; OutputPath follows the picture. False,
// OutputPath unchanged, when it could not be moved.
bool MoveToWrongImages(const std::string& LogFolder, std::string& OutputPath);
// Reduced size of one side: nearest(Side x Factor / 100), halves to even,
// at least 1.
int ReducedSide(int Side, int ResizeFactor);

// Test seam: replaces the barcode check of the pipeline (an empty function
// restores the real one).
void SetBarcodeCheckForTesting(
    std::function<TBarcodeVerifResult(const TRasterView&, const std::string&)> Check);
