// Area-averaging reduction of UImageShrink.h.
#include "imaging/UImageShrink.h"

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "imaging/UImageCanvas.h"
#include "imaging/UShrinkTaps.h"
#include "platform/Text.h"

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
