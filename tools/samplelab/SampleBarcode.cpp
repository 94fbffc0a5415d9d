#include "samplelab/SampleBarcode.h"

#include <zint.h>

#include <algorithm>
#include <cmath>
#include <vector>

namespace {

// Modules of blank space on each side of the symbol.
constexpr int kQuietModules = 10;

struct TBar {
  double Start;  // in modules from the first bar
  double Width;  // in modules
};

// The bars of the encoded symbol in module units, or an empty list.
std::vector<TBar> EncodeBars(const std::string& text, int& modules) {
  std::vector<TBar> bars;
  modules = 0;
  zint_symbol* symbol = ZBarcode_Create();
  if (symbol == nullptr) return bars;
  symbol->symbology = BARCODE_CODE128;
  symbol->show_hrt = 0;
  symbol->input_mode = DATA_MODE;
  const int rc =
      ZBarcode_Encode_and_Buffer_Vector(symbol, reinterpret_cast<const unsigned char*>(text.data()),
                                        static_cast<int>(text.size()), 0);
  if (rc < ZINT_ERROR && symbol->vector != nullptr && symbol->width > 0) {
    double left = 1e30;
    double right = -1e30;
    for (const zint_vector_rect* r = symbol->vector->rectangles; r != nullptr; r = r->next) {
      left = std::min(left, static_cast<double>(r->x));
      right = std::max(right, static_cast<double>(r->x + r->width));
    }
    // The first and the last module of a Code 128 symbol are bars, so the
    // bars span exactly `width` modules.
    const double unit = (right - left) / symbol->width;
    if (unit > 0) {
      modules = symbol->width;
      for (const zint_vector_rect* r = symbol->vector->rectangles; r != nullptr; r = r->next)
        bars.push_back({std::round((r->x - left) / unit), std::round(r->width / unit)});
    }
  }
  ZBarcode_Delete(symbol);
  if (modules == 0) bars.clear();
  return bars;
}

}  // namespace

bool DrawCode128(cairo_t* cr, double x, double y, double width, double height,
                 const std::string& text) {
  if (cr == nullptr || text.empty() || !(width > 0) || !(height > 0)) return false;
  int modules = 0;
  const std::vector<TBar> bars = EncodeBars(text, modules);
  if (bars.empty()) return false;

  const int total = modules + 2 * kQuietModules;
  double module = width / total;
  double left = x + kQuietModules * module;
  if (module >= 1) {
    module = std::floor(module);
    left = std::round(x + (width - module * total) / 2) + kQuietModules * module;
  }

  cairo_save(cr);
  cairo_set_antialias(cr, CAIRO_ANTIALIAS_NONE);
  cairo_set_source_rgb(cr, 0, 0, 0);
  for (const TBar& bar : bars)
    cairo_rectangle(cr, left + bar.Start * module, y, bar.Width * module, height);
  cairo_fill(cr);
  cairo_restore(cr);
  return true;
}
