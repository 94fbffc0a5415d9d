// Rasters, fonts and drawing primitives of UImageCanvas.h, on Cairo image
// surfaces with FreeType faces loaded from the files the platform names.
#include "imaging/UImageCanvas.h"

#include <cairo-ft.h>
#include <cairo.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_TRUETYPE_TABLES_H

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <new>
#include <numbers>
#include <vector>

#include "platform/Fonts.h"
#include "platform/Text.h"

// The Cairo image surface drawn on; it frees the raster's pixels with it.
struct TRasterSurface {
  cairo_surface_t* Cairo = nullptr;
};

namespace {

// One loaded face and the ratios that turn a cell height into Cairo's em
// size and into the baseline offset.
struct TLoadedFace {
  FT_Face Face = nullptr;
  cairo_font_face_t* CairoFace = nullptr;
  double EmPerCell = 1.0;
  double AscentPerCell = 0.8;
};

// Guards the font state below. The faces are created once and live as long
// as the process: Cairo keeps references to them in its font caches.
std::mutex GFontLock;
FT_Library GFreeType = nullptr;
TLoadedFace GFaces[3];  // by TFontStyle
bool GFontsLoaded = false;

const char* const FONT_FAMILY = "Arial";

void SetColor(cairo_t* Cr, TRgbColor Color) {
  cairo_set_source_rgb(Cr, Color.R / 255.0, Color.G / 255.0, Color.B / 255.0);
}

// A Cairo context on the raster with shapes drawn without anti-aliasing.
cairo_t* BeginDrawing(TRaster& Raster) {
  cairo_t* Cr = cairo_create(Raster.Surface->Cairo);
  cairo_set_antialias(Cr, CAIRO_ANTIALIAS_NONE);
  return Cr;
}

void EndDrawing(TRaster& Raster, cairo_t* Cr) {
  cairo_destroy(Cr);
  cairo_surface_flush(Raster.Surface->Cairo);
}

bool LoadOneFace(TFontStyle Style, TLoadedFace& Out, std::string& Error) {
  const bool Bold = Style == fsBold;
  const bool Italic = Style == fsItalic;
  platform::TFontFile File;
  const platform::TOsResult Found = platform::FindFontFile(FONT_FAMILY, Bold, Italic, File);
  if (!Found.Ok()) {
    Error = Found.Text;
    return false;
  }
  const std::string FaceName = platform::FontFaceName(FONT_FAMILY, Bold, Italic);
  const std::string& Path = File.Path;

  FT_Face Face = nullptr;
  if (FT_New_Face(GFreeType, Path.c_str(), File.Index, &Face) != 0) {
    Error = platform::Format("police illisible \"%s\" (%s)", Path.c_str(), FaceName.c_str());
    return false;
  }
  if (!FT_IS_SCALABLE(Face)) {
    FT_Done_Face(Face);
    Error = platform::Format("police non vectorielle \"%s\" (%s)", Path.c_str(), FaceName.c_str());
    return false;
  }
  // The cell is the font's ascent plus descent, as Windows measures it (the
  // OS/2 "win" metrics when present, else the horizontal header's).
  double Ascent = Face->ascender;
  double Descent = -static_cast<double>(Face->descender);
  const auto* Os2 = static_cast<const TT_OS2*>(FT_Get_Sfnt_Table(Face, FT_SFNT_OS2));
  if (Os2 != nullptr && Os2->version != 0xFFFF && Os2->usWinAscent + Os2->usWinDescent > 0) {
    Ascent = Os2->usWinAscent;
    Descent = Os2->usWinDescent;
  }
  if (Ascent + Descent <= 0 || Face->units_per_EM == 0) {
    FT_Done_Face(Face);
    Error = platform::Format("métriques de police invalides \"%s\"", Path.c_str());
    return false;
  }
  cairo_font_face_t* CairoFace = cairo_ft_font_face_create_for_ft_face(Face, 0);
  if (cairo_font_face_status(CairoFace) != CAIRO_STATUS_SUCCESS) {
    cairo_font_face_destroy(CairoFace);
    FT_Done_Face(Face);
    Error = platform::Format("police inutilisable \"%s\"", Path.c_str());
    return false;
  }
  Out.Face = Face;
  Out.CairoFace = CairoFace;
  Out.EmPerCell = Face->units_per_EM / (Ascent + Descent);
  Out.AscentPerCell = Ascent / (Ascent + Descent);
  return true;
}

bool LoadFontsLocked(std::string& Error) {
  if (GFontsLoaded) return true;
  if (GFreeType == nullptr && FT_Init_FreeType(&GFreeType) != 0) {
    GFreeType = nullptr;
    Error = "FreeType ne démarre pas";
    return false;
  }
  TLoadedFace Faces[3];
  bool Ok = true;
  for (int i = 0; i < 3 && Ok; ++i) Ok = LoadOneFace(static_cast<TFontStyle>(i), Faces[i], Error);
  if (!Ok) {
    for (TLoadedFace& Face : Faces) {
      if (Face.CairoFace != nullptr) cairo_font_face_destroy(Face.CairoFace);
      if (Face.Face != nullptr) FT_Done_Face(Face.Face);
    }
    return false;
  }
  for (int i = 0; i < 3; ++i) GFaces[i] = Faces[i];
  GFontsLoaded = true;
  return true;
}

// The loaded face of a style, loading the fonts on first use; null when
// they cannot be loaded.
const TLoadedFace* FaceFor(TFontStyle Style) {
  std::lock_guard<std::mutex> Lock(GFontLock);
  std::string Ignored;
  if (!LoadFontsLocked(Ignored)) return nullptr;
  const int Index = Style >= fsRegular && Style <= fsItalic ? Style : fsRegular;
  return &GFaces[Index];
}

// Glyphs of a text laid out on whole-pixel advances, the pen starting at
// (X, Baseline).
struct TTextRun {
  std::vector<cairo_glyph_t> Glyphs;
  int Width = 0;
};

std::string ValidUtf8(const std::string& Text) {
  if (platform::IsValidUtf8(Text)) return Text;
  std::string Clean;
  for (char32_t Cp : platform::Utf8CodePoints(Text)) platform::AppendUtf8(Clean, Cp);
  return Clean;
}

cairo_scaled_font_t* CreateScaledFont(const TLoadedFace& Face, const TCanvasFont& Font) {
  cairo_matrix_t FontMatrix;
  cairo_matrix_t Identity;
  const double Em = Font.Height * Face.EmPerCell;
  cairo_matrix_init_scale(&FontMatrix, Em, Em);
  cairo_matrix_init_identity(&Identity);
  cairo_font_options_t* Options = cairo_font_options_create();
  cairo_font_options_set_antialias(Options,
                                   Font.Antialiased ? CAIRO_ANTIALIAS_GRAY : CAIRO_ANTIALIAS_NONE);
  cairo_font_options_set_hint_style(Options, CAIRO_HINT_STYLE_FULL);
  cairo_font_options_set_hint_metrics(Options, CAIRO_HINT_METRICS_ON);
  cairo_scaled_font_t* Scaled =
      cairo_scaled_font_create(Face.CairoFace, &FontMatrix, &Identity, Options);
  cairo_font_options_destroy(Options);
  if (cairo_scaled_font_status(Scaled) != CAIRO_STATUS_SUCCESS) {
    cairo_scaled_font_destroy(Scaled);
    return nullptr;
  }
  return Scaled;
}

bool LayOutText(cairo_scaled_font_t* Scaled, const std::string& Text, double X, double Baseline,
                TTextRun& Run) {
  const std::string Utf8 = ValidUtf8(Text);
  cairo_glyph_t* Glyphs = nullptr;
  int Count = 0;
  if (cairo_scaled_font_text_to_glyphs(Scaled, 0, 0, Utf8.data(), static_cast<int>(Utf8.size()),
                                       &Glyphs, &Count, nullptr, nullptr,
                                       nullptr) != CAIRO_STATUS_SUCCESS) {
    return false;
  }
  Run.Glyphs.assign(Glyphs, Glyphs + Count);
  cairo_glyph_free(Glyphs);
  int Pen = 0;
  for (cairo_glyph_t& Glyph : Run.Glyphs) {
    cairo_text_extents_t Extents;
    cairo_scaled_font_glyph_extents(Scaled, &Glyph, 1, &Extents);
    Glyph.x = X + Pen;
    Glyph.y = Baseline;
    Pen += static_cast<int>(std::lround(Extents.x_advance));
  }
  Run.Width = Pen;
  return true;
}

// Outline of a rectangle with corners rounded by ellipses of RadiusX x RadiusY.
void RoundedRectPath(cairo_t* Cr, double X1, double Y1, double X2, double Y2, double RadiusX,
                     double RadiusY) {
  RadiusX = std::min(RadiusX, (X2 - X1) / 2);
  RadiusY = std::min(RadiusY, (Y2 - Y1) / 2);
  cairo_new_path(Cr);
  if (RadiusX <= 0 || RadiusY <= 0) {
    cairo_rectangle(Cr, X1, Y1, X2 - X1, Y2 - Y1);
    return;
  }
  const auto Corner = [&](double Cx, double Cy, double From, double To) {
    cairo_save(Cr);
    cairo_translate(Cr, Cx, Cy);
    cairo_scale(Cr, RadiusX, RadiusY);
    cairo_arc(Cr, 0, 0, 1, From, To);
    cairo_restore(Cr);
  };
  constexpr double Pi = std::numbers::pi;
  Corner(X2 - RadiusX, Y1 + RadiusY, -Pi / 2, 0);
  Corner(X2 - RadiusX, Y2 - RadiusY, 0, Pi / 2);
  Corner(X1 + RadiusX, Y2 - RadiusY, Pi / 2, Pi);
  Corner(X1 + RadiusX, Y1 + RadiusY, Pi, 3 * Pi / 2);
  cairo_close_path(Cr);
}

// Fills the (rounded) rectangle, then strokes its outline inside its edges.
void FilledOutlinedBox(TCanvas& Canvas, int X1, int Y1, int X2, int Y2, double RadiusX,
                       double RadiusY) {
  if (Canvas.Bmp.Pixels == nullptr || X2 <= X1 || Y2 <= Y1) return;
  cairo_t* Cr = BeginDrawing(Canvas.Bmp);
  RoundedRectPath(Cr, X1, Y1, X2, Y2, RadiusX, RadiusY);
  SetColor(Cr, Canvas.FillColor);
  cairo_fill(Cr);
  const double Half = std::max(Canvas.PenWidth, 1) / 2.0;
  if (X2 - X1 > 2 * Half && Y2 - Y1 > 2 * Half) {
    RoundedRectPath(Cr, X1 + Half, Y1 + Half, X2 - Half, Y2 - Half, std::max(RadiusX - Half, 0.0),
                    std::max(RadiusY - Half, 0.0));
    cairo_set_line_width(Cr, 2 * Half);
    SetColor(Cr, Canvas.PenColor);
    cairo_stroke(Cr);
  }
  EndDrawing(Canvas.Bmp, Cr);
}

}  // namespace

