// The QC log: its line format, appends, and the resumption of an append
// that was interrupted.
#include "qc/UQCLog.h"

#include <algorithm>
#include <deque>
#include <mutex>
#include <string_view>

#include "logging/ULogger.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "qc/UQCInternal.h"
#include "qc/UQCTarget.h"

using platform::Format;
using namespace qc::internal;

namespace {

// The fields of a line in log order.
std::string TQCLine::*const kFields[QC_FIELD_COUNT] = {
    &TQCLine::RDResult,  &TQCLine::InstrID,    &TQCLine::OID,    &TQCLine::Lot,
    &TQCLine::QCPerDate, &TQCLine::Tub,        &TQCLine::K7ID,   &TQCLine::K7Lot,
    &TQCLine::TestCode,  &TQCLine::TestResult, &TQCLine::WellNr, &TQCLine::Reagent,
    &TQCLine::Grade,     &TQCLine::Comment,    &TQCLine::QCVal1, &TQCLine::QCVal2,
    &TQCLine::Check1,    &TQCLine::Check2,     &TQCLine::Action, &TQCLine::User};

}  // namespace

namespace qc::internal {

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

}  // namespace qc::internal

namespace {

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

}  // namespace

namespace qc::internal {

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

TQCLine ParseRawLine(std::string_view raw) {
  return ParseQCLine(platform::AnsiToUtf8(raw));
}

}  // namespace qc::internal

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
