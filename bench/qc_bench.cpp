// QC report check on a large QC log: 100 000 lines over 50 lots, none due;
// the same with one due lot of 2 000 readings (PostScript written and the
// lot archived; Ghostscript replaced by a stand-in that writes the PDF);
// and 500 000 lines, none due.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include <unistd.h>

#include "config/UConfig.h"
#include "logging/ULogger.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "qc/UQCManager.h"

namespace {

std::string LogBytes(int lines, int lots, int dueLines) {
  std::string bytes;
  bytes.reserve(static_cast<size_t>(lines + dueLines) * 140);
  const int total = lines + dueLines;
  for (int i = 0; i < total; ++i) {
    TQCLine l;
    const bool due = i % (total / std::max(dueLines, 1) + 1) == 0 && dueLines-- > 0;
    l.RDResult = "15/03/2025 08:30:00";
    l.InstrID = "IH500-1";
    l.OID = "QC-" + std::to_string(i / 12);
    l.Lot = "QC ABO NIV " + std::to_string(i % 4 + 1);
    l.QCPerDate = due ? "14/03/2025" : platform::Format("%02d/06/2025", i % lots % 28 + 1);
    l.Tub = std::to_string(i % 12 + 1);
    l.K7ID = "K7" + std::to_string(100000 + i / 6);
    l.K7Lot = due ? "DUE-LOT" : "LOT" + std::to_string(i % lots);
    l.TestCode = "ABO";
    l.TestResult = "A POS";
    l.WellNr = std::to_string(i % 6 + 1);
    l.Reagent = "Anti-A";
    l.Grade = "4+";
    l.QCVal1 = "4+";
    l.Check1 = i % 17 ? "OK" : "NOK";
    bytes += platform::Utf8ToAnsi(SerializeQCLine(l)) + "\r\n";
  }
  return bytes;
}

double Median(std::vector<double> v) {
  std::sort(v.begin(), v.end());
  return v[v.size() / 2];
}

}  // namespace

int main() {
  const std::string root =
      (std::filesystem::temp_directory_path() / ("qc_bench-" + std::to_string(::getpid())))
          .string();
  TAppConfig cfg;
  cfg.ExeFolder = root + "/exe/";
  cfg.LogFolder = root + "/exe/log";
  cfg.QCReportDelay = DEFAULT_QCDELAY;
  cfg.QCReportDest = root + "/reports";
  (void)platform::MakeFolders(cfg.ExeFolder + "QC");
  platform::SetNowForTesting([] {
    TDateTime now = 0;
    platform::TryEncodeDateTime({2025, 3, 16, 10, 0, 0, 0}, now);
    return now;
  });
  InitLogger(cfg, "VelmarImageService");
  InitQCManager(cfg);
  SetConverterRunnerForTesting(
      [](const std::string&, const std::vector<std::string>& args, int64_t) {
        const std::string out = args[args.size() - 2].substr(std::string("-sOutputFile=").size());
        (void)platform::WriteFileBytes(platform::ReplaceAll(out, "%%", "%"), "%PDF-1.4");
        platform::TSpawnResult r;
        r.Kind = platform::TSpawnResult::TKind::exited;
        return r;
      });

  const std::string log = QCLogPath(cfg);
  struct TCase {
    const char* name;
    int lines, lots, due;
  };
  for (const TCase& c : {TCase{"100000 lines, 50 lots, none due", 100000, 50, 0},
                         TCase{"100000 lines, 50 lots + 1 due lot of 2000", 98000, 49, 2000},
                         TCase{"500000 lines, 50 lots, none due", 500000, 50, 0}}) {
    const std::string bytes = LogBytes(c.lines, c.lots, c.due);
    std::vector<double> times;
    int reports = 0;
    for (int run = 0; run < 5; ++run) {
      (void)platform::WriteFileBytes(log, bytes);
      std::filesystem::remove_all(cfg.QCReportDest);
      const int64_t start = platform::MonotonicMs();
      reports = CheckAndGenerateReports(cfg);
      times.push_back(static_cast<double>(platform::MonotonicMs() - start));
    }
    std::printf("%-45s  log %6.1f MB  reports %d  median %7.1f ms  best %7.1f ms\n", c.name,
                static_cast<double>(bytes.size()) / 1e6, reports, Median(times),
                *std::min_element(times.begin(), times.end()));
  }
  FinalizeQCManager();
  FinalizeLogger();
  std::filesystem::remove_all(root);
  return 0;
}
