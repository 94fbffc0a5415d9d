#pragma once

// The drawing surface of the composite pictures: a 24-bit raster of 32-bit
// pixels (bytes B, G, R, X on a little-endian machine), and a canvas record
// that adds the drawing state (fill, outline, font) the rendering relies on.
// Shapes and text are drawn without anti-aliasing; the font is "Arial" as
// the system names its files.
//
// Coordinates are pixels, origin top-left, y downwards. A rectangle
// (X1, Y1, X2, Y2) covers columns X1..X2-1 and rows Y1..Y2-1.
//
// Nothing here logs: functions that can fail return false and an error text.

#include <cstdint>
#include <memory>
#include <string>

#include "barcode/URasterView.h"
#include "imaging/UImageShrink.h"
#include "imaging/URgbColor.h"

// Largest raster side accepted anywhere (photographs included).
constexpr int RASTER_MAX_SIDE = 20000;

// The drawing library's view of a raster's pixels; only the canvas code
// sees inside it.
struct TRasterSurface;
struct TRasterSurfaceRelease {
  void operator()(TRasterSurface* Surface) const;
};

// A raster that owns its pixels. Pixels is null while the raster is empty.
struct TRaster {
  std::unique_ptr<TRasterSurface, TRasterSurfaceRelease> Surface;
  int Width = 0;
  int Height = 0;
  int Stride = 0;             // bytes from one row to the next
  uint8_t* Pixels = nullptr;  // B, G, R, X per pixel
};

struct TRect {
  int Left = 0;
  int Top = 0;
  int Right = 0;   // not part of the rectangle
  int Bottom = 0;  // not part of the rectangle
};

enum TFontStyle { fsRegular = 0, fsBold = 1, fsItalic = 2 };

struct TCanvasFont {
  int Height = 16;  // the full character cell, in pixels
  TRgbColor Color = COLOR_BLACK;
  TFontStyle Style = fsRegular;
  bool Antialiased = true;  // glyph quality; DisableClearType turns it off
};

// A raster with its drawing state. A fresh canvas fills white and outlines
// black with width 1.
struct TCanvas {
  TRaster Bmp;
  TRgbColor FillColor = COLOR_WHITE;
  TRgbColor PenColor = COLOR_BLACK;
  int PenWidth = 1;
  TCanvasFont Font;
};

// --- Rasters ----------------------------------------------------------------------
// Makes Raster a Width x Height raster (1..RASTER_MAX_SIDE a side), keeping
// the present pixels when the size already matches, else allocating new
// ones (content undefined). False with a reason when it cannot.
bool SizeRaster(TRaster& Raster, int Width, int Height, std::string& Error);
void FreeRaster(TRaster& Raster);
// The raster read in place, for the barcode reader (no copy).
TRasterView RasterView(const TRaster& Raster);
TRgbColor GetPixel(const TRaster& Raster, int X, int Y);
void SetPixel(TRaster& Raster, int X, int Y, TRgbColor Color);
// Tells the drawing library that the pixels were written directly.
void MarkRasterChanged(TRaster& Raster);
// Completes any drawing the library still holds back, so that Pixels can be
// read directly (by the JPEG encoder, for one).
void FlushRasterDrawing(const TRaster& Raster);
// The reduced copy, ShrinkRaster, is declared in imaging/UImageShrink.h.

// --- Fonts ---------------------------------------------------------------------
// Asks the system for the files of "Arial", "Arial:bold" and "Arial:italic"
// and loads them, once per process. False with a reason when a
// face cannot be found or loaded; drawing must not start then.
bool LoadCanvasFonts(std::string& Error);

// --- Drawing with the canvas state --------------------------------------------------
// Fills the rectangle with the fill colour (no outline).
void CanvasFillRect(TCanvas& Canvas, int X1, int Y1, int X2, int Y2);
// Fills the rectangle and draws its outline (pen width) inside its edges.
void CanvasRectangle(TCanvas& Canvas, int X1, int Y1, int X2, int Y2);
// The same with corners rounded by an ellipse of EllipseW x EllipseH.
void CanvasRoundRect(TCanvas& Canvas, int X1, int Y1, int X2, int Y2, int EllipseW, int EllipseH);
// One connected line through the points, the stroke (pen width and colour)
// centred on it; a last point equal to the first closes the outline.
struct TPoint {
  int X = 0;
  int Y = 0;
};
void CanvasPolyline(TCanvas& Canvas, const TPoint* Points, int Count);

// Text cell: advance width (whole pixels) x font height. The text is drawn
// with its cell's top-left at (X, Y) over the cell filled with the fill
// colour. The fonts are loaded on first use; when they cannot be, nothing is
// drawn and the width is 0 (LoadCanvasFonts tells why).
void CanvasTextOut(TCanvas& Canvas, int X, int Y, const std::string& Text);
int CanvasTextWidth(const TCanvas& Canvas, const std::string& Text);
int CanvasTextHeight(const TCanvas& Canvas, const std::string& Text);
