// The lot reports: the lots of the QC log, their report names, the report of
// an expired lot, and the archiving of its readings.
#include "qc/UQCLotReports.h"

#include <algorithm>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <unordered_set>

#include "logging/ULogger.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "qc/UQCGhostscript.h"
#include "qc/UQCInternal.h"
#include "qc/UQCReport.h"

using platform::Format;
using namespace qc::internal;

namespace {

// The fields the lot check reads in every line, by their place in a line.
constexpr int kQCPerDateField = 4;
constexpr int kK7LotField = 7;

// The fields the lot check reads from every line.
struct TLotFields {
  std::string_view Fields[kK7LotField + 1];
  std::string Scratch[kK7LotField + 1];

  void Read(std::string_view line) { ReadRawFields(line, kK7LotField + 1, Fields, Scratch); }
  std::string_view QCPerDate() const { return Fields[kQCPerDateField]; }
  std::string_view K7Lot() const { return Fields[kK7LotField]; }
};

// True when a raw cassette lot is `KLot`, letter case ignored.
bool IsLot(std::string_view rawLot, const std::string& KLot) {
  for (const char c : rawLot) {
    if (static_cast<unsigned char>(c) >= 0x80) {
      return platform::SameTextAscii(platform::AnsiToUtf8(rawLot), KLot);
    }
  }
  return platform::SameTextAscii(rawLot, KLot);
}

void ReportReadFailure(const platform::TOsResult& r) {
  LogError(kCat, "Erreur lecture journal QC : " + r.Text, EVT_QC_ERROR);
}

// The longest lot text a report file name holds as it stands: with the rest
// of the name ("QC_Report_", "_yyyymmdd.pdf") well within the 255 bytes a
// file name may have.
constexpr size_t kMaxLotNameBytes = 100;
// Marks a lot name shortened or changed, before its hash; a lot name kept as
// it stands never holds it.
constexpr char kLotHashMark = '~';

// A short hash of the lot as it is matched (letter case ignored): 32-bit
// FNV-1a.
uint32_t LotHash(const std::string& lot) {
  return platform::Fnv1a32(platform::LowerAscii(lot));
}

// A hidden file beside the QC log: "." + log name + `suffix`.
std::string BesideLog(const std::string& logPath, const char* suffix) {
  return platform::JoinPath(platform::ExtractFileDir(logPath),
                            "." + platform::ExtractFileName(logPath) + suffix);
}

// The note of a lot being reported, beside the QC log. Three lines: how
// many lines the log held when the lot's readings were read for the
// report, the report's file name, the lot.
std::string ArchiveNotePath(const std::string& logPath) {
  return BesideLog(logPath, ".archive");
}

void RemoveArchiveNote(const std::string& logPath) {
  const std::string note = ArchiveNotePath(logPath);
  if (platform::RemoveFile(note).Ok()) (void)platform::FlushFolder(platform::ExtractFileDir(note));
}

}  // namespace

namespace qc::internal {

// Removes what a run stopped half-way (the service killed while Ghostscript
// ran) left in the report folder: its PostScript file and its unfinished
// PDF. No report is being made at this point.
void RemoveLeftovers(const std::string& reportDest) {
  if (reportDest.empty() || !platform::FolderExists(reportDest)) return;
  for (const char* pattern : {"QC_Report_*.ps", ".QC_Report_*.pdf.part", ".QC_Report_*.pdf.tmp"}) {
    std::vector<std::string> names;
    if (!platform::ListFiles(reportDest, pattern, names).Ok()) continue;
    for (const std::string& name : names) {
      const platform::TOsResult r = platform::RemoveFile(platform::JoinPath(reportDest, name));
      if (r.Ok()) {
        LogInfo(kCat, "Fichier d'une génération interrompue supprimé : " + name);
      } else if (!r.NotFound()) {
        LogWarning(kCat, "Suppression fichier de génération interrompue impossible : " + r.Text, 0);
      }
    }
  }
}

// A lot whose report took its name before the service was interrupted, and
// whose readings may still be in the log: they are archived now, the lines
// the report printed and no later one. The note goes once that is done.
void FinishInterruptedArchive(const std::string& logPath, const std::string& reportDest) {
  const std::string note = ArchiveNotePath(logPath);
  if (!platform::FileExists(note)) return;
  // The log is rewritten only while a note stands: a rewrite cut short
  // leaves its temporary file (the name the replacing writer uses).
  const std::string rewrite = BesideLog(logPath, ".tmp");
  if (platform::FileExists(rewrite)) (void)platform::RemoveFile(rewrite);
  std::string bytes;
  if (!platform::ReadFileBytes(note, bytes).Ok()) return;
  const std::vector<std::string> lines = platform::SplitLines(bytes);
  long long logLines = -1;
  if (lines.size() == 3 && platform::IsDigits(lines[0]) && lines[0].size() < 19) {
    logLines = std::stoll(lines[0]);
  }
  if (logLines >= 0 && platform::IsPlainFileName(lines[1]) &&
      platform::FileExists(platform::JoinPath(reportDest, lines[1]))) {
    LogInfo(kCat, Format("Rapport QC déjà produit pour le lot %s — archivage repris : %s",
                         lines[2].c_str(), lines[1].c_str()));
    if (!ArchiveLotLines(logPath, lines[2], static_cast<size_t>(logLines))) return;
  }
  // Interrupted before its report took its name: the lot is reported again.
  RemoveArchiveNote(logPath);
}

}  // namespace qc::internal

