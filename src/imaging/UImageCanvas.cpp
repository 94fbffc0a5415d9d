// Rasters, fonts and drawing primitives of UImageCanvas.h, on Cairo image
// surfaces with FreeType faces found by fontconfig.
#include "imaging/UImageCanvas.h"

#include <cairo-ft.h>
#include <cairo.h>
#include <fontconfig/fontconfig.h>
#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_TRUETYPE_TABLES_H

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <numbers>
#include <vector>

#include "platform/Text.h"

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

const char* const FONT_PATTERNS[3] = {"Arial", "Arial:bold", "Arial:italic"};

void SetColor(cairo_t* Cr, TRgbColor Color) {
  cairo_set_source_rgb(Cr, Color.R / 255.0, Color.G / 255.0, Color.B / 255.0);
}

// A Cairo context on the raster with shapes drawn without anti-aliasing.
cairo_t* BeginDrawing(TRaster& Raster) {
  cairo_t* Cr = cairo_create(Raster.Surface.get());
  cairo_set_antialias(Cr, CAIRO_ANTIALIAS_NONE);
  return Cr;
}

void EndDrawing(TRaster& Raster, cairo_t* Cr) {
  cairo_destroy(Cr);
  cairo_surface_flush(Raster.Surface.get());
}

bool LoadOneFace(FcConfig* Config, const char* Pattern, TLoadedFace& Out, std::string& Error) {
  FcPattern* Wanted = FcNameParse(reinterpret_cast<const FcChar8*>(Pattern));
  if (Wanted == nullptr) {
    Error = platform::Format("motif de police invalide \"%s\"", Pattern);
    return false;
  }
  FcConfigSubstitute(Config, Wanted, FcMatchPattern);
  FcDefaultSubstitute(Wanted);
  FcResult Result = FcResultNoMatch;
  FcPattern* Match = FcFontMatch(Config, Wanted, &Result);
  FcPatternDestroy(Wanted);
  FcChar8* File = nullptr;
  int Index = 0;
  if (Match == nullptr || FcPatternGetString(Match, FC_FILE, 0, &File) != FcResultMatch) {
    if (Match != nullptr) FcPatternDestroy(Match);
    Error = platform::Format("aucune police trouvée pour \"%s\"", Pattern);
    return false;
  }
  FcPatternGetInteger(Match, FC_INDEX, 0, &Index);
  const std::string Path = reinterpret_cast<const char*>(File);
  FcPatternDestroy(Match);

  FT_Face Face = nullptr;
  if (FT_New_Face(GFreeType, Path.c_str(), Index, &Face) != 0) {
    Error = platform::Format("police illisible \"%s\" (%s)", Path.c_str(), Pattern);
    return false;
  }
  if (!FT_IS_SCALABLE(Face)) {
    FT_Done_Face(Face);
    Error = platform::Format("police non vectorielle \"%s\" (%s)", Path.c_str(), Pattern);
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
  // A private configuration, released once the three files are known: its
  // font lists are only needed for the match.
  FcConfig* Config = FcInitLoadConfigAndFonts();
  if (Config == nullptr) {
    Error = "configuration fontconfig introuvable";
    return false;
  }
  TLoadedFace Faces[3];
  bool Ok = true;
  for (int i = 0; i < 3 && Ok; ++i) Ok = LoadOneFace(Config, FONT_PATTERNS[i], Faces[i], Error);
  FcConfigDestroy(Config);
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

void TSurfaceRelease::operator()(cairo_surface_t* Surface) const {
  cairo_surface_destroy(Surface);
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
  Raster.Surface.reset(Surface);
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
  if (Raster.Surface) cairo_surface_mark_dirty(Raster.Surface.get());
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

// --- Area-averaging reduction -------------------------------------------------------

namespace {

// Whole numbers throughout, and no division per pixel. Rows are summed first
// with 8-bit weights into 16-bit sums (exact: the weights of an output row
// add up to 256, so a sum stays below 65536), then each output pixel is the
// weighted sum of the column sums it covers, with 14-bit weights adding up
// to 16384, and one shift: the value is that sum / 2^22, rounded. The column
// sums are kept with their top bit flipped, as signed 16-bit values (sum -
// 32768), the form SSE2's pairwise multiply-add takes; the bias comes back
// as a constant. Where SSE2 is missing, plain loops give the same numbers.
constexpr int ROW_WEIGHT_ONE = 256;
constexpr int COLUMN_WEIGHT_ONE = 16384;
constexpr int SHRINK_SHIFT = 22;  // log2(ROW_WEIGHT_ONE * COLUMN_WEIGHT_ONE)
// What the flipped top bit of the column sums takes off a pixel's weighted
// sum (32768 * COLUMN_WEIGHT_ONE), plus a half for the rounding.
constexpr int32_t SHRINK_START =
    int32_t{32768} * COLUMN_WEIGHT_ONE + (int32_t{1} << (SHRINK_SHIFT - 1));
constexpr uint16_t SUM_FLIP = 0x8000;

// For each output position, the source positions it covers and their shares.
struct TTaps {
  std::vector<int> First;      // first source index of output i
  std::vector<int> Count;      // number of source indexes of output i
  std::vector<int> Offset;     // where output i's shares start in Shares
  std::vector<double> Shares;  // adding up to 1 for each output
};

TTaps AreaTaps(int SrcLen, int DstLen) {
  TTaps Taps;
  Taps.First.resize(DstLen);
  Taps.Count.resize(DstLen);
  Taps.Offset.resize(DstLen);
  // Output i covers source [i * Src / Dst, (i + 1) * Src / Dst); measured in
  // 1/Dst source pixels the bounds are whole numbers.
  for (int i = 0; i < DstLen; ++i) {
    const int64_t Lo = int64_t{i} * SrcLen;
    const int64_t Hi = Lo + SrcLen;
    const int First = static_cast<int>(Lo / DstLen);
    const int Last = static_cast<int>((Hi - 1) / DstLen);
    Taps.First[i] = First;
    Taps.Count[i] = Last - First + 1;
    Taps.Offset[i] = static_cast<int>(Taps.Shares.size());
    for (int j = First; j <= Last; ++j) {
      const int64_t Overlap = std::min<int64_t>(Hi, int64_t{j + 1} * DstLen) -
                              std::max<int64_t>(Lo, int64_t{j} * DstLen);
      Taps.Shares.push_back(static_cast<double>(Overlap) / static_cast<double>(SrcLen));
    }
  }
  return Taps;
}

// The shares of each output as whole numbers adding up to exactly One
// (rounding leftovers go to the largest share).
std::vector<uint16_t> FixedShares(const TTaps& Taps, int One) {
  std::vector<uint16_t> Fixed(Taps.Shares.size());
  for (size_t i = 0; i < Taps.First.size(); ++i) {
    const size_t From = static_cast<size_t>(Taps.Offset[i]);
    const size_t To = From + static_cast<size_t>(Taps.Count[i]);
    int Sum = 0;
    size_t Largest = From;
    for (size_t k = From; k < To; ++k) {
      Fixed[k] = static_cast<uint16_t>(std::lround(Taps.Shares[k] * One));
      Sum += Fixed[k];
      if (Taps.Shares[k] > Taps.Shares[Largest]) Largest = k;
    }
    Fixed[Largest] = static_cast<uint16_t>(Fixed[Largest] + One - Sum);
  }
  return Fixed;
}

// The vertical pass: the source rows of every output row and their weights,
// each weight written eight times (one 16-byte vector).
struct TRowPlan {
  TTaps Taps;
  std::vector<uint16_t> Weights;  // 8 per tap, in the order of Taps.Shares
};

TRowPlan PlanRows(int SrcLen, int DstLen) {
  TRowPlan Plan;
  Plan.Taps = AreaTaps(SrcLen, DstLen);
  const std::vector<uint16_t> Fixed = FixedShares(Plan.Taps, ROW_WEIGHT_ONE);
  Plan.Weights.reserve(Fixed.size() * 8);
  for (const uint16_t Weight : Fixed) Plan.Weights.insert(Plan.Weights.end(), 8, Weight);
  return Plan;
}

// One row of column sums over N bytes: Sums[i] = sum of the weight of row k
// times Rows[k][i], its top bit flipped. Each 32 bytes are summed over all
// the rows in registers before they are stored.
void SumRows(const uint8_t* const* Rows, const uint16_t* Weights, int Count, size_t N,
             uint16_t* Sums) {
  size_t i = 0;
#if defined(__SSE2__)
  const __m128i Zero = _mm_setzero_si128();
  // Adding 0x8000 to a 16-bit sum flips its top bit.
  const __m128i Flip = _mm_set1_epi16(static_cast<int16_t>(SUM_FLIP));
  for (; i + 32 <= N; i += 32) {
    __m128i Acc[4] = {Flip, Flip, Flip, Flip};
    for (int k = 0; k < Count; ++k) {
      const __m128i Weight = _mm_loadu_si128(reinterpret_cast<const __m128i*>(Weights + 8 * k));
      const __m128i A = _mm_loadu_si128(reinterpret_cast<const __m128i*>(Rows[k] + i));
      const __m128i B = _mm_loadu_si128(reinterpret_cast<const __m128i*>(Rows[k] + i + 16));
      Acc[0] = _mm_add_epi16(Acc[0], _mm_mullo_epi16(_mm_unpacklo_epi8(A, Zero), Weight));
      Acc[1] = _mm_add_epi16(Acc[1], _mm_mullo_epi16(_mm_unpackhi_epi8(A, Zero), Weight));
      Acc[2] = _mm_add_epi16(Acc[2], _mm_mullo_epi16(_mm_unpacklo_epi8(B, Zero), Weight));
      Acc[3] = _mm_add_epi16(Acc[3], _mm_mullo_epi16(_mm_unpackhi_epi8(B, Zero), Weight));
    }
    for (int j = 0; j < 4; ++j) {
      _mm_storeu_si128(reinterpret_cast<__m128i*>(Sums + i + 8 * j), Acc[j]);
    }
  }
#endif
  for (; i < N; ++i) {
    unsigned Acc = 0;
    for (int k = 0; k < Count; ++k) Acc += unsigned{Weights[8 * k]} * Rows[k][i];
    Sums[i] = static_cast<uint16_t>(Acc ^ SUM_FLIP);
  }
}

// The horizontal pass: for each output pixel, its taps in pairs (an odd last
// tap paired with a zero weight), each pair's two weights repeated for the
// four channels in the order the pairwise multiply-add takes them.
struct TColumnPlan {
  std::vector<int> First;  // first column of output x
  int Pairs = 0;           // pairs of taps of every output
  // Pairs * 8 weights per output: w0 w1 w0 w1 w0 w1 w0 w1 for the taps
  // First + 2p and First + 2p + 1.
  std::vector<int16_t> Weights;
};

TColumnPlan PlanColumns(int SrcLen, int DstLen) {
  const TTaps Taps = AreaTaps(SrcLen, DstLen);
  const std::vector<uint16_t> Fixed = FixedShares(Taps, COLUMN_WEIGHT_ONE);
  TColumnPlan Plan;
  Plan.First = Taps.First;
  for (const int Count : Taps.Count) Plan.Pairs = std::max(Plan.Pairs, (Count + 1) / 2);
  const size_t Step = static_cast<size_t>(Plan.Pairs) * 8;
  Plan.Weights.assign(static_cast<size_t>(DstLen) * Step, 0);
  for (int x = 0; x < DstLen; ++x) {
    int16_t* W = Plan.Weights.data() + static_cast<size_t>(x) * Step;
    for (int k = 0; k < Taps.Count[x]; ++k) {
      const auto Weight = static_cast<int16_t>(Fixed[static_cast<size_t>(Taps.Offset[x] + k)]);
      for (int c = 0; c < 4; ++c) W[(k / 2) * 8 + 2 * c + k % 2] = Weight;
    }
  }
  return Plan;
}

#if defined(__SSE2__)
// The channels of one output pixel, 0 to 255 each in a 32-bit lane.
template <int PairsT>
__m128i OutputPixel(const uint16_t* P, const int16_t* W, int Pairs) {
  __m128i Acc = _mm_set1_epi32(SHRINK_START);
  for (int p = 0; p < (PairsT > 0 ? PairsT : Pairs); ++p) {
    // Two pixels, B G R X B' G' R' X', made B B' G G' R R' X X'.
    const __m128i Two = _mm_loadu_si128(reinterpret_cast<const __m128i*>(P + 8 * p));
    const __m128i Paired = _mm_unpacklo_epi16(Two, _mm_srli_si128(Two, 8));
    const __m128i Weights = _mm_loadu_si128(reinterpret_cast<const __m128i*>(W + 8 * p));
    Acc = _mm_add_epi32(Acc, _mm_madd_epi16(Paired, Weights));
  }
  return _mm_srli_epi32(Acc, SHRINK_SHIFT);
}
#endif

// One output row from its column sums (with room after them for the
// padding taps, whose weight is 0). PairsT, when not 0, is Plan.Pairs known
// in advance, so that the loop over the pairs unrolls.
template <int PairsT>
void ShrinkAcrossWith(const uint16_t* Sums, const TColumnPlan& Plan, int DstWidth, uint8_t* Out) {
  const int Pairs = PairsT > 0 ? PairsT : Plan.Pairs;
  const size_t Step = 8 * static_cast<size_t>(Pairs);
  const int16_t* W = Plan.Weights.data();
  const auto At = [&](int x) { return Sums + 4 * static_cast<size_t>(Plan.First[x]); };
  int x = 0;
#if defined(__SSE2__)
  const __m128i Opaque = _mm_set1_epi32(static_cast<int32_t>(0xFF000000u));
  for (; x + 2 <= DstWidth; x += 2, W += 2 * Step) {
    const __m128i Words = _mm_packs_epi32(OutputPixel<PairsT>(At(x), W, Pairs),
                                          OutputPixel<PairsT>(At(x + 1), W + Step, Pairs));
    const __m128i Bytes = _mm_or_si128(_mm_packus_epi16(Words, Words), Opaque);
    _mm_storel_epi64(reinterpret_cast<__m128i*>(Out + 4 * static_cast<size_t>(x)), Bytes);
  }
#endif
  for (; x < DstWidth; ++x, W += Step) {
    const uint16_t* P = At(x);
    int32_t Acc[3] = {SHRINK_START, SHRINK_START, SHRINK_START};
    for (int p = 0; p < Pairs; ++p) {
      for (int c = 0; c < 3; ++c) {
        Acc[c] += int32_t{static_cast<int16_t>(P[8 * p + c])} * W[8 * p + 2 * c] +
                  int32_t{static_cast<int16_t>(P[8 * p + 4 + c])} * W[8 * p + 2 * c + 1];
      }
    }
    for (int c = 0; c < 3; ++c) Out[4 * x + c] = static_cast<uint8_t>(Acc[c] >> SHRINK_SHIFT);
    Out[4 * x + 3] = 0xFF;
  }
}

void ShrinkAcross(const uint16_t* Sums, const TColumnPlan& Plan, int DstWidth, uint8_t* Out) {
  switch (Plan.Pairs) {
    case 1:
      return ShrinkAcrossWith<1>(Sums, Plan, DstWidth, Out);
    case 2:
      return ShrinkAcrossWith<2>(Sums, Plan, DstWidth, Out);
    case 3:
      return ShrinkAcrossWith<3>(Sums, Plan, DstWidth, Out);
    case 4:
      return ShrinkAcrossWith<4>(Sums, Plan, DstWidth, Out);
    default:
      return ShrinkAcrossWith<0>(Sums, Plan, DstWidth, Out);
  }
}

}  // namespace

bool ShrinkRaster(const TRaster& Source, TRaster& Dest, int Width, int Height, std::string& Error) {
  if (Source.Pixels == nullptr || Width < 1 || Height < 1 || Width > Source.Width ||
      Height > Source.Height) {
    Error = platform::Format("réduction impossible de %dx%d à %dx%d", Source.Width, Source.Height,
                             Width, Height);
    return false;
  }
  if (!SizeRaster(Dest, Width, Height, Error)) return false;
  const TRowPlan Down = PlanRows(Source.Height, Height);
  const TColumnPlan Across = PlanColumns(Source.Width, Width);
  const size_t RowBytes = static_cast<size_t>(Source.Width) * 4;
  // The last output's padding taps read up to 2 * Pairs pixels past the row.
  std::vector<uint16_t> Sums(RowBytes + 8 * static_cast<size_t>(Across.Pairs), 0);
  std::vector<const uint8_t*> Rows;
  for (int y = 0; y < Height; ++y) {
    Rows.clear();
    for (int k = 0; k < Down.Taps.Count[y]; ++k) {
      Rows.push_back(Source.Pixels + static_cast<size_t>(Down.Taps.First[y] + k) *
                                         static_cast<size_t>(Source.Stride));
    }
    SumRows(Rows.data(), Down.Weights.data() + 8 * static_cast<size_t>(Down.Taps.Offset[y]),
            Down.Taps.Count[y], RowBytes, Sums.data());
    ShrinkAcross(Sums.data(), Across, Width,
                 Dest.Pixels + static_cast<size_t>(y) * static_cast<size_t>(Dest.Stride));
  }
  MarkRasterChanged(Dest);
  return true;
}
