// The result-file parser: one .tra file (one ASTM message) into a
// TASTMMessage, with the service's French log lines under "ASTM".
#include <cstdint>
#include <string_view>
#include <utility>

#include "astm/UASTMParser.h"
#include "logging/ULogger.h"
#include "platform/Files.h"
#include "platform/Text.h"

using platform::Format;

namespace {

constexpr const char* kCat = "ASTM";

// Highest field each record parser reads (field 0 is the record type):
// lines are split no further than that.
constexpr size_t kPatientFields = 9;
constexpr size_t kOrderFields = 26;
constexpr size_t kResultFields = 14;
constexpr size_t kMFields = 6;

// A result file is a few kilobytes; anything above this is not one, and is
// refused before it is read into memory.
constexpr int64_t kMaxFileBytes = int64_t{64} * 1024 * 1024;

using TPieces = std::vector<std::string>;

const std::string& PieceAt(const TPieces& pieces, size_t index) {
  static const std::string kEmpty;
  return index < pieces.size() ? pieces[index] : kEmpty;
}

TPieces SplitFields(const std::string& line, size_t count) {
  return SplitASTMText(line, DELIM_FIELD, count);
}

TPieces SplitComponents(const std::string& field, size_t count) {
  return SplitASTMText(field, DELIM_COMPONENT, count);
}

// Sequence numbers are 1 when missing, not numeric or too large.
int SeqNrOf(const std::string& field) {
  return platform::StrToIntDef(field, 1);
}

// The upper-case record letter followed by "|", exactly.
bool HasRecordPrefix(const std::string& line, char letter) {
  return line.size() >= 2 && line[0] == letter && line[1] == DELIM_FIELD;
}

const char* BoolText(bool value) {
  return value ? "True" : "False";
}

void ResetMessage(TASTMMessage& Msg, const std::string& FilePath) {
  FreeASTMMessage(Msg);
  Msg.SourceFile = FilePath;
  Msg.IsValid = false;
  Msg.ParseError.clear();
  Msg.IsQC = false;
  Msg.Header = THeaderRecord();
  Msg.Patient = TPatientRecord();
}

// What the parser carries from line to line. The order being built lives in
// its slot, Msg.Orders.back(), from its O line on; a result stays pending
// until the next R, O or L line (or the end of the file) adds it to that
// order, and is dropped when no order is open.
struct TParserState {
  bool OrderOpen = false;
  bool ResultPending = false;
  TRRecord Pending;
};

// The pending result joins the open order (and is no longer pending). Without
// an open order it stays pending: it is replaced by the next R line and
// dropped at the first O line.
void AppendPendingResult(TParserState& State, TASTMMessage& Msg) {
  if (State.OrderOpen && State.ResultPending) {
    Msg.Orders.back().RRecords.push_back(std::move(State.Pending));
    State.Pending = TRRecord();
    State.ResultPending = false;
  }
}

bool IsQCOrder(const TOrderRecord& Order) {
  return platform::StartsTextAscii(Order.SampleID, "QC") ||
         platform::StartsTextAscii(Order.TestName, "QC");
}

void HandleOrder(const std::string& Line, TParserState& State, TASTMMessage& Msg) {
  AppendPendingResult(State, Msg);
  Msg.Orders.emplace_back();
  TOrderRecord& order = Msg.Orders.back();
  ParseOrder(Line, order);
  State.OrderOpen = true;
  State.ResultPending = false;
  if (IsQCOrder(order)) Msg.IsQC = true;
  LogDebug(kCat, Format("O — SampleID: %s Test: %s QC: %s", order.SampleID.c_str(),
                        order.TestName.c_str(), BoolText(Msg.IsQC)));
}

void HandleResult(const std::string& Line, TParserState& State, TASTMMessage& Msg) {
  AppendPendingResult(State, Msg);
  ParseResult(Line, State.Pending);
  State.ResultPending = true;
  LogDebug(kCat, Format("R — Test: %s Resultat: %s", State.Pending.TestCode.c_str(),
                        State.Pending.TestResult.c_str()));
}

void HandleM(const std::string& Line, int LineNr, TParserState& State, TASTMMessage& Msg) {
  if (!State.ResultPending) {
    LogWarning(kCat, Format("M record orphelin ligne %d — ignore", LineNr), 0);
    return;
  }
  TMRecord m;
  ParseMRecord(Line, m);
  if (!m.ColorImageFile.empty()) Msg.UniqueImages.Add(m.ColorImageFile);
  const std::string grade = GradeToStr(m.Grade);
  if (m.IsError) {
    LogWarning(kCat,
               Format("Grade erreur — Reactif: %s Grade: %s Cassette: %s Puit: %d",
                      m.Reagent.c_str(), grade.c_str(), m.CassetteID.c_str(), m.WellNr),
               0);
  }
  LogDebug(kCat, Format("M — Reactif: %s Puit: %d Grade: %s", m.Reagent.c_str(), m.WellNr,
                        grade.c_str()));
  State.Pending.MRecords.push_back(std::move(m));
}

bool Fail(TASTMMessage& Msg, std::string Reason) {
  Msg.ParseError = std::move(Reason);
  Msg.IsValid = false;
  return false;
}

}  // namespace

