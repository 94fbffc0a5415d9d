#pragma once

// The floating-point area averaging the integer reduction (ShrinkRaster in
// imaging/UImageShrink.h) replaced, kept only to compare times and pixel
// values with it (bench/image_pipeline_bench.cpp runs both).

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

#include "imaging/UImageCanvas.h"
#include "imaging/UShrinkTaps.h"
#include "platform/Text.h"

namespace reference {

// Rows are summed first with 8-bit weights into 16-bit sums (exact: the
// weights of an output row add up to 256, so a sum stays below 65536), then
// each output pixel is the weighted sum, in floating point, of the column
// sums it covers. Both passes use the compiler's vector types where it has
// them; the plain loops give the same numbers.
inline constexpr int ROW_WEIGHT_ONE = 256;

// Sum += Weight * Src over N bytes.
inline void AddWeightedRow(uint16_t* Sum, const uint8_t* Src, size_t N, uint16_t Weight) {
  size_t i = 0;
#if defined(__GNUC__)
  typedef uint8_t TBytes8 __attribute__((vector_size(8)));
  typedef uint16_t TWords8 __attribute__((vector_size(16)));
  for (; i + 8 <= N; i += 8) {
    TBytes8 Bytes;
    TWords8 Words;
    std::memcpy(&Bytes, Src + i, sizeof Bytes);
    std::memcpy(&Words, Sum + i, sizeof Words);
    Words += __builtin_convertvector(Bytes, TWords8) * Weight;
    std::memcpy(Sum + i, &Words, sizeof Words);
  }
#endif
  for (; i < N; ++i) Sum[i] = static_cast<uint16_t>(Sum[i] + Weight * Src[i]);
}

// One output row from the row sums: every pixel (B, G, R, X at once) is the
// weighted sum of the column sums it covers.
inline void ShrinkAcross(const uint16_t* Sums, const TTaps& Taps, const std::vector<float>& Shares,
                         int DstWidth, uint8_t* Out) {
  constexpr float Scale = 1.0f / ROW_WEIGHT_ONE;
  for (int x = 0; x < DstWidth; ++x) {
    const uint16_t* P = Sums + 4 * static_cast<size_t>(Taps.First[x]);
    const float* W = Shares.data() + Taps.Offset[x];
#if defined(__GNUC__)
    typedef uint16_t TWords4 __attribute__((vector_size(8)));
    typedef int32_t TInts4 __attribute__((vector_size(16)));
    typedef float TFloats4 __attribute__((vector_size(16)));
    typedef uint8_t TBytes4 __attribute__((vector_size(4)));
    TFloats4 Acc = {0, 0, 0, 0};
    for (int k = 0; k < Taps.Count[x]; ++k, P += 4) {
      TWords4 Pixel;
      std::memcpy(&Pixel, P, sizeof Pixel);
      const TInts4 Wide = __builtin_convertvector(Pixel, TInts4);
      Acc += __builtin_convertvector(Wide, TFloats4) * W[k];
    }
    // The shares add up to 1, so a value never exceeds 255.5 and truncates
    // to at most 255.
    const TBytes4 Value =
        __builtin_convertvector(__builtin_convertvector(Acc * Scale + 0.5f, TInts4), TBytes4);
    std::memcpy(Out + 4 * x, &Value, 3);
#else
    float Acc[3] = {0, 0, 0};
    for (int k = 0; k < Taps.Count[x]; ++k, P += 4) {
      for (int c = 0; c < 3; ++c) Acc[c] += static_cast<float>(P[c]) * W[k];
    }
    for (int c = 0; c < 3; ++c) {
      Out[4 * x + c] = static_cast<uint8_t>(static_cast<int32_t>(Acc[c] * Scale + 0.5f));
    }
#endif
    Out[4 * x + 3] = 0xFF;
  }
}

inline bool Shrink(const TRaster& Source, TRaster& Dest, int Width, int Height,
                   std::string& Error) {
  if (Source.Pixels == nullptr || Width < 1 || Height < 1 || Width > Source.Width ||
      Height > Source.Height) {
    Error = platform::Format("réduction impossible de %dx%d à %dx%d", Source.Width, Source.Height,
                             Width, Height);
    return false;
  }
  if (!SizeRaster(Dest, Width, Height, Error)) return false;
  const TTaps Across = AreaTaps(Source.Width, Width);
  const TTaps Down = AreaTaps(Source.Height, Height);
  const std::vector<uint16_t> RowWeights = FixedShares(Down, ROW_WEIGHT_ONE);
  const std::vector<float> ColumnShares(Across.Shares.begin(), Across.Shares.end());
  const size_t RowBytes = static_cast<size_t>(Source.Width) * 4;
  std::vector<uint16_t> Sums(RowBytes);
  for (int y = 0; y < Height; ++y) {
    std::fill(Sums.begin(), Sums.end(), uint16_t{0});
    for (int k = 0; k < Down.Count[y]; ++k) {
      const uint8_t* Src = Source.Pixels + static_cast<size_t>(Down.First[y] + k) *
                                               static_cast<size_t>(Source.Stride);
      AddWeightedRow(Sums.data(), Src, RowBytes, RowWeights[Down.Offset[y] + k]);
    }
    ShrinkAcross(Sums.data(), Across, ColumnShares, Width,
                 Dest.Pixels + static_cast<size_t>(y) * static_cast<size_t>(Dest.Stride));
  }
  MarkRasterChanged(Dest);
  return true;
}

}  // namespace reference