// --- Rasters ----------------------------------------------------------------------

void TRasterSurfaceRelease::operator()(TRasterSurface* Surface) const {
  cairo_surface_destroy(Surface->Cairo);
  delete Surface;
}

bool SizeRaster(TRaster& Raster, int Width, int Height, std::string& Error) {
  if (Width < 1 || Height < 1 || Width > RASTER_MAX_SIDE || Height > RASTER_MAX_SIDE) {
    Error = platform::Format("dimensions refusées %dx%d", Width, Height);
    return false;
  }
  if (Raster.Pixels != nullptr && Raster.Width == Width && Raster.Height == Height) return true;
  FreeRaster(Raster);
  // The pixels are allocated here rather than by Cairo, which would clear
  // them: every user of a new raster writes all of its pixels anyway.
  const int Stride = cairo_format_stride_for_width(CAIRO_FORMAT_RGB24, Width);
  auto* Pixels = static_cast<unsigned char*>(std::malloc(static_cast<size_t>(Stride) * Height));
  if (Pixels == nullptr) {
    Error =
        platform::Format("image %dx%d impossible à allouer (mémoire insuffisante)", Width, Height);
    return false;
  }
  cairo_surface_t* Surface =
      cairo_image_surface_create_for_data(Pixels, CAIRO_FORMAT_RGB24, Width, Height, Stride);
  static cairo_user_data_key_t PIXELS_KEY;
  if (cairo_surface_status(Surface) != CAIRO_STATUS_SUCCESS ||
      cairo_surface_set_user_data(Surface, &PIXELS_KEY, Pixels,
                                  [](void* Data) { std::free(Data); }) != CAIRO_STATUS_SUCCESS) {
    Error = platform::Format("image %dx%d impossible à allouer (%s)", Width, Height,
                             cairo_status_to_string(cairo_surface_status(Surface)));
    cairo_surface_destroy(Surface);
    std::free(Pixels);
    return false;
  }
  auto* Owner = new (std::nothrow) TRasterSurface{Surface};
  if (Owner == nullptr) {
    cairo_surface_destroy(Surface);  // frees the pixels with it
    Error =
        platform::Format("image %dx%d impossible à allouer (mémoire insuffisante)", Width, Height);
    return false;
  }
  Raster.Surface.reset(Owner);
  Raster.Width = Width;
  Raster.Height = Height;
  Raster.Stride = cairo_image_surface_get_stride(Surface);
  Raster.Pixels = cairo_image_surface_get_data(Surface);
  return true;
}

