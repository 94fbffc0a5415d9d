// Times ParseASTMFile on a generated result file of about 5 MB holding
// 50 000 M lines (50 orders, 125 results each, 8 wells per result), and on
// a file of 500 000 M lines, about 55 MB: near the largest the parser
// accepts (64 MiB). Prints the median of several runs, with the
// logger off, at its normal level (information) and at debug level, and the
// peak resident size of a process that parses each file once (the message
// still held), against the file's size.
//
// Usage: astm_parse_bench [runs]   (default 7)
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>
#include <vector>

#include "BenchMemory.h"
#include "astm/UASTMParser.h"
#include "config/UConfig.h"
#include "logging/ULogger.h"
#include "platform/Files.h"
#include "platform/Text.h"

using platform::Format;

namespace {

std::string MakeResultFile(int orders, int resultsPerOrder, int wellsPerResult) {
  std::string text =
      "H|\\^&|||ZID^IH-500^5.2^SN1234|||||||P|LIS2-A|20240506070809\r\n"
      "P|1|PAT000123|||Dupont^Jean||19800101|M\r\n";
  int image = 0;
  for (int o = 1; o <= orders; ++o) {
    text += Format(
        "O|%d|S%06d||ABO/RH+KELL|N|20240506070000|||||||||Blood|||||||20240506080000|||F\r\n", o,
        o);
    for (int r = 1; r <= resultsPerOrder; ++r) {
      text += Format("R|%d|TEST%03d|POS||||N||F||OPERATOR||20240506075000|SN1234\r\n", r, r);
      ++image;
      for (int w = 1; w <= wellsPerResult; ++w) {
        text += Format(
            "M|%d|Anti-%c|ABO-D^%d^%010d^L%05d^20251231^"
            "b%06d_%d.jpg^c%06d_%d.jpg|Anti-%c^RL%05d^20260101|%d^\r\n",
            w, 'A' + (w - 1) % 26, w, image, image % 100000, image, w, image, w, 'A' + (w - 1) % 26,
            image % 100000, (w % 5) * 10);
      }
    }
  }
  text += "L|1|N\r\n";
  return text;
}

double MedianMs(const std::string& path, int runs, int& mCount) {
  std::vector<double> times;
  for (int i = 0; i < runs; ++i) {
    TASTMMessage msg;
    const auto start = std::chrono::steady_clock::now();
    const bool ok = ParseASTMFile(path, msg);
    const auto stop = std::chrono::steady_clock::now();
    if (!ok) {
      std::fprintf(stderr, "parse failed: %s\n", msg.ParseError.c_str());
      std::exit(1);
    }
    mCount = 0;
    for (const auto& order : msg.Orders) {
      for (const auto& result : order.RRecords) mCount += result.MCount();
    }
    FreeASTMMessage(msg);
    times.push_back(std::chrono::duration<double, std::milli>(stop - start).count());
  }
  std::sort(times.begin(), times.end());
  return times[times.size() / 2];
}

// Child mode: parses the file once and prints the resident size before and
// the peak, in KiB.
int PeakChild(const std::string& path) {
  const long before = StatusKiB("VmRSS");
  TASTMMessage msg;
  if (!ParseASTMFile(path, msg)) return 1;
  std::printf("%ld %ld\n", before, StatusKiB("VmHWM"));
  FreeASTMMessage(msg);
  return 0;
}

void PrintPeak(const char* self, const char* name, const std::string& path) {
  const std::string command = std::string(self) + " --peak " + path;
  FILE* child = popen(command.c_str(), "r");
  long before = 0, peak = 0;
  if (child != nullptr && std::fscanf(child, "%ld %ld", &before, &peak) == 2) {
    const double fileMiB = static_cast<double>(platform::FileSize(path)) / (1024.0 * 1024.0);
    std::printf("%-8s peak %7.1f MiB for a %.1f MiB file (%.1f times; at start %.1f MiB)\n", name,
                peak / 1024.0, fileMiB, (peak - before) / 1024.0 / fileMiB, before / 1024.0);
  } else {
    std::printf("%-8s peak not measured\n", name);
  }
  if (child != nullptr) pclose(child);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc == 3 && std::string(argv[1]) == "--peak") return PeakChild(argv[2]);
  const int runs = argc > 1 ? std::max(1, std::atoi(argv[1])) : 7;
  std::mt19937_64 random(std::random_device{}());
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() /
      Format("astm_parse_bench-%016llx", static_cast<unsigned long long>(random()));
  if (!platform::MakeFolders(folder.string()).Ok()) return 1;

  const std::string typical = (folder / "typical.tra").string();
  const std::string largest = (folder / "largest.tra").string();
  (void)platform::WriteFileBytes(typical, MakeResultFile(50, 125, 8));
  (void)platform::WriteFileBytes(largest, MakeResultFile(1, 500, 1000));

  struct {
    const char* name;
    const std::string& path;
    int runs;
  } files[] = {{"typical", typical, runs}, {"largest", largest, std::min(runs, 3)}};

  for (const auto& f : files) {
    int mCount = 0;
    const double off = MedianMs(f.path, f.runs, mCount);
    std::printf("%-8s %6.2f MB %8d M lines: %8.1f ms median of %d (logger off)\n", f.name,
                static_cast<double>(platform::FileSize(f.path)) / 1e6, mCount, off, f.runs);
  }
  for (const auto& f : files) PrintPeak(argv[0], f.name, f.path);

  // With the logger running, as in the service: one information line per R
  // line at the normal level; debug level adds one line per record.
  for (const bool debug : {false, true}) {
    TAppConfig cfg;
    cfg.ExeFolder = platform::IncludeTrailingDelimiter(folder.string());
    cfg.LogFolder = (folder / "log").string();
    cfg.ColorLog = debug;
    InitLogger(cfg, "VelmarImageService");
    int mCount = 0;
    const double ms = MedianMs(typical, debug ? std::min(runs, 3) : runs, mCount);
    FinalizeLogger();
    std::printf("typical  %8d M lines: %8.1f ms median (logger at %s level)\n", mCount, ms,
                debug ? "debug" : "information");
  }

  std::error_code ec;
  std::filesystem::remove_all(folder, ec);
  return 0;
}
