// The conversion of a lot's PostScript document to PDF by Ghostscript.
#include "qc/UQCGhostscript.h"

#include <mutex>

#include "logging/ULogger.h"
#include "platform/Files.h"
#include "platform/ServiceHost.h"
#include "platform/SystemNames.h"
#include "platform/Text.h"
#include "qc/UQCInternal.h"

using platform::Format;
using namespace qc::internal;

namespace {

std::mutex GSeamMutex;  // guards GRunner and GDeadlineMs
TConverterRunner GRunner;
int64_t GDeadlineMs = 0;

// The hidden name Ghostscript writes the PDF under until it has ended well.
std::string PendingPdfPath(const std::string& pdfFile) {
  return platform::JoinPath(platform::ExtractFileDir(pdfFile),
                            "." + platform::ExtractFileName(pdfFile) + ".part");
}

// Gives the finished PDF its report name, flushed to disk first: the lot's
// readings leave the QC log only once their report would survive a power
// cut. The hidden file is removed either way.
bool PublishPdf(const std::string& pending, const std::string& pdfFile) {
  if (!platform::FileExists(pending)) return false;
  std::string bytes;
  platform::TOsResult r = platform::ReadFileBytes(pending, bytes);
  if (r.Ok()) r = platform::WriteFileReplacing(pdfFile, bytes, true);
  (void)platform::RemoveFile(pending);
  if (!r.Ok()) {
    LogError(kCat, "Erreur écriture PDF : " + r.Text, EVT_QC_ERROR);
    return false;
  }
  return true;
}

// A path given to Ghostscript as an argument: never starting with "-". A
// path from the root of the current drive ("\data" on Windows) is kept as
// it is: "./" before it would make it relative to the current folder.
std::string ArgumentPath(const std::string& path) {
  const bool rooted = !path.empty() && platform::IsPathDelimiter(path.front());
  return platform::IsAbsolutePath(path) || rooted ? path : "./" + path;
}

platform::TSpawnResult RunConverter(const std::string& program,
                                    const std::vector<std::string>& args) {
  TConverterRunner runner;
  int64_t deadline = GS_TIMEOUT_MS;
  {
    std::lock_guard<std::mutex> lock(GSeamMutex);
    runner = GRunner;
    if (GDeadlineMs > 0) deadline = GDeadlineMs;
  }
  if (runner) return runner(program, args, deadline);
  // A report takes its time: the service manager hears it is a live wait.
  return platform::SpawnWithDeadline(program, args, deadline, platform::NotifyWatchdog);
}

}  // namespace

std::string FindGhostscript(const std::string& ExeFolder) {
  const std::string program = platform::GhostscriptProgramName();
  const std::string beside = platform::JoinPath(ExeFolder, program);
  if (platform::FileExists(beside)) return beside;
  const std::string onPath = platform::FindProgramOnPath(program);
  return onPath.empty() ? beside : onPath;
}

std::vector<std::string> GhostscriptArguments(const std::string& PSFile,
                                              const std::string& PDFFile) {
  return {"-dBATCH",
          "-dNOPAUSE",
          "-dQUIET",
          "-dSAFER",
          "-sDEVICE=pdfwrite",
          "-dPDFSETTINGS=/printer",
          "-dCompatibilityLevel=1.4",
          "-sOutputFile=" + platform::ReplaceAll(ArgumentPath(PDFFile), "%", "%%"),
          ArgumentPath(PSFile)};
}

bool ConvertPStoPDF(const std::string& PSFile, const std::string& PDFFile,
                    const std::string& GsExe) {
  if (!platform::FileExists(GsExe)) {
    LogError(kCat, "Ghostscript introuvable : " + GsExe, EVT_QC_ERROR);
    return false;
  }
  const bool pdfExisted = platform::FileExists(PDFFile);
  // Ghostscript writes under a hidden name, given the report's name only once
  // it has ended well: a run cut short never leaves a PDF that would pass
  // for the lot's report.
  const std::string pending = PendingPdfPath(PDFFile);
  const platform::TSpawnResult run = RunConverter(GsExe, GhostscriptArguments(PSFile, pending));
  using Kind = platform::TSpawnResult::TKind;
  if (run.Kind == Kind::exited && run.ExitCode == 0) return PublishPdf(pending, PDFFile);
  if (platform::FileExists(pending)) (void)platform::RemoveFile(pending);

  if (run.Kind == Kind::failed) {
    LogError(kCat, "Impossible de lancer Ghostscript : " + run.Text, EVT_QC_ERROR);
  } else if (run.Kind == Kind::timed_out) {
    LogError(kCat, "Timeout Ghostscript (60s)", EVT_QC_ERROR);
  } else {
    // A crash reads as the system shows it: its exit code stands for it.
    LogError(kCat, Format("Ghostscript erreur code %d", run.ExitCode), EVT_QC_ERROR);
  }
  // An interrupted run may leave a truncated PDF, which would pass for the
  // lot's report and keep its readings from ever being reported.
  if (!pdfExisted && platform::FileExists(PDFFile)) (void)platform::RemoveFile(PDFFile);
  return false;
}

// --- Test seams -----------------------------------------------------------------------

void SetConverterRunnerForTesting(TConverterRunner Runner) {
  std::lock_guard<std::mutex> lock(GSeamMutex);
  GRunner = std::move(Runner);
}

void SetConverterDeadlineForTesting(int64_t DeadlineMs) {
  std::lock_guard<std::mutex> lock(GSeamMutex);
  GDeadlineMs = DeadlineMs;
}