void FreeRaster(TRaster& Raster) {
  Raster.Surface.reset();
  Raster.Width = Raster.Height = Raster.Stride = 0;
  Raster.Pixels = nullptr;
}

TRasterView RasterView(const TRaster& Raster) {
  TRasterView View;
  View.Pixels = Raster.Pixels;
  View.Width = Raster.Width;
  View.Height = Raster.Height;
  View.Stride = Raster.Stride;
  return View;
}

TRgbColor GetPixel(const TRaster& Raster, int X, int Y) {
  if (Raster.Pixels == nullptr || X < 0 || Y < 0 || X >= Raster.Width || Y >= Raster.Height) {
    return {};
  }
  uint32_t Value;
  std::memcpy(&Value, Raster.Pixels + static_cast<size_t>(Y) * Raster.Stride + 4 * X, 4);
  return {static_cast<uint8_t>(Value >> 16), static_cast<uint8_t>(Value >> 8),
          static_cast<uint8_t>(Value)};
}

void SetPixel(TRaster& Raster, int X, int Y, TRgbColor Color) {
  if (Raster.Pixels == nullptr || X < 0 || Y < 0 || X >= Raster.Width || Y >= Raster.Height) return;
  const uint32_t Value =
      0xFF000000u | (uint32_t{Color.R} << 16) | (uint32_t{Color.G} << 8) | uint32_t{Color.B};
  std::memcpy(Raster.Pixels + static_cast<size_t>(Y) * Raster.Stride + 4 * X, &Value, 4);
}

