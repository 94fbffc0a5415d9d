// The status page's cost. (1) A cycle of the processing thread, which
// writes status.txt and status.html, with the page on and off, over a log
// folder whose wrong_images holds no picture and then 10 000: the median
// time of a cycle's end. (2) The page itself with full lists (20 recent
// files, 20 set-aside pictures, flags): its size and the time to build and
// write it. (3) One thumbnail made from a composite-sized picture, which a
// cycle pays for each picture it sets aside.
//
//   status_page_bench [cycles]   (default 300)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "config/UConfig.h"
#include "imaging/UImageCanvas.h"
#include "imaging/UJpegCodec.h"
#include "logging/ULogger.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "processing/UServiceThread.h"
#include "processing/UStatusPage.h"

namespace {

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

double Ms(Clock::duration d) {
  return std::chrono::duration<double, std::milli>(d).count();
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

[[noreturn]] void Fail(const std::string& what) {
  std::fprintf(stderr, "status_page_bench: %s\n", what.c_str());
  std::exit(1);
}

// The time of each cycle's end (the status file, and the page when on),
// measured between the thread's rests.
double CycleEndMs(const std::string& root, bool page, int cycles) {
  TAppConfig cfg;
  cfg.ExeFolder = root + "/";
  cfg.LogFolder = root + "/log";
  cfg.Cycle = 2;  // one slice of rest: one call of the wait hook a cycle
  cfg.StatusPage = page;
  InitLogger(cfg, "VelmarImageService");
  TVelmarServiceThread thread(cfg);
  std::vector<double> times;
  Clock::time_point restEnded = Clock::now();
  thread.SetWaitHookForTesting([&](uint32_t) {
    times.push_back(Ms(Clock::now() - restEnded));
    if (static_cast<int>(times.size()) >= cycles) thread.RequestStop();
    restEnded = Clock::now();
  });
  thread.Execute();
  FinalizeLogger();
  return Median(times);
}

TStatusPageData FullPage() {
  TStatusPageData d;
  d.State = "en marche";
  d.Written = d.CycleTime = platform::Now();
  d.Cycle = 123456;
  d.CycleSeconds = 30;
  for (int i = 1; i <= MAX_INSTRUMENTS; ++i) {
    d.Instruments.push_back(
        {i, i % 3 != 0, platform::Now(), "\\\\serveur\\velmar" + std::to_string(i), i * 7});
  }
  d.Processed = 987654;
  d.Failed = 321;
  for (size_t i = 0; i < STATUS_PAGE_RECENT_FILES; ++i) {
    d.RecentFiles.push_back({"UP_26" + std::to_string(1000 + i) + ".tra",
                             "26" + std::to_string(1000 + i), platform::Now(), "traité", true});
  }
  for (size_t i = 0; i < STATUS_PAGE_SET_ASIDE; ++i) {
    d.SetAside.push_back({"26" + std::to_string(1000 + i) + "_ABO_Rh_2_VC4201_123456.jpg",
                          "26" + std::to_string(1000 + i), platform::Now(),
                          "code-barres différent : lu [VC4299], attendu [VC4201]",
                          std::to_string(i + 1) + ".jpg"});
  }
  d.Lots = {{"K7L10001", "14/03/2025", "rapport écrit"}};
  d.Flags = {
      {"processing_error.flag", "[2026-12-10 12:34:33] Barcode non lu — Cassette: [VC4202]"}};
  return d;
}

}  // namespace

int main(int argc, char** argv) {
  const int cycles = argc > 1 ? std::max(10, std::atoi(argv[1])) : 300;
  const std::string root = (fs::temp_directory_path() / "velmar-status-page-bench").string();
  fs::remove_all(root);
  fs::create_directories(root + "/log/wrong_images");

  std::printf("cycle end (status.txt [+ status.html]), median of %d cycles:\n", cycles);
  for (const int pictures : {0, 10000}) {
    for (int i = 0; i < pictures; ++i) {
      platform::TOsResult r = platform::WriteFileBytes(
          root + "/log/wrong_images/old_" + std::to_string(i) + ".jpg", "x");
      if (!r.Ok()) Fail(r.Text);
    }
    const double off = CycleEndMs(root, false, cycles);
    const double on = CycleEndMs(root, true, cycles);
    std::printf("  %5d pictures in wrong_images: page off %.3f ms, on %.3f ms (+%.3f ms)\n",
                pictures, off, on, on - off);
  }

  const TStatusPageData data = FullPage();
  std::vector<double> times;
  size_t size = 0;
  for (int i = 0; i < cycles; ++i) {
    const Clock::time_point start = Clock::now();
    const std::string page = BuildStatusPage(data);
    if (!platform::WriteFileReplacing(root + "/status.html", page).Ok()) Fail("write");
    times.push_back(Ms(Clock::now() - start));
    size = page.size();
  }
  std::printf(
      "full page (10 instruments, 20 files, 20 pictures): %zu bytes, %.3f ms to build "
      "and write\n",
      size, Median(times));

  // A composite-sized picture (1700 x 3000) with some detail to encode.
  TRaster picture;
  std::string error;
  if (!SizeRaster(picture, 1700, 3000, error)) Fail(error);
  for (int y = 0; y < picture.Height; ++y) {
    for (int x = 0; x < picture.Width; ++x) {
      SetPixel(picture, x, y,
               {static_cast<uint8_t>(x * 7 + y), static_cast<uint8_t>(y * 3),
                static_cast<uint8_t>((x ^ y) & 255)});
    }
  }
  MarkRasterChanged(picture);
  std::string jpeg;
  if (!EncodeJpeg(picture, jpeg, error)) Fail(error);
  FreeRaster(picture);
  const std::string source = root + "/composite.jpg";
  if (!platform::WriteFileBytes(source, jpeg).Ok()) Fail("write composite");
  times.clear();
  for (int i = 0; i < 10; ++i) {
    const Clock::time_point start = Clock::now();
    if (!MakeStatusThumbnail(source, root + "/log", "t.jpg")) Fail("thumbnail");
    times.push_back(Ms(Clock::now() - start));
  }
  std::printf("thumbnail of a %zu-byte 1700 x 3000 picture: %.1f ms, %lld bytes\n", jpeg.size(),
              Median(times),
              static_cast<long long>(platform::FileSize(root + "/log/status/t.jpg")));
  fs::remove_all(root);
  return 0;
}