TUniqueStringList CollectLots(const std::string& FilePath) {
  TUniqueStringList lots;
  // Most lines repeat a pair already listed: their raw bytes tell them,
  // without a conversion or a sorted insertion.
  std::unordered_set<std::string> seen;
  TLotFields line;
  std::string key;
  const platform::TOsResult r = ForEachQCLogLine(FilePath, [&](std::string_view raw) {
    if (IsBlankLine(raw)) return true;
    line.Read(raw);
    if (line.K7Lot().empty()) return true;
    key.assign(line.K7Lot()).append("=").append(line.QCPerDate());
    if (seen.find(key) != seen.end()) return true;
    seen.insert(key);
    lots.Add(platform::AnsiToUtf8(line.K7Lot()) + "=" + platform::AnsiToUtf8(line.QCPerDate()));
    return true;
  });
  if (!r.Ok()) {
    ReportReadFailure(r);
    return TUniqueStringList();
  }
  return lots;
}

int ExtractLotLines(const std::string& FilePath, const std::string& KLot,
                    std::vector<TQCLine>& Lines, size_t Capacity, size_t* LogLines) {
  Lines.clear();
  int found = 0;
  size_t count = 0;
  TLotFields line;
  const platform::TOsResult r = ForEachQCLogLine(FilePath, [&](std::string_view raw) {
    ++count;
    if (IsBlankLine(raw)) return true;
    line.Read(raw);
    if (!IsLot(line.K7Lot(), KLot)) return true;
    if (Lines.size() < Capacity) Lines.push_back(ParseRawLine(raw));
    ++found;
    return true;
  });
  if (!r.Ok()) {
    ReportReadFailure(r);
    Lines.clear();
    return 0;
  }
  if (LogLines != nullptr) *LogLines = count;
  return found;
}

std::string ReportLotName(const std::string& KLot) {
  bool asItStands = KLot.size() <= kMaxLotNameBytes;
  std::string name;
  name.reserve(KLot.size());
  for (const char c : KLot) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '/' || c == '\\' || u < 32 || u == 127) {
      name += '_';
      asItStands = false;
    } else {
      if (c == kLotHashMark) asItStands = false;
      name += c;
    }
  }
  if (asItStands) return name;
  // Room for the mark and eight hexadecimal digits; a UTF-8 character is
  // never cut in two.
  size_t keep = std::min(name.size(), kMaxLotNameBytes - 9);
  while (keep > 0 && (static_cast<unsigned char>(name[keep]) & 0xC0) == 0x80) --keep;
  name.resize(keep);
  return name + Format("%c%08x", kLotHashMark, LotHash(KLot));
}

bool ReportExists(const std::string& ReportDest, const std::string& KLot) {
  if (ReportDest.empty()) return false;
  const std::string stem = "QC_Report_" + ReportLotName(KLot) + "_";
  std::vector<std::string> names;
  if (!platform::ListFiles(ReportDest, "QC_Report_*.pdf", names).Ok()) return false;
  for (const std::string& name : names) {
    if (name.size() != stem.size() + 8 + 4) continue;
    if (!platform::StartsTextAscii(name, stem)) continue;
    const std::string_view rest = std::string_view(name).substr(stem.size());
    if (platform::IsDigits(rest.substr(0, 8)) && platform::SameTextAscii(rest.substr(8), ".pdf"))
      return true;
  }
  return false;
}

