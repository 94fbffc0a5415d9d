#pragma once

// Rasters for the barcode tests: Cairo RGB24 surfaces (the composite's pixel
// layout) with real Code 128 symbols drawn by the sample-data encoder.

#include <cairo.h>

#include <cstdint>
#include <random>
#include <string>

#include "barcode/UZBar.h"
#include "samplelab/SampleBarcode.h"

namespace barcode_testing {

// Size of a composite picture.
constexpr int kCompositeWidth = 1600;
constexpr int kCompositeHeight = 2888;

class TSurface {
 public:
  TSurface(int width, int height, double grey = 1.0)
      : surface_(cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height)),
        cr_(cairo_create(surface_)) {
    cairo_set_antialias(cr_, CAIRO_ANTIALIAS_NONE);
    Fill(0, 0, width, height, grey);
  }
  ~TSurface() {
    cairo_destroy(cr_);
    cairo_surface_destroy(surface_);
  }
  TSurface(const TSurface&) = delete;
  TSurface& operator=(const TSurface&) = delete;

  cairo_t* Cr() const { return cr_; }

  void Fill(double x, double y, double w, double h, double grey) {
    cairo_set_source_rgb(cr_, grey, grey, grey);
    cairo_rectangle(cr_, x, y, w, h);
    cairo_fill(cr_);
  }

  bool Code128(double x, double y, double w, double h, const std::string& text) {
    return DrawCode128(cr_, x, y, w, h, text);
  }

  // Random grey levels over a rectangle, one per pixel.
  void Noise(int x, int y, int w, int h, unsigned seed) {
    cairo_surface_flush(surface_);
    std::mt19937 gen(seed);
    uint8_t* data = cairo_image_surface_get_data(surface_);
    const int stride = cairo_image_surface_get_stride(surface_);
    for (int row = y; row < y + h; ++row)
      for (int col = x; col < x + w; ++col) {
        uint8_t* px = data + row * stride + col * 4;
        px[0] = px[1] = px[2] = static_cast<uint8_t>(gen() & 0xFF);
      }
    cairo_surface_mark_dirty(surface_);
  }

  void SetPixel(int x, int y, uint8_t r, uint8_t g, uint8_t b) {
    cairo_surface_flush(surface_);
    uint8_t* px = cairo_image_surface_get_data(surface_) +
                  y * cairo_image_surface_get_stride(surface_) + x * 4;
    px[0] = b;
    px[1] = g;
    px[2] = r;
    cairo_surface_mark_dirty(surface_);
  }

  TRasterView View() {
    cairo_surface_flush(surface_);
    TRasterView view;
    view.Pixels = cairo_image_surface_get_data(surface_);
    view.Width = cairo_image_surface_get_width(surface_);
    view.Height = cairo_image_surface_get_height(surface_);
    view.Stride = cairo_image_surface_get_stride(surface_);
    return view;
  }

 private:
  cairo_surface_t* surface_;
  cairo_t* cr_;
};

// A composite-like picture: a mid-grey photograph with darker gel columns
// and, in the barcode strip, a white label with `code` (none when empty)
// printed over rows labelTop..labelTop+labelHeight.
inline void DrawComposite(TSurface& s, const std::string& code, int labelTop = 2400,
                          int labelHeight = 300) {
  s.Fill(0, 0, kCompositeWidth, kCompositeHeight, 0.55);
  for (int i = 0; i < 6; ++i) s.Fill(150 + i * 220, 300, 90, 1900, 0.3);
  s.Fill(300, labelTop, 1000, labelHeight, 0.95);
  if (!code.empty()) s.Code128(320, labelTop + 20, 960, labelHeight - 40, code);
}

}  // namespace barcode_testing
