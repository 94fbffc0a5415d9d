// Drawing of the synthetic cassette photographs (see SamplePhoto.h).
#include "samplelab/SamplePhoto.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>

#include "imaging/UJpegCodec.h"
#include "platform/Files.h"

namespace {

// Colours of the scene.
constexpr TRgbColor CARD_COLOR{214, 218, 222};
constexpr TRgbColor CARD_EDGE{150, 156, 164};
constexpr TRgbColor TUBE_WALL{120, 128, 138};
constexpr TRgbColor GEL_COLOR{205, 214, 196};
constexpr TRgbColor LIQUID_CLEAR{222, 228, 232};
constexpr TRgbColor LIQUID_CELLS{196, 92, 96};
constexpr TRgbColor RED_CELLS{128, 18, 26};
constexpr TRgbColor LABEL_PAPER{246, 246, 240};
constexpr TRgbColor INK{30, 30, 34};

// A small deterministic generator, so that a seed always gives the same picture.
struct TRandom {
  uint32_t State;
  uint32_t Next() {
    State ^= State << 13;
    State ^= State >> 17;
    State ^= State << 5;
    return State;
  }
  double Uniform(double Lo, double Hi) { return Lo + (Hi - Lo) * (Next() % 100000) / 100000.0; }
};

// A Cairo context of this tool's own over the raster's pixels: the canvas
// keeps its drawing surface to itself. EndPhotoDrawing hands the pixels back.
cairo_t* BeginPhotoDrawing(TRaster& Raster) {
  FlushRasterDrawing(Raster);
  cairo_surface_t* Surface = cairo_image_surface_create_for_data(
      Raster.Pixels, CAIRO_FORMAT_RGB24, Raster.Width, Raster.Height, Raster.Stride);
  cairo_t* Cr = cairo_create(Surface);
  cairo_surface_destroy(Surface);  // the context keeps its own reference
  return Cr;
}

void EndPhotoDrawing(TRaster& Raster, cairo_t* Cr) {
  cairo_surface_flush(cairo_get_target(Cr));
  cairo_destroy(Cr);
  MarkRasterChanged(Raster);
}

void Color(cairo_t* Cr, TRgbColor C, double Alpha = 1.0) {
  cairo_set_source_rgba(Cr, C.R / 255.0, C.G / 255.0, C.B / 255.0, Alpha);
}

void RoundedRect(cairo_t* Cr, double X, double Y, double W, double H, double R) {
  R = std::min({R, W / 2, H / 2});
  cairo_new_sub_path(Cr);
  cairo_arc(Cr, X + W - R, Y + R, R, -std::numbers::pi / 2, 0);
  cairo_arc(Cr, X + W - R, Y + H - R, R, 0, std::numbers::pi / 2);
  cairo_arc(Cr, X + R, Y + H - R, R, std::numbers::pi / 2, std::numbers::pi);
  cairo_arc(Cr, X + R, Y + R, R, std::numbers::pi, 3 * std::numbers::pi / 2);
  cairo_close_path(Cr);
}

// Text centred on Cx with its cell's top at Top, over a background of the
// colour it is printed on.
void CenteredText(TCanvas& Canvas, const std::string& Text, double Cx, double Top, double Height,
                  bool Bold, TRgbColor Background) {
  Canvas.Font.Height = static_cast<int>(Height);
  Canvas.Font.Style = Bold ? fsBold : fsRegular;
  Canvas.Font.Color = INK;
  Canvas.FillColor = Background;
  const int Width = CanvasTextWidth(Canvas, Text);
  CanvasTextOut(Canvas, static_cast<int>(Cx) - Width / 2, static_cast<int>(Top), Text);
}

// Red-cell agglutinates scattered between two heights of a gel column.
void Agglutinates(cairo_t* Cr, TRandom& Rng, double Cx, double HalfWidth, double Top, double Bottom,
                  int Count, double Scale) {
  for (int i = 0; i < Count; ++i) {
    const double X = Rng.Uniform(Cx - HalfWidth, Cx + HalfWidth);
    const double Y = Rng.Uniform(Top, Bottom);
    const double R = Rng.Uniform(2.5, 6.5) * Scale;
    Color(Cr, RED_CELLS, Rng.Uniform(0.55, 0.95));
    cairo_arc(Cr, X, Y, R, 0, 2 * std::numbers::pi);
    cairo_fill(Cr);
  }
}

// The lower part of one tube: the gel column and its red cells.
void GelColumn(cairo_t* Cr, TRandom& Rng, TWellReaction Reaction, double Cx, double TubeW,
               double Top, double Bottom, double Sy) {
  const double GelW = TubeW * 0.78;
  RoundedRect(Cr, Cx - TubeW / 2, Top, TubeW, Bottom - Top, TubeW / 2);
  Color(Cr, TUBE_WALL);
  cairo_fill(Cr);
  RoundedRect(Cr, Cx - GelW / 2, Top, GelW, Bottom - Top - (TubeW - GelW) / 2, GelW / 2);
  Color(Cr, GEL_COLOR);
  cairo_fill(Cr);
  // Light from the left on the round tube.
  cairo_rectangle(Cr, Cx - GelW / 2 + GelW * 0.12, Top, GelW * 0.12, Bottom - Top - GelW);
  Color(Cr, COLOR_WHITE, 0.35);
  cairo_fill(Cr);

  const double Gel = Bottom - Top - GelW;  // straight part of the column
  const double Half = GelW / 2 - 8 * Sy;
  const auto Button = [&](double Height) {
    cairo_save(Cr);
    cairo_translate(Cr, Cx, Bottom - GelW * 0.55);
    cairo_scale(Cr, GelW * 0.42, Height);
    cairo_arc(Cr, 0, 0, 1, 0, 2 * std::numbers::pi);
    cairo_restore(Cr);
    Color(Cr, RED_CELLS);
    cairo_fill(Cr);
  };
  switch (Reaction) {
    case wrNoCells:
      break;
    case wrNegative:
      Button(34 * Sy);
      break;
    case wrWeak:
      Button(26 * Sy);
      Agglutinates(Cr, Rng, Cx, Half, Top + Gel * 0.55, Top + Gel, 25, Sy);
      break;
    case wr1Plus:
      Button(16 * Sy);
      Agglutinates(Cr, Rng, Cx, Half, Top + Gel * 0.35, Top + Gel, 70, Sy);
      break;
    case wr2Plus:
      Agglutinates(Cr, Rng, Cx, Half, Top + Gel * 0.12, Top + Gel * 0.75, 110, Sy);
      break;
    case wr3Plus:
      Agglutinates(Cr, Rng, Cx, Half, Top + 12 * Sy, Top + Gel * 0.3, 120, Sy);
      break;
    case wr4Plus:
      RoundedRect(Cr, Cx - Half, Top + 8 * Sy, 2 * Half, 55 * Sy, 10 * Sy);
      Color(Cr, RED_CELLS);
      cairo_fill(Cr);
      Agglutinates(Cr, Rng, Cx, Half, Top + 55 * Sy, Top + 85 * Sy, 25, Sy);
      break;
  }
}

// The upper part of one tube: the reaction chamber and the top of the gel.
void Chamber(cairo_t* Cr, bool WithCells, double Cx, double TubeW, double Top, double Neck,
             double Bottom, double Sy) {
  const double ChamberW = TubeW * 1.7;
  cairo_new_path(Cr);
  cairo_move_to(Cr, Cx - ChamberW / 2, Top);
  cairo_line_to(Cr, Cx + ChamberW / 2, Top);
  cairo_line_to(Cr, Cx + ChamberW / 2, Neck - 90 * Sy);
  cairo_line_to(Cr, Cx + TubeW / 2, Neck);
  cairo_line_to(Cr, Cx + TubeW / 2, Bottom);
  cairo_line_to(Cr, Cx - TubeW / 2, Bottom);
  cairo_line_to(Cr, Cx - TubeW / 2, Neck);
  cairo_line_to(Cr, Cx - ChamberW / 2, Neck - 90 * Sy);
  cairo_close_path(Cr);
  Color(Cr, TUBE_WALL);
  cairo_fill_preserve(Cr);
  cairo_set_line_width(Cr, 3);
  Color(Cr, CARD_EDGE);
  cairo_stroke(Cr);
  // Liquid in the chamber, gel below the neck.
  const double Level = Top + (Neck - Top) * 0.42;
  const double Inset = 9 * Sy;
  cairo_rectangle(Cr, Cx - ChamberW / 2 + Inset, Level, ChamberW - 2 * Inset,
                  Neck - 90 * Sy - Level);
  Color(Cr, WithCells ? LIQUID_CELLS : LIQUID_CLEAR);
  cairo_fill(Cr);
  cairo_rectangle(Cr, Cx - TubeW / 2 + Inset, Neck - 90 * Sy, TubeW - 2 * Inset, 90 * Sy + 40 * Sy);
  Color(Cr, WithCells ? LIQUID_CELLS : LIQUID_CLEAR);
  cairo_fill(Cr);
  cairo_rectangle(Cr, Cx - TubeW / 2 + Inset, Neck + 40 * Sy, TubeW - 2 * Inset,
                  Bottom - Neck - 40 * Sy);
  Color(Cr, GEL_COLOR);
  cairo_fill(Cr);
  cairo_rectangle(Cr, Cx - ChamberW / 2 + ChamberW * 0.1, Top + 10 * Sy, ChamberW * 0.08,
                  Neck - Top - 120 * Sy);
  Color(Cr, COLOR_WHITE, 0.3);
  cairo_fill(Cr);
}

void AddNoise(TRaster& Raster, int Amplitude, unsigned Seed) {
  if (Amplitude <= 0) return;
  TRandom Rng{Seed * 2654435761u + 12345u};
  const int Span = 2 * Amplitude + 1;
  for (int Y = 0; Y < Raster.Height; ++Y) {
    uint8_t* P = Raster.Pixels + static_cast<size_t>(Y) * Raster.Stride;
    for (int X = 0; X < Raster.Width; ++X, P += 4) {
      const int D = static_cast<int>(Rng.Next() % Span) - Amplitude;
      for (int C = 0; C < 3; ++C) P[C] = static_cast<uint8_t>(std::clamp(P[C] + D, 0, 255));
    }
  }
  MarkRasterChanged(Raster);
}

}  // namespace