void MarkRasterChanged(TRaster& Raster) {
  if (Raster.Surface) cairo_surface_mark_dirty(Raster.Surface->Cairo);
}

void FlushRasterDrawing(const TRaster& Raster) {
  if (Raster.Surface) cairo_surface_flush(Raster.Surface->Cairo);
}

// --- Fonts ---------------------------------------------------------------------

bool LoadCanvasFonts(std::string& Error) {
  std::lock_guard<std::mutex> Lock(GFontLock);
  return LoadFontsLocked(Error);
}

// --- Drawing --------------------------------------------------------------------

void CanvasFillRect(TCanvas& Canvas, int X1, int Y1, int X2, int Y2) {
  if (Canvas.Bmp.Pixels == nullptr || X2 <= X1 || Y2 <= Y1) return;
  cairo_t* Cr = BeginDrawing(Canvas.Bmp);
  cairo_rectangle(Cr, X1, Y1, X2 - X1, Y2 - Y1);
  SetColor(Cr, Canvas.FillColor);
  cairo_fill(Cr);
  EndDrawing(Canvas.Bmp, Cr);
}

void CanvasRectangle(TCanvas& Canvas, int X1, int Y1, int X2, int Y2) {
  FilledOutlinedBox(Canvas, X1, Y1, X2, Y2, 0, 0);
}

