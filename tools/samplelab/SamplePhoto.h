#pragma once

// Synthetic photographs of gel cassettes, as an analyser's camera would take
// them, for the sample laboratory, the tests and the benchmarks. A picture
// (1600 x 2400 by default; every position scales with the size) shows a
// plastic card across the full width with six tubes side by side: reaction
// chambers at the top, a paper label with room for a horizontal barcode in
// rows 990 to 1300, and the gel columns below, where the red cells stop at a
// height that depends on the reaction. A little sensor noise makes the JPEG
// behave like a camera's.
//
// Also: rasters whose rows carry known colours, to check where the rows of
// a photograph end up.

#include <cairo.h>

#include <array>
#include <functional>
#include <string>

#include "imaging/UImageCanvas.h"

// What a well shows: no red cells, or cells stopped at the height of the
// reaction (negative: a button at the bottom; 4+: a band on top of the gel).
enum TWellReaction {
  wrNoCells = 0,
  wrNegative,
  wrWeak,
  wr1Plus,
  wr2Plus,
  wr3Plus,
  wr4Plus,
};

struct TSamplePhotoOptions {
  int Width = 1600;
  int Height = 2400;
  std::array<TWellReaction, 6> Wells = {wr4Plus, wrNegative, wr3Plus, wr2Plus, wr1Plus, wrNegative};
  // Printed above each tube on the card.
  std::array<std::string, 6> WellLabels = {"A", "B", "D", "C", "E", "ctl"};
  TRgbColor Background = {38, 42, 50};
  // Printed on the label, under the barcode.
  std::string BarcodeText = "123456";
  // First line of the label.
  std::string LabelText = "GEL CARD ABO/Rh  LOT 50123.45  EXP 2026-03";
  // Draws the barcode into the given rectangle (photograph pixels); when
  // empty the rectangle stays blank label paper.
  std::function<void(cairo_t*, double X, double Y, double W, double H)> DrawBarcode;
  unsigned Seed = 1;  // varies the cells and the noise
  int Noise = 3;      // sensor noise amplitude (0 = none)
};

// Where the barcode goes for a picture of that size (photograph pixels).
struct TSampleBarcodeBox {
  double X = 0, Y = 0, W = 0, H = 0;
};
TSampleBarcodeBox SampleBarcodeBox(int Width, int Height);

// Draws the photograph into Raster (sized to the options).
bool DrawSamplePhoto(const TSamplePhotoOptions& Options, TRaster& Raster, std::string& Error);
// The photograph as JPEG bytes (baseline, quality 90).
bool MakeSamplePhotoJpeg(const TSamplePhotoOptions& Options, std::string& Jpeg, std::string& Error);
// The photograph written as a JPEG file.
bool WriteSamplePhoto(const TSamplePhotoOptions& Options, const std::string& Path,
                      std::string& Error);

// --- Rows of known colours -------------------------------------------------------------
// Row r of a row-coded raster is RowCodeColor(r) across its whole width;
// no row code is white.
TRgbColor RowCodeColor(int Row);
// The row whose colour this is, or -1.
int RowFromCodeColor(TRgbColor Color);
bool MakeRowCodedRaster(int Width, int Height, TRaster& Raster, std::string& Error);
