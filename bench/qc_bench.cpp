// The lot check of the QC log (CheckAndGenerateReports) on large logs:
// 100 000 and 1 000 000 lines as the service writes them, over 300 lots,
// one of which is due (its PostScript written, the lot archived; Ghostscript
// replaced by a stand-in that writes the PDF), and 1 000 000 lines with no
// lot due. Each check runs in a fresh child process, so that its peak
// resident size is its own; prints the median time, the resident size
// before the check, its peak, and what stays resident afterwards.
//
//   qc_bench [runs]   (default 5; at most 3 for a million lines)
#include <sys/wait.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <unistd.h>

#include "BenchMemory.h"
#include "config/UConfig.h"
#include "logging/ULogger.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "qc/UQCManager.h"

namespace {

constexpr int kLots = 300;
constexpr const char* kDueLot = "DUE-LOT";

// A log of `lines` readings over kLots lots, every kLots-th reading of the
// due lot when `withDue` is set. Lines are what BuildQCLine writes.
std::string LogBytes(int lines, bool withDue) {
  std::string bytes;
  bytes.reserve(static_cast<size_t>(lines) * 140);
  for (int i = 0; i < lines; ++i) {
    const int lot = i % kLots;
    const bool due = withDue && lot == kLots - 1;
    TQCLine l;
    l.RDResult = platform::Format("%02d/03/2025 %02d:%02d:%02d", i / 40000 % 28 + 1, i / 3600 % 24,
                                  i / 60 % 60, i % 60);
    l.InstrID = platform::Format("IH500-%d", i % 3 + 1);
    l.OID = platform::Format("QC%08d", i / 12);
    l.Lot = platform::Format("QC ABO-D NIV %d", i % 4 + 1);
    l.QCPerDate =
        due ? "14/03/2025" : platform::Format("%02d/%02d/2026", lot % 28 + 1, lot % 12 + 1);
    l.Tub = std::to_string(i % 12 + 1);
    l.K7ID = platform::Format("%010d", 5000000 + i / 6);
    l.K7Lot = due ? std::string(kDueLot) : platform::Format("K7L%05d", 10000 + lot);
    l.TestCode = "XM";
    l.TestResult = i % 9 ? "A POS" : "O NEG";
    l.WellNr = std::to_string(i % 6 + 1);
    l.Reagent = i % 2 ? "Anti-A" : "Anti-B";
    l.Grade = i % 5 ? "4+" : "0";
    l.QCVal1 = "4+";
    l.Check1 = l.Grade == l.QCVal1 ? "OK" : "NOK";
    bytes += platform::Utf8ToAnsi(SerializeQCLine(l)) + "\r\n";
  }
  return bytes;
}

TAppConfig Config(const std::string& root) {
  TAppConfig cfg;
  cfg.ExeFolder = root + "/exe/";
  cfg.LogFolder = root + "/exe/log";
  cfg.QCReportDelay = DEFAULT_QCDELAY;
  cfg.QCReportDest = root + "/reports";
  return cfg;
}

// Child mode: one check on the log already written, then the figures on
// standard output: milliseconds, reports, KiB before, peak and after.
int CheckChild(const std::string& root) {
  const TAppConfig cfg = Config(root);
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
  const long before = StatusKiB("VmRSS");
  const int64_t start = platform::MonotonicMs();
  const int reports = CheckAndGenerateReports(cfg);
  const int64_t ms = platform::MonotonicMs() - start;
  std::printf("%lld %d %ld %ld %ld\n", static_cast<long long>(ms), reports, before,
              StatusKiB("VmHWM"), StatusKiB("VmRSS"));
  FinalizeQCManager();
  FinalizeLogger();
  return 0;
}

struct TRun {
  long long ms = 0;
  int reports = 0;
  long before = 0, peak = 0, after = 0;
};

bool RunChild(const char* self, const std::string& root, TRun& run) {
  const std::string command = std::string(self) + " --check " + root;
  FILE* child = popen(command.c_str(), "r");
  if (child == nullptr) return false;
  const bool ok = std::fscanf(child, "%lld %d %ld %ld %ld", &run.ms, &run.reports, &run.before,
                              &run.peak, &run.after) == 5;
  return pclose(child) == 0 && ok;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--check") return CheckChild(argv[2]);
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 5;
  const std::string root =
      (std::filesystem::temp_directory_path() / ("qc_bench-" + std::to_string(::getpid())))
          .string();
  const TAppConfig cfg = Config(root);
  (void)platform::MakeFolders(cfg.ExeFolder + "QC");
  const std::string log = QCLogPath(cfg);

  struct TCase {
    const char* name;
    int lines;
    bool due;
  };
  std::printf("%-36s %8s %7s %9s %9s %9s %9s\n", "", "log MB", "reports", "median", "before",
              "peak", "after");
  for (const TCase& c : {TCase{"100 000 lines, 300 lots, 1 due", 100000, true},
                         TCase{"1 000 000 lines, 300 lots, 1 due", 1000000, true},
                         TCase{"1 000 000 lines, 300 lots, none due", 1000000, false}}) {
    const std::string bytes = LogBytes(c.lines, c.due);
    const int caseRuns = c.lines > 100000 ? std::min(runs, 3) : runs;
    std::vector<long long> times;
    TRun worst;
    for (int i = 0; i < caseRuns; ++i) {
      std::filesystem::remove_all(cfg.QCReportDest);
      if (!platform::WriteFileBytes(log, bytes).Ok()) return 1;
      TRun run;
      if (!RunChild(argv[0], root, run)) {
        std::fprintf(stderr, "qc_bench: the check failed\n");
        return 1;
      }
      times.push_back(run.ms);
      if (run.peak > worst.peak) worst = run;
    }
    std::sort(times.begin(), times.end());
    std::printf("%-36s %8.1f %7d %6lld ms %5.1f MiB %5.1f MiB %5.1f MiB\n", c.name,
                static_cast<double>(bytes.size()) / 1e6, worst.reports, times[times.size() / 2],
                worst.before / 1024.0, worst.peak / 1024.0, worst.after / 1024.0);
  }
  std::filesystem::remove_all(root);
  return 0;
}