TSampleBarcodeBox SampleBarcodeBox(int Width, int Height) {
  const double Sx = Width / 1600.0, Sy = Height / 2400.0;
  return {260 * Sx, 1010 * Sy, 1080 * Sx, 240 * Sy};
}

bool DrawSamplePhoto(const TSamplePhotoOptions& Options, TRaster& Raster, std::string& Error) {
  if (!SizeRaster(Raster, Options.Width, Options.Height, Error)) return false;
  const double W = Options.Width, H = Options.Height;
  const double Sx = W / 1600.0, Sy = H / 2400.0;
  TRandom Rng{Options.Seed * 747796405u + 1u};
  cairo_t* Cr = BeginPhotoDrawing(Raster);

  // Background lit from above.
  cairo_pattern_t* Light = cairo_pattern_create_linear(0, 0, 0, H);
  const TRgbColor Bg = Options.Background;
  cairo_pattern_add_color_stop_rgb(Light, 0, std::min(Bg.R + 22, 255) / 255.0,
                                   std::min(Bg.G + 22, 255) / 255.0,
                                   std::min(Bg.B + 22, 255) / 255.0);
  cairo_pattern_add_color_stop_rgb(Light, 1, Bg.R / 255.0, Bg.G / 255.0, Bg.B / 255.0);
  cairo_set_source(Cr, Light);
  cairo_paint(Cr);
  cairo_pattern_destroy(Light);

  // The card.
  RoundedRect(Cr, 10 * Sx, 30 * Sy, W - 20 * Sx, H - 50 * Sy, 24 * Sx);
  Color(Cr, CARD_COLOR);
  cairo_fill_preserve(Cr);
  cairo_set_line_width(Cr, 4 * Sx);
  Color(Cr, CARD_EDGE);
  cairo_stroke(Cr);

  const double ColW = W / 6;
  const double TubeW = 112 * Sx;
  for (int i = 0; i < 6; ++i) {
    const double Cx = (i + 0.5) * ColW;
    const TWellReaction Reaction = Options.Wells[static_cast<size_t>(i)];
    Chamber(Cr, Reaction != wrNoCells, Cx, TubeW, 150 * Sy, 640 * Sy, 880 * Sy, Sy);
    GelColumn(Cr, Rng, Reaction, Cx, TubeW, 1460 * Sy, 2330 * Sy, Sy);
    // The tube runs on behind the label.
    cairo_rectangle(Cr, Cx - TubeW / 2, 880 * Sy, TubeW, 580 * Sy);
    Color(Cr, GEL_COLOR);
    cairo_fill(Cr);
  }

  // The label across the card, with its barcode.
  RoundedRect(Cr, 60 * Sx, 890 * Sy, W - 120 * Sx, 540 * Sy, 10 * Sx);
  Color(Cr, LABEL_PAPER);
  cairo_fill_preserve(Cr);
  cairo_set_line_width(Cr, 2 * Sx);
  Color(Cr, CARD_EDGE);
  cairo_stroke(Cr);
  EndPhotoDrawing(Raster, Cr);

  // Printing on the card and on the label.
  TCanvas Canvas;
  Canvas.Bmp = std::move(Raster);
  for (int i = 0; i < 6; ++i) {
    CenteredText(Canvas, Options.WellLabels[static_cast<size_t>(i)], (i + 0.5) * ColW, 68 * Sy,
                 56 * Sy, true, CARD_COLOR);
  }
  CenteredText(Canvas, Options.LabelText, W / 2, 912 * Sy, 54 * Sy, false, LABEL_PAPER);
  CenteredText(Canvas, Options.BarcodeText, W / 2, 1258 * Sy, 50 * Sy, false, LABEL_PAPER);
  CenteredText(Canvas, "Stocker entre 2 et 25 °C", W / 2, 1350 * Sy, 44 * Sy, false, LABEL_PAPER);
  Raster = std::move(Canvas.Bmp);

  const TSampleBarcodeBox Box = SampleBarcodeBox(Options.Width, Options.Height);
  if (Options.DrawBarcode) {
    Cr = BeginPhotoDrawing(Raster);
    Options.DrawBarcode(Cr, Box.X, Box.Y, Box.W, Box.H);
    EndPhotoDrawing(Raster, Cr);
  }
  AddNoise(Raster, Options.Noise, Options.Seed);
  return true;
}

