// libFuzzer target: an instrument's photograph as the picture pipeline reads
// it. Beyond crashes and sanitizer reports it aborts when a picture refused
// by the header checks reaches the decoder's output, when the decoder
// announces another size than the header, when a picture above the size
// limits is decoded, or when a picture called whole cannot be sized. (A
// picture may decode and still not be whole: bytes after its end marker.)
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "FuzzSupport.h"
#include "imaging/UJpegCodec.h"

using fuzz_support::Check;

namespace {

// Full rasters are decoded only up to this many pixels: larger ones go
// through the row decoder alone, which keeps no more than a band of rows.
constexpr int64_t kRasterPixels = 1 << 20;

struct TRows {
  bool Started = false;
  int Width = 0, Height = 0, Filled = 0;
  std::vector<uint8_t> Band;

  static bool Start(void* Context, int Width, int Height, char*, size_t) {
    TRows& self = *static_cast<TRows*>(Context);
    self.Started = true;
    self.Width = Width;
    self.Height = Height;
    self.Band.assign(static_cast<size_t>(Width) * 4 * JPEG_ROWS_PER_CALL, 0);
    return true;
  }
  static uint8_t* Row(void* Context, int Y) {
    TRows& self = *static_cast<TRows*>(Context);
    Check(Y >= 0 && Y < self.Height);
    return self.Band.data() + static_cast<size_t>(Y % JPEG_ROWS_PER_CALL) * self.Width * 4;
  }
  static void Done(void* Context, int First, int Count) {
    TRows& self = *static_cast<TRows*>(Context);
    Check(First == self.Filled && Count > 0 && Count <= JPEG_ROWS_PER_CALL);
    self.Filled += Count;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view jpeg(reinterpret_cast<const char*>(data), size);

  int width = 0, height = 0;
  std::string error;
  const bool sized = ReadJpegSize(jpeg, width, height, error);
  if (sized) {
    Check(width > 0 && height > 0 && width <= JPEG_MAX_SIDE && height <= JPEG_MAX_SIDE);
    Check(static_cast<int64_t>(width) * height <= JPEG_MAX_PIXELS);
  } else {
    Check(!error.empty());
  }
  const bool whole = IsWholeJpeg(jpeg);
  if (whole) Check(sized);

  TRows rows;
  const TJpegRowTarget target{&rows, &TRows::Start, &TRows::Row, &TRows::Done};
  std::string rowError;
  const bool decoded = DecodeJpegRows(jpeg, target, rowError);
  // A picture the header checks refuse is never decoded.
  if (!sized) Check(!rows.Started && !decoded);
  if (rows.Started) Check(rows.Width == width && rows.Height == height);
  if (decoded) Check(rows.Filled == height);
  if (!decoded) Check(!rowError.empty());

  if (sized && static_cast<int64_t>(width) * height <= kRasterPixels) {
    TRaster raster;
    std::string rasterError;
    const bool full = DecodeJpeg(jpeg, raster, rasterError);
    Check(full == decoded);
    if (full) Check(raster.Width == width && raster.Height == height && raster.Pixels != nullptr);
  }
  return 0;
}