void CanvasRoundRect(TCanvas& Canvas, int X1, int Y1, int X2, int Y2, int EllipseW, int EllipseH) {
  FilledOutlinedBox(Canvas, X1, Y1, X2, Y2, EllipseW / 2.0, EllipseH / 2.0);
}

void CanvasPolyline(TCanvas& Canvas, const TPoint* Points, int Count) {
  if (Canvas.Bmp.Pixels == nullptr || Points == nullptr || Count < 2) return;
  const int Width = std::max(Canvas.PenWidth, 1);
  // An odd width is centred on the pixel, an even one on its top-left
  // corner, so that the stroke covers whole pixels.
  const double Offset = Width % 2 == 1 ? 0.5 : 0.0;
  const bool Closed =
      Count > 2 && Points[0].X == Points[Count - 1].X && Points[0].Y == Points[Count - 1].Y;
  cairo_t* Cr = BeginDrawing(Canvas.Bmp);
  cairo_move_to(Cr, Points[0].X + Offset, Points[0].Y + Offset);
  for (int i = 1; i < (Closed ? Count - 1 : Count); ++i) {
    cairo_line_to(Cr, Points[i].X + Offset, Points[i].Y + Offset);
  }
  if (Closed) cairo_close_path(Cr);
  cairo_set_line_width(Cr, Width);
  cairo_set_line_join(Cr, CAIRO_LINE_JOIN_MITER);
  cairo_set_line_cap(Cr, CAIRO_LINE_CAP_SQUARE);
  SetColor(Cr, Canvas.PenColor);
  cairo_stroke(Cr);
  EndDrawing(Canvas.Bmp, Cr);
}

void CanvasTextOut(TCanvas& Canvas, int X, int Y, const std::string& Text) {
  if (Canvas.Bmp.Pixels == nullptr || Text.empty() || Canvas.Font.Height <= 0) return;
  const TLoadedFace* Face = FaceFor(Canvas.Font.Style);
  if (Face == nullptr) return;
  cairo_scaled_font_t* Scaled = CreateScaledFont(*Face, Canvas.Font);
  if (Scaled == nullptr) return;
  const int Ascent = static_cast<int>(std::lround(Canvas.Font.Height * Face->AscentPerCell));
  TTextRun Run;
  if (LayOutText(Scaled, Text, X, Y + Ascent, Run)) {
    cairo_t* Cr = BeginDrawing(Canvas.Bmp);
    if (Run.Width > 0) {
      cairo_rectangle(Cr, X, Y, Run.Width, Canvas.Font.Height);
      SetColor(Cr, Canvas.FillColor);
      cairo_fill(Cr);
    }
    cairo_set_scaled_font(Cr, Scaled);
    SetColor(Cr, Canvas.Font.Color);
    cairo_show_glyphs(Cr, Run.Glyphs.data(), static_cast<int>(Run.Glyphs.size()));
    EndDrawing(Canvas.Bmp, Cr);
  }
  cairo_scaled_font_destroy(Scaled);
}

int CanvasTextWidth(const TCanvas& Canvas, const std::string& Text) {
  if (Text.empty() || Canvas.Font.Height <= 0) return 0;
  const TLoadedFace* Face = FaceFor(Canvas.Font.Style);
  if (Face == nullptr) return 0;
  cairo_scaled_font_t* Scaled = CreateScaledFont(*Face, Canvas.Font);
  if (Scaled == nullptr) return 0;
  TTextRun Run;
  const int Width = LayOutText(Scaled, Text, 0, 0, Run) ? Run.Width : 0;
  cairo_scaled_font_destroy(Scaled);
  return Width;
}

int CanvasTextHeight(const TCanvas& Canvas, const std::string& /*Text*/) {
  return std::max(Canvas.Font.Height, 0);
}
