// Cost of the barcode check on a composite picture (1600 x 2888, Cairo RGB24)
// with a real Code 128 in the barcode strip:
//   - best case: the code is read by the first pass over zone 0;
//   - worst case: nothing is read (four passes over each of the two zones);
//   - the library's scan time per pass, from the reader's own "PERF" lines.
// For scale, one JPEG encoding (quality 90) of the same composite is timed
// too: the picture pipeline encodes each composite at least once.
//
// Usage: barcode_bench [iterations]   (default 20)

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <vector>

// After <cstdio>: the header uses FILE and size_t without including them.
#include <jpeglib.h>

#include "barcode/BarcodeRasters.h"
#include "barcode/UBarcodeVerif.h"
#include "barcode/UZBar.h"
#include "logging/ULogger.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Text.h"

namespace {

using Clock = std::chrono::steady_clock;

double MsSince(Clock::time_point start) {
  return std::chrono::duration<double, std::milli>(Clock::now() - start).count();
}

struct TStats {
  std::vector<double> Samples;
  void Add(double v) { Samples.push_back(v); }
  double Mean() const {
    double sum = 0;
    for (double v : Samples) sum += v;
    return Samples.empty() ? 0 : sum / Samples.size();
  }
  double Median() const {
    if (Samples.empty()) return 0;
    std::vector<double> s = Samples;
    std::sort(s.begin(), s.end());
    return s[s.size() / 2];
  }
  double Min() const {
    return Samples.empty() ? 0 : *std::min_element(Samples.begin(), Samples.end());
  }
};

// Encodes the raster as a baseline JPEG at quality 90, in memory.
size_t EncodeJpeg(const TRasterView& view) {
  jpeg_compress_struct cinfo{};
  jpeg_error_mgr jerr{};
  cinfo.err = jpeg_std_error(&jerr);
  jpeg_create_compress(&cinfo);
  unsigned char* out = nullptr;
  unsigned long outSize = 0;
  jpeg_mem_dest(&cinfo, &out, &outSize);
  cinfo.image_width = static_cast<JDIMENSION>(view.Width);
  cinfo.image_height = static_cast<JDIMENSION>(view.Height);
  cinfo.input_components = 4;
  cinfo.in_color_space = JCS_EXT_BGRX;
  jpeg_set_defaults(&cinfo);
  jpeg_set_quality(&cinfo, 90, TRUE);
  jpeg_start_compress(&cinfo, TRUE);
  while (cinfo.next_scanline < cinfo.image_height) {
    JSAMPROW row = const_cast<JSAMPROW>(view.Pixels + cinfo.next_scanline * view.Stride);
    jpeg_write_scanlines(&cinfo, &row, 1);
  }
  jpeg_finish_compress(&cinfo);
  jpeg_destroy_compress(&cinfo);
  std::free(out);
  return outSize;
}

// Mean of the "FScanImage [tag] = Nms" lines of the service log, per tag
// family (f83, f83i, pNN, pNNi).
std::map<std::string, TStats> ScanTimesFromLog(const std::string& logFile) {
  std::map<std::string, TStats> byTag;
  std::string bytes;
  if (!platform::ReadFileBytes(logFile, bytes).Ok()) return byTag;
  for (const std::string& line : platform::SplitLines(bytes)) {
    const size_t at = line.find("FScanImage [");
    if (at == std::string::npos) continue;
    const size_t tagStart = at + 12;
    const size_t tagEnd = line.find(']', tagStart);
    const size_t eq = line.find("= ", tagEnd);
    const size_t ms = line.find("ms", eq);
    if (tagEnd == std::string::npos || eq == std::string::npos || ms == std::string::npos) continue;
    std::string tag = line.substr(tagStart, tagEnd - tagStart);
    if (tag[0] == 'p') tag = tag.back() == 'i' ? "pNNi" : "pNN";
    byTag[tag].Add(platform::StrToIntDef(line.substr(eq + 2, ms - eq - 2), 0));
  }
  return byTag;
}

}  // namespace

