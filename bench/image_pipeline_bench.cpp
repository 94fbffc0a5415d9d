// Times one cassette through the image pipeline on a synthetic 1600 x 2400
// photograph: the whole GenerateCompositeImage (with and without alert
// border), its stages one by one, and the bare libjpeg-turbo work that no
// pipeline can avoid (decode the photograph, encode the composite, encode
// the reduced copy). Prints the medians, the ratios to that floor and the
// peak memory of a process that renders one bordered cassette; then the
// reduction of the reduced copy against the floating-point reference it
// replaced, on the composite, the photograph and noise at several factors:
// both times and the largest difference of a channel.
//
//   image_pipeline_bench [runs]
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "imaging/ImagingTestData.h"
#include "imaging/UCompositeRender.h"
#include "imaging/UImageProcessor.h"
#include "imaging/UJpegCodec.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "samplelab/SamplePhoto.h"

// --- Reference reduction: the floating-point area averaging the integer one
// replaced, kept here only to compare times and pixel values ----------------
namespace reference {

// Rows are summed first with 8-bit weights into 16-bit sums (exact: the
// weights of an output row add up to 256, so a sum stays below 65536), then
// each output pixel is the weighted sum, in floating point, of the column
// sums it covers. Both passes use the compiler's vector types where it has
// them; the plain loops give the same numbers.
constexpr int ROW_WEIGHT_ONE = 256;

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

// Sum += Weight * Src over N bytes.
void AddWeightedRow(uint16_t* Sum, const uint8_t* Src, size_t N, uint16_t Weight) {
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
void ShrinkAcross(const uint16_t* Sums, const TTaps& Taps, const std::vector<float>& Shares,
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

bool Shrink(const TRaster& Source, TRaster& Dest, int Width, int Height, std::string& Error) {
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

namespace {

double NowMs() {
  return std::chrono::duration<double, std::milli>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

double Median(std::vector<double> Values) {
  std::sort(Values.begin(), Values.end());
  const size_t N = Values.size();
  return N % 2 == 1 ? Values[N / 2] : (Values[N / 2 - 1] + Values[N / 2]) / 2;
}

long PeakRssKiB() {
  rusage Usage{};
  getrusage(RUSAGE_SELF, &Usage);
  return Usage.ru_maxrss;
}

[[noreturn]] void Fail(const std::string& What) {
  std::fprintf(stderr, "image_pipeline_bench: %s\n", What.c_str());
  std::exit(1);
}

struct TBenchSetup {
  std::string Root;
  std::string ImagesFolder;
  std::string PhotoJpeg;
  TAppConfig Config;
};

TBenchSetup Prepare(const std::string& Root) {
  TBenchSetup S;
  S.Root = Root;
  S.ImagesFolder = Root + "/images";
  S.Config = imaging_test::MakeConfig(Root);
  for (const std::string& Folder :
       {S.ImagesFolder, S.Config.ImageDestFolder, S.Config.ResizedImageDest, S.Config.LogFolder}) {
    if (!platform::MakeFolders(Folder).Ok()) Fail("cannot create " + Folder);
  }
  TSamplePhotoOptions Options;
  std::string Error;
  if (!MakeSamplePhotoJpeg(Options, S.PhotoJpeg, Error)) Fail("photograph: " + Error);
  if (!platform::WriteFileBytes(S.ImagesFolder + "/photo1.jpg", S.PhotoJpeg).Ok()) {
    Fail("cannot write the photograph");
  }
  return S;
}

TASTMMessage Message(const std::string& Flag) {
  imaging_test::TTestCassette Cassette;
  Cassette.Flag = Flag;
  return imaging_test::MakeMessage({Cassette});
}

bool RunCassette(const TBenchSetup& S, const TASTMMessage& Msg) {
  TCassetteGroup Groups[MAX_CASSETTES];
  int Count = 0;
  GroupByCassette(Msg, Groups, Count);
  TImageResult Result;
  const bool Ok =
      GenerateCompositeImage(Msg, Groups[0], S.Config, S.ImagesFolder, "Automatic", Result);
  FreeCassetteGroup(Groups[0]);
  return Ok && !Result.ResizedPath.empty();
}

// Child mode: render one bordered cassette in a fresh process and print the
// peak resident size.
int PeakMemoryChild(const std::string& Root) {
  const long Before = PeakRssKiB();
  TBenchSetup S;
  S.Root = Root;
  S.ImagesFolder = Root + "/images";
  S.Config = imaging_test::MakeConfig(Root);
  if (!RunCassette(S, Message("M"))) Fail("peak run failed");
  std::printf("%ld %ld\n", Before, PeakRssKiB());
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--peak") return PeakMemoryChild(argv[2]);
  const int Runs = argc > 1 ? std::max(3, std::atoi(argv[1])) : 15;

  std::mt19937 Random{std::random_device{}()};
  const std::string Root =
      (std::filesystem::temp_directory_path() / ("velmar-bench-" + std::to_string(Random())))
          .string();
  const TBenchSetup S = Prepare(Root);
  const TASTMMessage Plain = Message("");
  const TASTMMessage Bordered = Message("M");
  std::string Error;
  if (!LoadCanvasFonts(Error)) Fail("fonts: " + Error);

  // The first round of each loop warms caches and is not counted.
  std::map<std::string, std::vector<double>> Times;
  bool Counting = false;
  const auto Time = [&](const std::string& Name, const std::function<void()>& Work) {
    const double Start = NowMs();
    Work();
    if (Counting) Times[Name].push_back(NowMs() - Start);
  };

  TCassetteGroup Groups[MAX_CASSETTES];
  int GroupCount = 0;
  GroupByCassette(Plain, Groups, GroupCount);
  const TCassetteGroup& Group = Groups[0];
  const std::string OutPath = S.Root + "/stage.jpg";

  // The whole pipeline, as the service runs it: one cassette after another.
  for (int Run = 0; Run < Runs + 1; ++Run) {
    Counting = Run > 0;
    Time("pipeline, no border", [&] {
      if (!RunCassette(S, Plain)) Fail("pipeline failed");
    });
  }
  for (int Run = 0; Run < Runs + 1; ++Run) {
    Counting = Run > 0;
    Time("pipeline, red border", [&] {
      if (!RunCassette(S, Bordered)) Fail("pipeline failed");
    });
  }
  // The stages one by one, as the pipeline runs them, and the floor:
  // libjpeg-turbo alone on the same pictures, into rasters that already
  // exist.
  TRaster Photo, Reduced;
  TCanvas Dest;
  std::string Saved, Small;
  for (int Run = 0; Run < Runs + 1; ++Run) {
    Counting = Run > 0;
    Time("1 read, decode and assemble", [&] {
      std::string Bytes;
      if (!platform::ReadFileBytes(S.ImagesFolder + "/photo1.jpg", Bytes).Ok() ||
          !CropAndAssembleFromJpeg(Bytes, Dest, Error)) {
        Fail("decode: " + Error);
      }
    });
    const int W = Dest.Bmp.Width;
    Time("2 draw", [&] {
      MaskUnusedWells(Dest, W, Group);
      DrawHeader(Dest, W, Plain, Group, "fr", 2, 3);
      DrawReagentGrid(Dest, W, Group, 2, 3);
      DrawFooter(Dest, W, Group, "Automatic", "fr", "ABO/Rh");
    });
    Time("3 encode and write", [&] {
      if (!EncodeJpeg(Dest.Bmp, Saved, Error) ||
          !platform::WriteFileReplacing(OutPath, Saved).Ok()) {
        Fail("encode: " + Error);
      }
    });
    Time("4 border reload, draw, save", [&] {
      if (!DecodeJpeg(Saved, Dest.Bmp, Error)) Fail("reload: " + Error);
      DrawAlertBorder(Dest, W, Dest.Bmp.Height, abtRed);
      if (!EncodeJpeg(Dest.Bmp, Saved, Error) ||
          !platform::WriteFileReplacing(OutPath, Saved).Ok()) {
        Fail("encode: " + Error);
      }
    });
    Time("5 reduced copy", [&] {
      if (!ResizeAndSave(Dest.Bmp, S.Root + "/stage_small.jpg", 33)) Fail("reduced copy");
    });

    if (!ShrinkRaster(Dest.Bmp, Reduced, ReducedSide(W, 33), ReducedSide(Dest.Bmp.Height, 33),
                      Error)) {
      Fail("shrink: " + Error);
    }
    Time("floor: decode photograph", [&] {
      if (!DecodeJpeg(S.PhotoJpeg, Photo, Error)) Fail("decode: " + Error);
    });
    Time("floor: encode composite", [&] {
      if (!EncodeJpeg(Dest.Bmp, Saved, Error)) Fail("encode: " + Error);
    });
    Time("floor: encode reduced copy", [&] {
      if (!EncodeJpeg(Reduced, Small, Error)) Fail("encode: " + Error);
    });
    Time("floor+: decode composite (border)", [&] {
      if (!DecodeJpeg(Saved, Dest.Bmp, Error)) Fail("decode: " + Error);
    });
  }
  FreeCassetteGroup(Groups[0]);
  std::map<std::string, double> Med;
  // The reduction against the reference, on the composite as the reduced
  // copy gets it, the photograph, and noise (every rounding shows there).
  TRaster Noise;
  if (!SizeRaster(Noise, Dest.Bmp.Width, Dest.Bmp.Height, Error)) Fail("noise: " + Error);
  std::mt19937 NoiseBits{12345};
  for (int Y = 0; Y < Noise.Height; ++Y) {
    uint8_t* Row = Noise.Pixels + static_cast<size_t>(Y) * static_cast<size_t>(Noise.Stride);
    for (int X = 0; X < Noise.Width * 4; ++X) {
      Row[X] = X % 4 == 3 ? 0xFF : static_cast<uint8_t>(NoiseBits());
    }
  }
  MarkRasterChanged(Noise);
  struct TPicture {
    const char* Name;
    const TRaster* Raster;
  };
  std::vector<std::string> ShrinkLines;
  for (const TPicture& P : {TPicture{"composite", &Dest.Bmp}, TPicture{"photograph", &Photo},
                            TPicture{"noise", &Noise}}) {
    for (const int Factor : {33, 50, 25, 10, 90}) {
      const int SW = P.Raster->Width, SH = P.Raster->Height;
      const int DW = ReducedSide(SW, Factor), DH = ReducedSide(SH, Factor);
      std::vector<double> Old, New;
      TRaster A, B;
      for (int Run = 0; Run < Runs + 1; ++Run) {
        const double T0 = NowMs();
        if (!reference::Shrink(*P.Raster, A, DW, DH, Error)) Fail("reference: " + Error);
        const double T1 = NowMs();
        if (!ShrinkRaster(*P.Raster, B, DW, DH, Error)) Fail("shrink: " + Error);
        const double T2 = NowMs();
        if (Run > 0) Old.push_back(T1 - T0), New.push_back(T2 - T1);
      }
      int Largest = 0;
      for (int Y = 0; Y < DH; ++Y) {
        const uint8_t* RowA = A.Pixels + static_cast<size_t>(Y) * static_cast<size_t>(A.Stride);
        const uint8_t* RowB = B.Pixels + static_cast<size_t>(Y) * static_cast<size_t>(B.Stride);
        for (int X = 0; X < DW * 4; ++X) Largest = std::max(Largest, std::abs(RowA[X] - RowB[X]));
      }
      if (P.Raster == &Dest.Bmp && Factor == 33) Med["shrink, composite at 33%"] = Median(New);
      ShrinkLines.push_back(platform::Format(
          "  %-10s %4d x %-4d at %2d%%: old %6.2f (best %6.2f)  new %5.2f (best %5.2f)  "
          "largest difference %d",
          P.Name, SW, SH, Factor, Median(Old), *std::min_element(Old.begin(), Old.end()),
          Median(New), *std::min_element(New.begin(), New.end()), Largest));
      FreeRaster(A);
      FreeRaster(B);
    }
  }
  FreeRaster(Noise);

  std::printf("One cassette, 1600 x 2400 photograph (%zu bytes), %d runs, medians in ms\n",
              S.PhotoJpeg.size(), Runs);
  for (const auto& [Name, Values] : Times) {
    Med[Name] = Median(Values);
    std::printf("  %-34s %8.2f\n", Name.c_str(), Med[Name]);
  }
  const double Floor = Med["floor: decode photograph"] + Med["floor: encode composite"] +
                       Med["floor: encode reduced copy"];
  const double BorderFloor =
      Floor + Med["floor+: decode composite (border)"] + Med["floor: encode composite"];
  std::printf("  codec floor                         %8.2f\n", Floor);
  std::printf("  ratio, no border  (target <= 1.5)   %8.2f\n", Med["pipeline, no border"] / Floor);
  std::printf("  ratio, red border (target <= 1.5)   %8.2f  (floor + decode + encode = %.2f)\n",
              Med["pipeline, red border"] / BorderFloor, BorderFloor);

  std::printf(
      "Reduction of the reduced copy, reference (floating point) and now, medians and best in "
      "ms\n");
  for (const std::string& Line : ShrinkLines) std::printf("%s\n", Line.c_str());
  std::printf("  shrink, composite at 33%% (target <= 3) %6.2f\n", Med["shrink, composite at 33%"]);

  // Peak memory of a process that renders one bordered cassette.
  const std::string Command = std::string(argv[0]) + " --peak " + S.Root;
  FILE* Child = popen(Command.c_str(), "r");
  long Before = 0, Peak = 0;
  if (Child == nullptr || std::fscanf(Child, "%ld %ld", &Before, &Peak) != 2) {
    std::printf("  peak memory: not measured\n");
  } else {
    std::printf(
        "  peak memory, one bordered cassette  %8.1f MiB (at start %.1f MiB; target < 64)\n",
        Peak / 1024.0, Before / 1024.0);
  }
  if (Child != nullptr) pclose(Child);

  std::error_code Ec;
  std::filesystem::remove_all(S.Root, Ec);
  return 0;
}