bool MakeSamplePhotoJpeg(const TSamplePhotoOptions& Options, std::string& Jpeg,
                         std::string& Error) {
  TRaster Raster;
  return DrawSamplePhoto(Options, Raster, Error) && EncodeJpeg(Raster, Jpeg, Error);
}

bool WriteSamplePhoto(const TSamplePhotoOptions& Options, const std::string& Path,
                      std::string& Error) {
  std::string Jpeg;
  if (!MakeSamplePhotoJpeg(Options, Jpeg, Error)) return false;
  const platform::TOsResult Written = platform::WriteFileReplacing(Path, Jpeg);
  if (!Written.Ok()) Error = Written.Text;
  return Written.Ok();
}

TRgbColor RowCodeColor(int Row) {
  return {static_cast<uint8_t>(Row & 0xFF), static_cast<uint8_t>((Row >> 8) & 0x3F), 0x5A};
}

int RowFromCodeColor(TRgbColor Color) {
  if (Color.B != 0x5A || Color.G > 0x3F) return -1;
  return (Color.G << 8) | Color.R;
}

bool MakeRowCodedRaster(int Width, int Height, TRaster& Raster, std::string& Error) {
  if (!SizeRaster(Raster, Width, Height, Error)) return false;
  for (int Y = 0; Y < Height; ++Y) {
    const TRgbColor C = RowCodeColor(Y);
    for (int X = 0; X < Width; ++X) SetPixel(Raster, X, Y, C);
  }
  MarkRasterChanged(Raster);
  return true;
}
