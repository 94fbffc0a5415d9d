#pragma once

// Real Code 128 symbols for the sample data, the tests and the benchmarks,
// encoded by libzint and drawn with Cairo.

#include <cairo.h>

#include <string>

// Draws `text` as a Code 128 symbol filling the rectangle (x, y, width,
// height) in the context's user units: black bars, no human-readable line,
// and a quiet zone of 10 modules on each side left as the current
// background. When a module is at least one unit wide, modules are a whole
// number of units (crisp bars) and the symbol is centred in the rectangle.
// False when the text cannot be encoded or the rectangle is empty.
bool DrawCode128(cairo_t* cr, double x, double y, double width, double height,
                 const std::string& text);