bool ParseHeader(const std::string& Line, THeaderRecord& Rec) {
  Rec = THeaderRecord();
  if (!HasRecordPrefix(Line, 'H')) return false;
  const TPieces f = SplitFields(Line, HEADER_FIELD_TIMESTAMP + 1);
  const TPieces sender = SplitComponents(PieceAt(f, HEADER_FIELD_SENDER), 4);
  Rec.InstrumentName = PieceAt(sender, 0) + " " + PieceAt(sender, 1);
  Rec.SoftwareVer = PieceAt(sender, 2);
  Rec.InstrumentID = PieceAt(sender, 3);
  Rec.ProcessingID = PieceAt(f, HEADER_FIELD_PROCESSING_ID);
  Rec.Protocol = PieceAt(f, HEADER_FIELD_PROTOCOL);
  Rec.Timestamp = ASTMDateToDateTime(PieceAt(f, HEADER_FIELD_TIMESTAMP));
  return true;
}

bool ParsePatient(const std::string& Line, TPatientRecord& Rec) {
  Rec = TPatientRecord();
  if (!HasRecordPrefix(Line, 'P')) return false;
  const TPieces f = SplitFields(Line, kPatientFields);
  Rec.SeqNr = SeqNrOf(PieceAt(f, 1));
  Rec.PatientID = PieceAt(f, 2);
  const TPieces name = SplitComponents(PieceAt(f, 5), 2);
  Rec.FirstName = PieceAt(name, 0);
  Rec.LastName = PieceAt(name, 1);
  Rec.BirthDateStr = PieceAt(f, 7);
  Rec.BirthDate = ASTMDateToDateTime(Rec.BirthDateStr);
  Rec.Sex = PieceAt(f, 8);
  return true;
}

bool ParseOrder(const std::string& Line, TOrderRecord& Rec) {
  Rec = TOrderRecord();
  if (!HasRecordPrefix(Line, 'O')) return false;
  const TPieces f = SplitFields(Line, kOrderFields);
  Rec.SeqNr = SeqNrOf(PieceAt(f, 1));
  Rec.SampleID = PieceAt(f, 2);
  Rec.TestName = PieceAt(f, 4);
  Rec.OrderDate = ASTMDateToDateTime(PieceAt(f, 6));
  Rec.ReportDate = ASTMDateToDateTime(PieceAt(f, 22));
  Rec.SampleType = PieceAt(f, 15);
  Rec.RawLine = Line;
  Rec.OrderStatus = PieceAt(f, 25);
  return true;
}

bool ParseResult(const std::string& Line, TRRecord& Rec) {
  Rec = TRRecord();
  if (!HasRecordPrefix(Line, 'R')) return false;
  const TPieces f = SplitFields(Line, kResultFields);
  Rec.SeqNr = SeqNrOf(PieceAt(f, 1));
  Rec.TestCode = PieceAt(f, 2);
  Rec.TestResult = PieceAt(f, 3);
  Rec.ResultFlag = PieceAt(f, 6);
  Rec.ResultStatus = PieceAt(f, 8);
  Rec.ResultMethod = PieceAt(f, 10);
  Rec.ResultDate = ASTMDateToDateTime(PieceAt(f, 12));
  Rec.InstrumentID = PieceAt(f, 13);
  LogInfo(kCat, "ParseResult: TestCode=[" + Rec.TestCode + "] TestResult=[" + Rec.TestResult + "]");
  return true;
}

bool ParseMRecord(const std::string& Line, TMRecord& Rec) {
  Rec = TMRecord();
  if (!HasRecordPrefix(Line, 'M')) return false;
  const TPieces f = SplitFields(Line, kMFields);
  Rec.SeqNr = SeqNrOf(PieceAt(f, 1));
  Rec.Reagent = PieceAt(f, 2);
  const TPieces cassette = SplitComponents(PieceAt(f, 3), 7);
  Rec.CassetteName = PieceAt(cassette, 0);
  Rec.WellNr = platform::StrToIntDef(PieceAt(cassette, 1), 0);
  Rec.CassetteID = PieceAt(cassette, 2);
  Rec.CassetteLot = PieceAt(cassette, 3);
  Rec.ExpDateStr = PieceAt(cassette, 4);
  Rec.ExpDate = ASTMDateToDateTime(Rec.ExpDateStr);
  Rec.BWImageFile = PieceAt(cassette, 5);
  Rec.ColorImageFile = PieceAt(cassette, 6);
  const TPieces reagent = SplitComponents(PieceAt(f, 4), 3);
  Rec.ReagentName = PieceAt(reagent, 0);
  Rec.ReagentLot = PieceAt(reagent, 1);
  Rec.ReagentExpDate = PieceAt(reagent, 2);
  const TPieces grade = SplitComponents(PieceAt(f, 5), 2);
  Rec.Grade = platform::StrToIntDef(PieceAt(grade, 0), 0);
  Rec.GradeFlag = PieceAt(grade, 1);
  Rec.IsError = IsGradeError(Rec.Grade);
  return true;
}

