// libFuzzer target: config.ini as a person's editor or a damaged disk may
// leave it (Windows-1252, UTF-8 or UTF-16 with a byte-order mark, or none of
// them). Beyond crashes it aborts when the same file loaded twice gives two
// different records or reports, when a number leaves its bounds, or when a
// configured instrument is missing.
#include <cstddef>
#include <cstdint>
#include <string>
#include <tuple>

#include "FuzzSupport.h"
#include "config/UConfig.h"

using fuzz_support::Check;

namespace {

auto Fields(const TAppConfig& c) {
  return std::tie(c.InstrCount, c.Prefix, c.Extension, c.BagStart, c.BagLength, c.InstrType,
                  c.ImageDestFolder, c.ResizedImageDest, c.ResizeFactor, c.KeepImagePath,
                  c.KeepImageDays, c.ImageFormat, c.Dest, c.Dest2, c.QCDest, c.QCReportDest,
                  c.QCPerDelay, c.QCReportDelay, c.InfoToLis, c.InfoToLisPrefix, c.Dest_Vededavav,
                  c.Cycle, c.Timeout, c.StartingDelay, c.Language, c.GDPRFile, c.SortLetter,
                  c.ByDay, c.ColorLog, c.EnvironMessages, c.QCMessages, c.StatusPage, c.LogFolder,
                  c.ExeFolder);
}

bool SameConfig(const TAppConfig& a, const TAppConfig& b) {
  if (Fields(a) != Fields(b)) return false;
  for (int n = 0; n < MAX_INSTRUMENTS; ++n) {
    const TInstrumentConfig& x = a.Instruments[n];
    const TInstrumentConfig& y = b.Instruments[n];
    if (std::tie(x.Nom, x.TraFolder, x.ImagesFolder, x.Enabled) !=
        std::tie(y.Nom, y.TraFolder, y.ImagesFolder, y.Enabled)) {
      return false;
    }
  }
  return true;
}

bool Within(int value, int low, int high) {
  return value >= low && value <= high;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  fuzz_support::WriteScratch(CONFIG_FILENAME, bytes);
  const std::string folder = fuzz_support::ScratchFolder() + "/";

  TAppConfig first, second;
  TConfigValidation firstReport, secondReport;
  const bool firstValid = LoadConfig(folder, first, firstReport);
  const bool secondValid = LoadConfig(folder, second, secondReport);
  Check(firstValid == secondValid && firstValid == firstReport.IsValid);
  Check(SameConfig(first, second));
  Check(firstReport.Errors == secondReport.Errors && firstReport.Warnings == secondReport.Warnings);
  Check(firstReport.IsValid == firstReport.Errors.empty());

  Check(Within(first.InstrCount, 1, MAX_INSTRUMENTS));
  for (int n = 0; n < MAX_INSTRUMENTS; ++n)
    Check(first.Instruments[n].Enabled == (n < first.InstrCount));
  Check(Within(first.Cycle, 5, 3600) && Within(first.Timeout, 5, 600) &&
        Within(first.StartingDelay, 0, 300) && Within(first.ResizeFactor, 1, 100) &&
        Within(first.KeepImageDays, 1, 36500) && Within(first.QCPerDelay, 1, 365) &&
        Within(first.BagStart, 1, 50) && Within(first.BagLength, 1, 50));
  return 0;
}