int main(int argc, char** argv) {
  const int iterations = argc > 1 ? std::max(1, std::atoi(argv[1])) : 20;

  const std::string folder = (std::filesystem::temp_directory_path() /
                              ("velmar-barcode-bench-" + std::to_string(platform::MonotonicMs())))
                                 .string();
  TAppConfig config;
  config.ExeFolder = folder + "/exe/";
  config.LogFolder = folder + "/exe/log";
  InitLogger(config, "VelmarImageService");
  if (!InitZBar(config.ExeFolder)) {
    std::printf("barcode reader unavailable: nothing to measure\n");
    FinalizeLogger();
    return 1;
  }

  barcode_testing::TSurface readable(barcode_testing::kCompositeWidth,
                                     barcode_testing::kCompositeHeight);
  barcode_testing::DrawComposite(readable, "0000000012345678");
  barcode_testing::TSurface unreadable(barcode_testing::kCompositeWidth,
                                       barcode_testing::kCompositeHeight);
  barcode_testing::DrawComposite(unreadable, "");
  const TRasterView good = readable.View();
  const TRasterView none = unreadable.View();

  TStats convert, best, worst, jpeg;
  for (int i = 0; i < iterations; ++i) {
    int w = 0, h = 0;
    auto start = Clock::now();
    const std::vector<uint8_t> grey =
        BitmapZoneToY800(&good, BARCODE_SCAN_ZONES[0].FirstRow, BARCODE_SCAN_ZONES[0].EndRow, w, h);
    convert.Add(MsSince(start));
    if (grey.empty()) std::printf("conversion failed\n");
  }
  int bestOk = 0, worstNotFound = 0;
  for (int i = 0; i < iterations; ++i) {
    TBarcodeVerifResult result = bvrSkipped;
    auto start = Clock::now();
    VerifyBarcodeOnImage(good, "12345678", result);
    best.Add(MsSince(start));
    bestOk += result == bvrOK;
  }
  const auto bestScans = ScanTimesFromLog(LogFilePath());
  for (int i = 0; i < iterations; ++i) {
    TBarcodeVerifResult result = bvrSkipped;
    auto start = Clock::now();
    VerifyBarcodeOnImage(none, "12345678", result);
    worst.Add(MsSince(start));
    worstNotFound += result == bvrNotFound;
  }
  for (int i = 0; i < iterations; ++i) {
    auto start = Clock::now();
    EncodeJpeg(good);
    jpeg.Add(MsSince(start));
  }
  const auto allScans = ScanTimesFromLog(LogFilePath());

  std::printf("barcode check on a %d x %d composite, %d iterations\n",
              barcode_testing::kCompositeWidth, barcode_testing::kCompositeHeight, iterations);
  std::printf("  grey conversion of zone 0 : median %7.2f ms\n", convert.Median());
  std::printf(
      "  read in pass 1 of zone 0 : median %7.2f ms  mean %7.2f  min %7.2f  (%d/%d bvrOK)\n",
      best.Median(), best.Mean(), best.Min(), bestOk, iterations);
  std::printf(
      "  nothing read (8 passes) : median %7.2f ms  mean %7.2f  min %7.2f  (%d/%d "
      "bvrNotFound)\n",
      worst.Median(), worst.Mean(), worst.Min(), worstNotFound, iterations);
  std::printf("  reference: JPEG q90 encode of the composite: median %7.2f ms\n", jpeg.Median());
  std::printf("library scan time per pass (from the PERF lines, whole ms):\n");
  if (bestScans.count("f83"))
    std::printf("  f83 on zone 0 with the code   : mean %6.2f ms over %zu scans\n",
                bestScans.at("f83").Mean(), bestScans.at("f83").Samples.size());
  for (const auto& [tag, stats] : allScans) {
    if (tag == "f83") {
      // The worst-case f83 scans follow the best-case ones in the log.
      TStats onlyWorst;
      for (size_t i = bestScans.count("f83") ? bestScans.at("f83").Samples.size() : 0;
           i < stats.Samples.size(); ++i)
        onlyWorst.Add(stats.Samples[i]);
      std::printf("  %-5s without a code (2 zones) : mean %6.2f ms over %zu scans\n", tag.c_str(),
                  onlyWorst.Mean(), onlyWorst.Samples.size());
    } else {
      std::printf("  %-5s without a code (2 zones) : mean %6.2f ms over %zu scans\n", tag.c_str(),
                  stats.Mean(), stats.Samples.size());
    }
  }

  FinalizeZBar();
  FinalizeLogger();
  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
  return 0;
}
