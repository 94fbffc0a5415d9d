// Times a backlog through the real service: N result files waiting in each
// of M instrument folders (distinct samples, each cassette photographed with
// its own barcode), the executable run in its console mode (-debug) from its
// own install folder until every file lies in log/done, then stopped by
// typing "stop". Prints the files filed per second (from the start of the
// process), the CPU time per file (user + system of the service process)
// and its peak memory. With --baseline PATH the same backlog also runs
// through another build of the service (an earlier one, say), so that a
// change's cost is measured in one run on one machine.
//
//   backlog_bench [--files N] [--folders M] [--exe PATH] [--baseline PATH]
//                 [--keep]
//
// --files is per folder (default 200 in 1 folder; "--folders 10 --files 20"
// is the same backlog spread over ten instruments). --exe defaults to the
// VelmarImageService beside this program; --keep leaves the laboratory in
// place for a look at its logs.
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/ProcessInfo.h"
#include "platform/Text.h"
#include "samplelab/SampleLab.h"

namespace {

namespace fs = std::filesystem;
using platform::Format;

// A file that is not filed by then means the service is stuck.
constexpr double kRunLimitSeconds = 1200;

[[noreturn]] void Fail(const std::string& What) {
  std::fprintf(stderr, "backlog_bench: %s\n", What.c_str());
  std::exit(1);
}

double NowSeconds() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

void WriteOrFail(const std::string& Path, const std::string& Bytes) {
  if (!platform::WriteFileBytes(Path, Bytes).Ok()) Fail("cannot write " + Path);
}

void MakeFolderOrFail(const std::string& Folder) {
  if (!platform::MakeFolders(Folder).Ok()) Fail("cannot create " + Folder);
}

struct TOptions {
  int Files = 200;  // per folder
  int Folders = 1;
  bool Keep = false;
  std::string Exe;
  std::string Baseline;  // another executable run on the same backlog, or empty
};

// The backlog as the instruments left it: result files and photographs,
// made once and copied into the laboratory of every run.
struct TBacklog {
  std::vector<std::string> TraFolder;     // per instrument
  std::vector<std::string> ImagesFolder;  // per instrument, read in place
  int Total = 0;
};

// One ABO/Rh cassette of six wells: the commonest card of a laboratory.
samplelab::TSampleFile SampleFile(int Instrument, int Index) {
  samplelab::TSampleFile f;
  const std::string Sample = Format("B%02d%05d", Instrument, Index);
  f.FileName = "UP_" + Sample + ".tra";
  f.InstrumentID = Format("VLM%04d", Instrument);
  f.PatientID = "PID" + Sample;
  f.Name = Format("PATIENT%d^Test%d", Instrument, Index);
  f.BirthDate = "19800101";
  f.Sex = Index % 2 == 0 ? "F" : "M";
  f.SampleID = Sample;
  f.TestName = "ABO/Rh (2)";
  samplelab::TSampleCassette c;
  c.CassetteName = "ABO/Rh";
  c.CassetteID = Format("VC%02d%04d", Instrument, Index);  // read back: at most 12 characters
  c.PhotoFile = Format("VLM%04d_%06d_C.jpg", Instrument, Index);
  c.PrintedBarcode = "0012" + c.CassetteID;
  c.Wells = {{1, "Anti-A", "R101", 40}, {2, "Anti-B", "R102", 0},   {3, "Anti-D", "R103", 40},
             {4, "Ctrl", "R104", 0},    {5, "A1-Cells", "C201", 0}, {6, "B-Cells", "C202", 40}};
  f.Results = {{"XM", "", {c}}};
  return f;
}

TBacklog MakeBacklog(const std::string& Root, const TOptions& Opt) {
  TBacklog B;
  const std::string When = platform::FormatDateTime("yyyymmddhhnnss", platform::Now());
  unsigned Seed = 1;
  for (int I = 1; I <= Opt.Folders; ++I) {
    B.TraFolder.push_back(Format("%s/source/tra%d", Root.c_str(), I));
    B.ImagesFolder.push_back(Format("%s/source/images%d", Root.c_str(), I));
    MakeFolderOrFail(B.TraFolder.back());
    MakeFolderOrFail(B.ImagesFolder.back());
    for (int N = 1; N <= Opt.Files; ++N) {
      const samplelab::TSampleFile f = SampleFile(I, N);
      WriteOrFail(B.TraFolder.back() + "/" + f.FileName, samplelab::BuildResultText(f, When));
      const samplelab::TSampleCassette& c = f.Results[0].Cassettes[0];
      const std::string Photo = B.ImagesFolder.back() + "/" + c.PhotoFile;
      std::string Error;
      if (!samplelab::WriteCassettePhoto(c, Seed++, Photo, Error)) {
        Fail("photograph " + Photo + ": " + Error);
      }
      ++B.Total;
    }
  }
  return B;
}

struct TRunResult {
  double Seconds = 0;  // from the start of the process to the last file filed
  double CpuSeconds = 0;
  long PeakRssKiB = 0;
  int Pictures = 0;  // reduced copies written
  int SetAside = 0;  // pictures whose barcode check failed
};

int CountFiles(const std::string& Folder) {
  std::error_code ec;
  int Count = 0;
  for (fs::directory_iterator it(Folder, ec), end; !ec && it != end; it.increment(ec)) {
    if (it->is_regular_file(ec) && it->path().filename().string()[0] != '.') ++Count;
  }
  return Count;
}

// A laboratory of its own for one run: install folder (executable, config,
// QC targets), the instrument folders holding a copy of the backlog's result
// files, the destinations.
std::string MakeLab(const std::string& Root, const std::string& Name, const TBacklog& B,
                    const TOptions& Opt, const std::string& Exe) {
  const std::string Lab = Root + "/" + Name;
  const std::string Install = Lab + "/install";
  const std::string Out = Lab + "/out";
  for (const char* Sub : {"/images", "/resized", "/qc", "/qc-reports", "/xml", "/glims"}) {
    MakeFolderOrFail(Out + Sub);
  }
  MakeFolderOrFail(Install);
  std::error_code ec;
  fs::copy_file(Exe, Install + "/VelmarImageService", ec);
  if (ec) Fail("cannot copy " + Exe + ": " + ec.message());
  std::string Ini = "[Main]\r\nPrefix=UP\r\nExtension=tra\r\nCycle=5\r\nStarting_delay=0\r\n";
  Ini += "ImageDest=" + Out + "/images\r\nResizedImageDest=" + Out + "/resized\r\n";
  Ini += "QCDest=" + Out + "/qc\r\nQCReportDest=" + Out + "/qc-reports\r\n";
  Ini += "Dest_Vededavav=" + Out + "/xml\r\nInfoToLis=" + Out + "/glims\r\n";
  Ini += Format("[Multi]\r\ninstrCount=%d\r\n", Opt.Folders);
  for (int I = 1; I <= Opt.Folders; ++I) {
    const std::string Tra = Format("%s/tra%d", Lab.c_str(), I);
    MakeFolderOrFail(Tra);
    fs::copy(B.TraFolder[I - 1], Tra, fs::copy_options::recursive, ec);
    if (ec || CountFiles(Tra) != Opt.Files) Fail("cannot copy the result files into " + Tra);
    Ini += Format("traVelmar%d=%s\r\nimagesVelmar%d=%s\r\n", I, Tra.c_str(), I,
                  B.ImagesFolder[I - 1].c_str());
  }
  WriteOrFail(Install + "/config.ini", Ini);
  WriteOrFail(Install + "/QC_Target_qual.csv",
              "Niveau\tMateriel\tCommentaire\tAnti-A\tAnti-B\tAnti-D\tCtrl\tA1-Cells\tB-Cells\r\n"
              "1\tQC-A\tniveau 1\t4+\tNEG\t4+\tNEG\tNEG\t4+\r\n");
  return Lab;
}

// Runs the service of Lab in console mode until Total files are filed, then
// types "stop" and waits for it to end.
TRunResult RunService(const std::string& Lab, int Total) {
  const std::string Install = Lab + "/install";
  const std::string Done = Install + "/log/done";
  int In[2];
  if (::pipe(In) != 0) Fail(std::string("pipe: ") + std::strerror(errno));
  const double Start = NowSeconds();
  const pid_t Pid = ::fork();
  if (Pid < 0) Fail(std::string("fork: ") + std::strerror(errno));
  if (Pid == 0) {
    ::dup2(In[0], 0);
    ::close(In[0]);
    ::close(In[1]);
    const int Console = ::open((Lab + "/console.txt").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (Console >= 0) {
      ::dup2(Console, 1);
      ::dup2(Console, 2);
      ::close(Console);
    }
    if (::chdir(Install.c_str()) != 0) _exit(127);
    ::execl("./VelmarImageService", "VelmarImageService", "-debug", static_cast<char*>(nullptr));
    _exit(127);
  }
  ::close(In[0]);

  TRunResult R;
  int Status = 0;
  rusage Usage{};
  while (CountFiles(Done) < Total) {
    if (::wait4(Pid, &Status, WNOHANG, &Usage) == Pid) {
      Fail("the service ended before filing every file; see " + Lab + "/console.txt");
    }
    if (NowSeconds() - Start > kRunLimitSeconds) {
      ::kill(Pid, SIGKILL);
      ::wait4(Pid, &Status, 0, &Usage);
      Fail(Format("%d of %d files filed after %.0f s; see %s/install/log", CountFiles(Done), Total,
                  kRunLimitSeconds, Lab.c_str()));
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  R.Seconds = NowSeconds() - Start;
  const char Stop[] = "stop\n";
  if (::write(In[1], Stop, sizeof Stop - 1) < 0)
    Fail(std::string("write: ") + std::strerror(errno));
  ::close(In[1]);
  if (::wait4(Pid, &Status, 0, &Usage) != Pid) Fail(std::string("wait4: ") + std::strerror(errno));
  if (!WIFEXITED(Status) || WEXITSTATUS(Status) != 0) {
    Fail("the service did not stop cleanly; see " + Lab + "/console.txt");
  }
  const auto Secs = [](const timeval& t) { return t.tv_sec + t.tv_usec / 1e6; };
  R.CpuSeconds = Secs(Usage.ru_utime) + Secs(Usage.ru_stime);
  R.PeakRssKiB = Usage.ru_maxrss;
  R.Pictures = CountFiles(Lab + "/out/resized");
  R.SetAside = CountFiles(Install + "/log/wrong_images");
  return R;
}

void PrintRow(const char* Label, const TRunResult& R, int Total) {
  std::printf("%-26s %9.2f %14.1f %15.1f %12.2f %9d %9d\n", Label, Total / R.Seconds,
              R.CpuSeconds * 1000 / Total, R.PeakRssKiB / 1024.0, R.Seconds, R.Pictures,
              R.SetAside);
}

TOptions ParseOptions(int argc, char** argv) {
  TOptions Opt;
  Opt.Exe = platform::ExeFolder() + "VelmarImageService";
  for (int i = 1; i < argc; ++i) {
    const std::string Arg = argv[i];
    const auto Value = [&]() -> std::string {
      if (i + 1 >= argc) Fail(Arg + " needs a value");
      return argv[++i];
    };
    if (Arg == "--files") {
      Opt.Files = platform::StrToIntDef(Value(), 0);
    } else if (Arg == "--folders") {
      Opt.Folders = platform::StrToIntDef(Value(), 0);
    } else if (Arg == "--keep") {
      Opt.Keep = true;
    } else if (Arg == "--exe") {
      Opt.Exe = Value();
    } else if (Arg == "--baseline") {
      Opt.Baseline = Value();
    } else {
      Fail("unknown option " + Arg +
           "\nusage: backlog_bench [--files N] [--folders M] [--exe PATH]"
           " [--baseline PATH] [--keep]");
    }
  }
  if (Opt.Files < 1 || Opt.Files > 9999) Fail("--files must be 1 to 9999");
  if (Opt.Folders < 1 || Opt.Folders > 10) Fail("--folders must be 1 to 10");
  if (!platform::FileExists(Opt.Exe)) Fail("no executable " + Opt.Exe + " (use --exe)");
  if (!Opt.Baseline.empty() && !platform::FileExists(Opt.Baseline)) {
    Fail("no executable " + Opt.Baseline + " (--baseline)");
  }
  return Opt;
}

}  // namespace

int main(int argc, char** argv) {
  const TOptions Opt = ParseOptions(argc, argv);
  std::string Root = (fs::temp_directory_path() / "backlog_bench_XXXXXX").string();
  if (::mkdtemp(Root.data()) == nullptr) Fail("cannot create a folder under the temporary folder");

  std::printf("backlog: %d result file(s) in each of %d instrument folder(s)\n", Opt.Files,
              Opt.Folders);
  std::fflush(stdout);
  const double MadeFrom = NowSeconds();
  const TBacklog Backlog = MakeBacklog(Root, Opt);
  std::printf("(made in %.1f s: %d result files, %d photographs, in %s)\n\n",
              NowSeconds() - MadeFrom, Backlog.Total, Backlog.Total, Root.c_str());
  std::printf("%-26s %9s %14s %15s %12s %9s %9s\n", "executable", "files/s", "CPU/file (ms)",
              "peak RSS (MiB)", "elapsed (s)", "pictures", "set aside");
  std::fflush(stdout);

  const TRunResult New = RunService(MakeLab(Root, "service", Backlog, Opt, Opt.Exe), Backlog.Total);
  PrintRow("this build", New, Backlog.Total);
  std::fflush(stdout);
  if (!Opt.Baseline.empty()) {
    const TRunResult Base =
        RunService(MakeLab(Root, "baseline", Backlog, Opt, Opt.Baseline), Backlog.Total);
    PrintRow("baseline executable", Base, Backlog.Total);
    std::printf("\nthis build / baseline: files/s x%.2f, CPU per file x%.2f, peak RSS x%.2f\n",
                Base.Seconds / New.Seconds, New.CpuSeconds / Base.CpuSeconds,
                static_cast<double>(New.PeakRssKiB) / static_cast<double>(Base.PeakRssKiB));
  }
  if (Opt.Keep) {
    std::printf("\nlaboratories kept in %s\n", Root.c_str());
  } else {
    std::error_code ec;
    fs::remove_all(Root, ec);
  }
  return 0;
}