bool ParseASTMBytes(const std::string& Bytes, const std::string& FilePath, TASTMMessage& Msg) {
  ResetMessage(Msg, FilePath);
  // The lines are read in place, one at a time: besides the bytes, only the
  // records are held, whatever the size of the file.
  std::string decoded;
  const std::string_view text =
      platform::DecodeTextView(Bytes, platform::TNoBomEncoding::utf8_or_ansi, decoded);
  size_t pos = 0;
  std::string_view raw;
  if (!platform::NextLine(text, pos, raw)) {
    Fail(Msg, "Fichier vide : " + FilePath);
    LogWarning(kCat, Msg.ParseError, 0);
    return false;
  }
  if (!platform::StartsWith(platform::TrimView(raw), "H|")) {
    Fail(Msg, "Segment H manquant en début de fichier");
    LogError(kCat, Msg.ParseError + " [" + FilePath + "]", EVT_PROCESSING_ERROR);
    return false;
  }

  TParserState state;
  pos = 0;
  for (int lineNr = 1; platform::NextLine(text, pos, raw); ++lineNr) {
    const std::string line = platform::Trim(raw);
    if (line.empty()) continue;
    const std::string recordType =
        platform::UpperAscii(platform::Trim(std::string_view(line).substr(0, line.find('|'))));

    if (recordType == "H") {
      ParseHeader(line, Msg.Header);
      LogDebug(kCat, Format("H — Instrument: %s v%s", Msg.Header.InstrumentID.c_str(),
                            Msg.Header.SoftwareVer.c_str()));
    } else if (recordType == "P") {
      ParsePatient(line, Msg.Patient);
      LogDebug(kCat, Format("P — PatientID: %s Sexe: %s", Msg.Patient.PatientID.c_str(),
                            Msg.Patient.Sex.c_str()));
    } else if (recordType == "O") {
      HandleOrder(line, state, Msg);
    } else if (recordType == "R") {
      HandleResult(line, state, Msg);
    } else if (recordType == "M") {
      HandleM(line, lineNr, state, Msg);
    } else if (recordType == "L") {
      AppendPendingResult(state, Msg);
      LogDebug(kCat, Format("L — Fin message. Orders: %d Images: %d", Msg.OrderCount(),
                            Msg.UniqueImages.Count()));
    } else {
      LogDebug(kCat,
               Format("Segment inconnu \"%s\" ligne %d — ignore", recordType.c_str(), lineNr));
    }
  }
  // The file was complete (its size had settled): the end of the file closes
  // the message as an L line does, so a missing L line does not cost the last
  // order its results.
  AppendPendingResult(state, Msg);

  if (Msg.OrderCount() == 0) {
    Fail(Msg, "Aucun segment O trouvé dans le fichier");
    LogWarning(kCat, Msg.ParseError + " [" + FilePath + "]", 0);
    return false;
  }
  Msg.IsValid = true;
  LogInfo(kCat, Format("Fichier parsé avec succès — Patient: %s Orders: %d Images: %d QC: %s [%s]",
                       Msg.Patient.PatientID.c_str(), Msg.OrderCount(), Msg.UniqueImages.Count(),
                       BoolText(Msg.IsQC), platform::ExtractFileName(FilePath).c_str()));
  return true;
}

bool ParseASTMFile(const std::string& FilePath, TASTMMessage& Msg, std::string* Bytes) {
  ResetMessage(Msg, FilePath);
  if (Bytes != nullptr) Bytes->clear();
  // A folder bearing the file's name exists too: reading it fails below with
  // the system's reason, which says more than "not found".
  if (!platform::FileExists(FilePath) && !platform::FolderExists(FilePath)) {
    Fail(Msg, "Fichier introuvable : " + FilePath);
    LogError(kCat, Msg.ParseError, EVT_PROCESSING_ERROR);
    return false;
  }
  const int64_t size = platform::FileSize(FilePath);
  if (size > kMaxFileBytes) {
    Fail(Msg, Format("Fichier trop volumineux : %lld octets (au plus %lld)",
                     static_cast<long long>(size), static_cast<long long>(kMaxFileBytes)));
    LogError(kCat, Msg.ParseError + " [" + FilePath + "]", EVT_PROCESSING_ERROR);
    return false;
  }
  std::string bytes;
  const platform::TOsResult read = platform::ReadFileBytes(FilePath, bytes);
  if (!read.Ok()) {
    Fail(Msg, "Erreur lecture fichier : " + read.Text);
    LogError(kCat, Msg.ParseError + " [" + FilePath + "]", EVT_PROCESSING_ERROR);
    return false;
  }
  const bool parsed = ParseASTMBytes(bytes, FilePath, Msg);
  if (Bytes != nullptr) *Bytes = std::move(bytes);
  return parsed;
}
