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
#include "imaging/ShrinkReference.h"
#include "imaging/UCompositeRender.h"
#include "imaging/UImageProcessor.h"
#include "imaging/UJpegCodec.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "samplelab/SamplePhoto.h"

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