bool GenerateReportForLot(const std::string& FilePath, const std::string& KLot,
                          const std::string& ReportDest) {
  // Every reading of the lot is printed: archiving then removes no line that
  // is missing from the report.
  std::vector<TQCLine> lines;
  size_t logLines = 0;
  const int lineCount =
      ExtractLotLines(FilePath, KLot, lines, std::numeric_limits<size_t>::max(), &logLines);
  if (lineCount == 0) {
    LogWarning(kCat, "Aucune ligne trouvée pour le lot : " + KLot, 0);
    return false;
  }
  const platform::TOsResult made = platform::MakeFolders(ReportDest);
  if (!made.Ok()) {
    throw std::runtime_error("Création dossier rapports QC impossible : " + made.Text);
  }
  // The lot comes from the result files: ReportLotName makes it a valid
  // name of its own.
  const std::string base =
      platform::JoinPath(ReportDest, "QC_Report_" + ReportLotName(KLot) + "_" +
                                         platform::FormatDateTime("yyyymmdd", platform::Now()));
  const std::string psFile = base + ".ps";
  const std::string pdfFile = base + ".pdf";
  const std::string gsExe = FindGhostscript(GExeFolder);

  // Written durably before the report can take its name: whatever
  // interrupts the service from here on, the next check knows which lines
  // the report holds.
  const platform::TOsResult noted = platform::WriteFileReplacing(
      ArchiveNotePath(FilePath),
      std::to_string(logLines) + "\n" + platform::ExtractFileName(pdfFile) + "\n" + KLot + "\n",
      true);
  if (!noted.Ok()) {
    LogError(kCat, "Erreur archivage lot " + KLot + " : " + noted.Text, EVT_QC_ERROR);
    return false;
  }
  if (!GeneratePSReport(lines, lineCount, KLot, psFile)) {
    LogError(kCat, "Échec génération PS pour lot : " + KLot, EVT_QC_ERROR);
    RemoveArchiveNote(FilePath);
    return false;
  }
  LogInfo(kCat, "PS généré — " + platform::ExtractFileName(psFile));

  bool result = false;
  if (ConvertPStoPDF(psFile, pdfFile, gsExe)) {
    result = true;
    Log(llInfo, kCat,
        Format("Rapport QC - Lot: %s | Lignes: %d | Fichier: %s", KLot.c_str(), lineCount,
               platform::ExtractFileName(pdfFile).c_str()),
        EVT_QC_REPORT);
    // A failed archiving keeps its note: the next check tries it again.
    if (ArchiveLotLines(FilePath, KLot, logLines)) RemoveArchiveNote(FilePath);
  } else {
    LogError(kCat, "Échec conversion PS→PDF pour lot : " + KLot, EVT_QC_ERROR);
    RemoveArchiveNote(FilePath);
  }
  if (platform::FileExists(psFile)) (void)platform::RemoveFile(psFile);
  return result;
}

bool ArchiveLotLines(const std::string& FilePath, const std::string& KLot, size_t LineLimit) {
  if (!platform::FileExists(FilePath)) return true;
  std::lock_guard<std::mutex> lock(GQCCS);
  // The kept lines go to the new log as they are read; it replaces the log
  // only once complete and flushed to disk.
  platform::TReplacingWriter kept(FilePath);
  int removed = 0;
  size_t count = 0;
  TLotFields line;
  platform::TOsResult r = platform::ReadFileLines(FilePath, [&](std::string_view raw) {
    ++count;
    if (IsBlankLine(raw)) return true;
    line.Read(raw);
    if (count <= LineLimit && IsLot(line.K7Lot(), KLot)) {
      ++removed;
      return true;
    }
    // Kept lines keep their bytes as read.
    kept.Append(raw);
    kept.Append("\r\n");
    return true;
  });
  if (r.NotFound()) return true;
  if (!r.Ok()) {
    LogError(kCat, "Erreur archivage lot " + KLot + " : " + r.Text, EVT_QC_ERROR);
    return false;
  }
  if (removed == 0) return true;
  r = kept.Commit(true);
  if (!r.Ok()) {
    LogError(kCat, "Erreur archivage lot " + KLot + " : " + r.Text, EVT_QC_ERROR);
    return false;
  }
  LogInfo(kCat, Format("Lot %s archivé — %d ligne(s) supprimée(s) de QC\\log.txt", KLot.c_str(),
                       removed));
  return true;
}
