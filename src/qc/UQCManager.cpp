// The QC log and the lot reports (the PostScript document is in
// UQCReport.cpp).
#include "qc/UQCManager.h"

#include <algorithm>
#include <atomic>
#include <deque>
#include <mutex>
#include <stdexcept>
#include <string_view>
#include <unordered_set>

#include "logging/ULogger.h"
#include "platform/Files.h"
#include "platform/ServiceHost.h"
#include "platform/SystemNames.h"
#include "platform/Text.h"
#include "qc/UQCTarget.h"

using platform::Format;

namespace {

constexpr const char* kCat = "QC";

// Serialises every access to the QC log file: appends, reads, and the whole
// read-and-rewrite of an archiving.
std::mutex GQCCS;
std::atomic<bool> GInitialized{false};
// Set by InitQCManager before the processing thread starts; read-only after.
std::string GExeFolder;

std::mutex GSeamMutex;  // guards GRunner and GDeadlineMs
TConverterRunner GRunner;
int64_t GDeadlineMs = 0;

// The fields of a line in log order.
std::string TQCLine::*const kFields[QC_FIELD_COUNT] = {
    &TQCLine::RDResult,  &TQCLine::InstrID,    &TQCLine::OID,    &TQCLine::Lot,
    &TQCLine::QCPerDate, &TQCLine::Tub,        &TQCLine::K7ID,   &TQCLine::K7Lot,
    &TQCLine::TestCode,  &TQCLine::TestResult, &TQCLine::WellNr, &TQCLine::Reagent,
    &TQCLine::Grade,     &TQCLine::Comment,    &TQCLine::QCVal1, &TQCLine::QCVal2,
    &TQCLine::Check1,    &TQCLine::Check2,     &TQCLine::Action, &TQCLine::User};

// The fields the lot check reads in every line, by their place in a line.
constexpr int kQCPerDateField = 4;
constexpr int kK7LotField = 7;

// Calls `onLine` with every raw (Windows-1252) line of the QC log, read block
// by block under GQCCS, so that the log is never held whole. A missing log
// gives no line and no failure.
platform::TOsResult ForEachQCLogLine(const std::string& FilePath,
                                     const std::function<bool(std::string_view)>& onLine) {
  std::lock_guard<std::mutex> lock(GQCCS);
  if (!platform::FileExists(FilePath)) return platform::TOsResult::Success();
  const platform::TOsResult r = platform::ReadFileLines(FilePath, onLine);
  if (r.NotFound()) return platform::TOsResult::Success();
  return r;
}

bool IsBlankLine(std::string_view raw) {
  for (const char c : raw) {
    if (static_cast<unsigned char>(c) > 32) return false;
  }
  return true;
}

// Unquotes the piece of a log line that opens with the double quote at `i`:
// the text up to its closing quote, "" standing for one quote, then on to
// the separator. `i` is left on that separator, or at the end of the line.
void ReadQuotedPiece(std::string_view line, size_t& i, std::string& piece) {
  piece.clear();
  const size_t n = line.size();
  ++i;
  while (i < n) {
    if (line[i] == '"') {
      if (i + 1 < n && line[i + 1] == '"') {
        piece += '"';
        i += 2;
        continue;
      }
      ++i;
      break;
    }
    piece += line[i++];
  }
  // Text after the closing quote, up to the separator, stays in the piece.
  while (i < n && line[i] != QC_CSV_SEP) piece += line[i++];
}

// The piece of a log line that starts at `i`, untrimmed: a plain piece is a
// part of the line up to the next separator, a quoted one is unquoted into
// `scratch`. `i` is left on the separator after it, or at the end.
std::string_view PieceAt(std::string_view line, size_t& i, std::string& scratch) {
  if (i < line.size() && line[i] == '"') {
    ReadQuotedPiece(line, i, scratch);
    return scratch;
  }
  const size_t sep = line.find(QC_CSV_SEP, i);
  const size_t end = sep == std::string::npos ? line.size() : sep;
  const std::string_view piece = line.substr(i, end - i);
  i = end;
  return piece;
}

// The first `count` fields of a raw log line as ParseQCLine reads them
// (unquoted and trimmed), still in the file's code page, which needs no
// conversion to be split: the separator, the quote and the trimmed bytes
// are the same single bytes in both. Fields the line does not reach are
// empty. The views point into the line or into `scratch`, one string per
// field, and hold until either changes.
void ReadRawFields(std::string_view line, int count, std::string_view* fields,
                   std::string* scratch) {
  const size_t n = line.size();
  size_t i = 0;
  int index = 0;
  while (index < count) {
    fields[index] = platform::TrimView(PieceAt(line, i, scratch[index]));
    ++index;
    if (i >= n) break;
    ++i;
  }
  while (index < count) fields[index++] = {};
}

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

TQCLine ParseRawLine(std::string_view raw) {
  return ParseQCLine(platform::AnsiToUtf8(raw));
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

// A path given to Ghostscript as an argument: never starting with "-".
std::string ArgumentPath(const std::string& path) {
  return platform::IsAbsolutePath(path) ? path : "./" + path;
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

// --- Start and stop ---------------------------------------------------------------

void InitQCManager(const TAppConfig& Config) {
  {
    std::lock_guard<std::mutex> lock(GQCCS);
    if (GInitialized) return;
    GInitialized = true;
    GExeFolder = Config.ExeFolder;
  }
  const std::string targets = platform::JoinPath(Config.ExeFolder, QC_TARGET_FILE);
  const int rows = LoadQCTargets(targets);
  if (rows <= 0) {
    LogWarning(kCat, "Fichier valeurs cibles QC introuvable ou vide : " + targets, 0);
  } else {
    LogInfo(kCat, Format("Valeurs cibles QC chargées — %d niveau(x)", rows));
  }
  LogInfo(kCat, "Gestionnaire QC initialisé");
}

void FinalizeQCManager() {
  std::lock_guard<std::mutex> lock(GQCCS);
  GInitialized = false;
}

// --- QC log -------------------------------------------------------------------------

std::string QCLogPath(const TAppConfig& Config) {
  return platform::JoinPath(Config.ExeFolder, QC_LOG_FILE);
}

TQCLine BuildQCLine(const TMRecord& MRec, const TRRecord& RRec, const TOrderRecord& OrdRec,
                    const THeaderRecord& HdrRec, const std::string& QCPerDate) {
  TQCLine line;
  line.RDResult = platform::FormatDateTime(QC_DATE_FMT, platform::Now());
  line.InstrID = HdrRec.InstrumentID;
  line.OID = OrdRec.SampleID;
  line.Lot = OrdRec.TestName;
  line.QCPerDate = QCPerDate;
  line.Tub = std::to_string(MRec.SeqNr);
  line.K7ID = MRec.CassetteID;
  line.K7Lot = MRec.CassetteLot;
  line.TestCode = RRec.TestCode;
  line.TestResult = RRec.TestResult;
  line.WellNr = std::to_string(MRec.WellNr);
  line.Reagent = MRec.Reagent;
  line.Grade = GradeToStr(MRec.Grade);
  const std::string target = GetQCTargetValue(ExtractQCLevel(OrdRec.TestName), line.Reagent);
  line.QCVal1 = target;
  line.Check1 = CheckQCResult(line.Grade, target);
  return line;
}

std::string SerializeQCLine(const TQCLine& Line) {
  std::string out;
  out.reserve(160);
  for (int i = 0; i < QC_FIELD_COUNT; ++i) {
    if (i > 0) out += QC_CSV_SEP;
    const std::string& field = Line.*kFields[i];
    if (field.find_first_of("|\"") == std::string::npos) {
      out += field;
      continue;
    }
    out += '"';
    for (const char c : field) {
      if (c == '"') out += '"';
      out += c;
    }
    out += '"';
  }
  return out;
}

TQCLine ParseQCLine(const std::string& Line) {
  TQCLine result;
  const size_t n = Line.size();
  size_t i = 0;
  int index = 0;
  if (n == 0) return result;
  std::string scratch;
  while (index < QC_FIELD_COUNT) {
    result.*kFields[index++] = platform::Trim(PieceAt(Line, i, scratch));
    if (i >= n) break;
    ++i;  // the separator; a trailing one gives a last empty piece
  }
  return result;
}

bool AppendQCLine(const std::string& FilePath, const TQCLine& Line) {
  return AppendQCLines(FilePath, {Line});
}

bool AppendQCLines(const std::string& FilePath, const std::vector<TQCLine>& Lines,
                   platform::TStageOutcome* Outcome) {
  std::string bytes;
  for (const TQCLine& line : Lines) bytes += platform::Utf8ToAnsi(SerializeQCLine(line)) + "\r\n";
  std::lock_guard<std::mutex> lock(GQCCS);
  platform::TOsResult r;
  if (platform::FileExists(FilePath)) {
    // A tail that cannot be read is no reason to give up the append.
    std::string tail;
    if (platform::ReadFileTail(FilePath, 1, tail).Ok() && !tail.empty() && tail.back() != '\n' &&
        tail.back() != '\r') {
      bytes.insert(0, "\r\n");
    }
  } else {
    const std::string folder = platform::ExtractFileDir(FilePath);
    if (!folder.empty()) r = platform::MakeFolders(folder);
  }
  // One append for all the lines: a failure leaves the log as it was.
  if (r.Ok()) r = platform::AppendToFileOrRestore(FilePath, bytes);
  if (!r.Ok()) {
    LogError(kCat, "Erreur écriture CSV QC : " + r.Text, 0);
    // Nothing of the message was recorded: whatever the system said, the
    // readings wait for a machine that can write them, and are tried again.
    if (Outcome != nullptr) Outcome->MachineFault(r.Text);
  }
  return r.Ok();
}

TDateTime ParseQCDate(const std::string& DateStr) {
  // Only the text before the first blank counts, and in it the first three
  // "/" pieces: whatever follows the year is ignored.
  const std::string text = platform::Trim(DateStr);
  std::string_view date = std::string_view(text).substr(0, text.find(' '));
  size_t third = date.find('/');
  for (int k = 0; k < 2 && third != std::string_view::npos; ++k) third = date.find('/', third + 1);
  date = date.substr(0, third);
  platform::TDateParts parts;
  TDateTime value = 0;
  if (!platform::TryParseDayMonthYear(date, parts) || parts.Year < 2000 || parts.Year > 2200 ||
      !platform::TryEncodeDateTime(parts, value)) {
    return 0;
  }
  return value;
}

namespace {

// The readings of a valid QC message, in the order they are recorded.
std::vector<TQCLine> MessageQCLines(const TASTMMessage& Msg) {
  std::vector<TQCLine> lines;
  for (const TOrderRecord& order : Msg.Orders) {
    std::string qcPerDate;
    if (!order.RRecords.empty() && !order.RRecords[0].MRecords.empty()) {
      const std::string& exp = order.RRecords[0].MRecords[0].ExpDateStr;
      if (platform::Utf8Length(exp) >= 8) {
        qcPerDate = platform::Utf8Mid(exp, 6, 2) + "/" + platform::Utf8Mid(exp, 4, 2) + "/" +
                    platform::Utf8Mid(exp, 0, 4);
      }
    }
    for (const TRRecord& r : order.RRecords) {
      for (const TMRecord& m : r.MRecords) {
        lines.push_back(BuildQCLine(m, r, order, Msg.Header, qcPerDate));
      }
    }
  }
  return lines;
}

// A reading as written, but for the time it was recorded.
std::string WithoutRecordingTime(TQCLine Line) {
  Line.RDResult.clear();
  return SerializeQCLine(Line);
}

}  // namespace

int RecordQCResults(const TASTMMessage& Msg, const TAppConfig& Config,
                    platform::TStageOutcome* Outcome) {
  if (!Msg.IsValid) return 0;
  if (!Msg.IsQC) {
    LogDebug(kCat, "Message non-QC — ignoré");
    return 0;
  }
  const std::vector<TQCLine> lines = MessageQCLines(Msg);
  if (lines.empty()) return 0;
  // The readings of one message are recorded together or not at all, so a
  // message tried again never leaves a reading twice in the log.
  if (!AppendQCLines(QCLogPath(Config), lines, Outcome)) return -1;
  const int count = static_cast<int>(lines.size());
  const std::string oid = Msg.Orders.empty() ? std::string("?") : Msg.Orders[0].SampleID;
  LogInfo(kCat, Format("%d ligne(s) QC enregistrée(s) — OID: %s", count, oid.c_str()));
  return count;
}

bool QCResultsRecorded(const TASTMMessage& Msg, const TAppConfig& Config) {
  if (!Msg.IsValid || !Msg.IsQC) return false;
  std::vector<std::string> wanted;
  for (const TQCLine& line : MessageQCLines(Msg)) wanted.push_back(WithoutRecordingTime(line));
  if (wanted.empty()) return false;
  // The last readings of the log, as many as the message has.
  std::deque<std::string> window;
  bool found = false;
  const platform::TOsResult r = ForEachQCLogLine(QCLogPath(Config), [&](std::string_view raw) {
    if (IsBlankLine(raw)) return true;
    if (window.size() == wanted.size()) window.pop_front();
    window.push_back(WithoutRecordingTime(ParseRawLine(raw)));
    found =
        window.size() == wanted.size() && std::equal(window.begin(), window.end(), wanted.begin());
    return !found;
  });
  return r.Ok() && found;
}

int64_t QCLogSize(const TAppConfig& Config) {
  std::lock_guard<std::mutex> lock(GQCCS);
  return std::max<int64_t>(0, platform::FileSize(QCLogPath(Config)));
}

TQCResume ResumeQCRecording(const TASTMMessage& Msg, const TAppConfig& Config, int64_t SizeBefore,
                            platform::TStageOutcome* Outcome) {
  const auto lastLines = [&] {
    return QCResultsRecorded(Msg, Config) ? TQCResume::recorded : TQCResume::to_append;
  };
  if (SizeBefore < 0 || !Msg.IsValid || !Msg.IsQC) return lastLines();
  std::vector<std::string> wanted;
  size_t wantedBytes = 0;
  for (const TQCLine& line : MessageQCLines(Msg)) {
    wanted.push_back(WithoutRecordingTime(line));
    wantedBytes += wanted.back().size();
  }
  if (wanted.empty()) return TQCResume::to_append;
  {
    const std::string path = QCLogPath(Config);
    std::lock_guard<std::mutex> lock(GQCCS);
    const int64_t size = platform::FileSize(path);
    if (size <= SizeBefore) return TQCResume::to_append;  // nothing of the append reached the log
    // Far more than the message's readings: other readings follow them.
    const auto tailBytes = static_cast<size_t>(size - SizeBefore);
    std::string tail;
    if (tailBytes <= 2 * wantedBytes + 64 * wanted.size() + 4096 &&
        platform::ReadFileTail(path, tailBytes, tail).Ok() && tail.size() == tailBytes) {
      size_t matched = 0;
      bool foreign = false;
      size_t pos = 0;
      // Whole lines only: a last piece without its line end was cut short.
      for (size_t end = tail.find('\n'); end != std::string::npos && !foreign;
           pos = end + 1, end = tail.find('\n', pos)) {
        std::string_view raw(tail.data() + pos, end - pos);
        if (!raw.empty() && raw.back() == '\r') raw.remove_suffix(1);
        if (IsBlankLine(raw)) continue;
        if (matched < wanted.size() && WithoutRecordingTime(ParseRawLine(raw)) == wanted[matched]) {
          ++matched;
        } else {
          foreign = true;
        }
      }
      if (matched == wanted.size()) return TQCResume::recorded;
      if (!foreign) {
        const platform::TOsResult cut = platform::TruncateFile(path, SizeBefore);
        if (!cut.Ok()) {
          LogError(kCat, "Erreur écriture CSV QC : " + cut.Text, 0);
          if (Outcome != nullptr) Outcome->MachineFault(cut.Text);
          return TQCResume::failed;
        }
        LogInfo(kCat, Format("Enregistrement QC interrompu — %d ligne(s) sur %d retirée(s) du "
                             "journal QC avant de les écrire à nouveau",
                             static_cast<int>(matched), static_cast<int>(wanted.size())));
        return TQCResume::to_append;
      }
    }
  }
  return lastLines();
}

// --- Lot reports ---------------------------------------------------------------------

namespace {

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

}  // namespace

int CheckAndGenerateReports(const TAppConfig& Config) {
  int count = 0;
  if (!GInitialized) return 0;
  RemoveLeftovers(Config.QCReportDest);
  const std::string path = QCLogPath(Config);
  FinishInterruptedArchive(path, Config.QCReportDest);
  if (!platform::FileExists(path)) return 0;

  const TUniqueStringList lots = CollectLots(path);
  const TDateTime today = platform::DateOf(platform::Now());
  for (const std::string& key : lots.Items()) {
    // A valid date never holds "=", so the last one separates a lot that
    // holds "=" from its date.
    const size_t eq = key.rfind('=');
    if (eq == std::string::npos) continue;
    const std::string lot = key.substr(0, eq);
    const std::string expStr = key.substr(eq + 1);
    if (lot.empty() || expStr.empty()) continue;

    const TDateTime expDate = ParseQCDate(expStr);
    if (expDate == 0) {
      LogWarning(
          kCat, Format("Date expiration invalide lot %s : \"%s\"", lot.c_str(), expStr.c_str()), 0);
      continue;
    }
    const TDateTime trigger = expDate + Config.QCReportDelay;
    if (today < platform::DateOf(trigger)) {
      LogDebug(kCat, Format("Lot %s — rapport prévu le %s", lot.c_str(),
                            platform::FormatDateTime("dd/mm/yyyy", trigger).c_str()));
      continue;
    }
    if (ReportExists(Config.QCReportDest, lot)) {
      LogDebug(kCat, "Rapport déjà existant pour lot : " + lot);
      continue;
    }
    LogInfo(kCat, Format("Génération rapport lot %s (expiré %s + %d j)", lot.c_str(),
                         expStr.c_str(), Config.QCReportDelay));
    if (GenerateReportForLot(path, lot, Config.QCReportDest)) ++count;
  }
  if (count > 0) LogInfo(kCat, Format("%d rapport(s) QC généré(s)", count));
  return count;
}

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

// --- Test seams -----------------------------------------------------------------------

void SetConverterRunnerForTesting(TConverterRunner Runner) {
  std::lock_guard<std::mutex> lock(GSeamMutex);
  GRunner = std::move(Runner);
}

void SetConverterDeadlineForTesting(int64_t DeadlineMs) {
  std::lock_guard<std::mutex> lock(GSeamMutex);
  GDeadlineMs = DeadlineMs;
}
