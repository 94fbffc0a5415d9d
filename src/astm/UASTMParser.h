#pragma once

// The in-memory ASTM (E1394 / LIS2-A) result message that an analyser's
// .tra file holds, the field access rules, the grade codes, and the parser.
// These records are the shared vocabulary of every later stage.

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "platform/Clock.h"

constexpr char DELIM_FIELD = '|';
constexpr char DELIM_COMPONENT = '^';
constexpr char DELIM_REPEAT = '\\';
constexpr char DELIM_ESCAPE = '&';

// Reaction grade codes reported per well; negative codes are errors.
constexpr int GRADE_0 = 0;
constexpr int GRADE_WEAK = 5;
constexpr int GRADE_1PLUS = 10;
constexpr int GRADE_2PLUS = 20;
constexpr int GRADE_3PLUS = 30;
constexpr int GRADE_4PLUS = 40;
constexpr int GRADE_WELL_NOT_FOUND = -90;
constexpr int GRADE_WRONG_LIQUID = -95;
constexpr int GRADE_LIGHT_LOW = -100;
constexpr int GRADE_LIGHT_HIGH = -101;
constexpr int GRADE_CONTRAST = -110;
constexpr int GRADE_EMPTY_COL = -111;
constexpr int GRADE_TOO_FEW_CELLS = -112;
constexpr int GRADE_TOO_MANY_CELLS = -113;
constexpr int GRADE_MIXED_FIELD = -115;
constexpr int GRADE_INDETERMINATE = -116;
constexpr int GRADE_FIBRIN = -117;
constexpr int GRADE_BUBBLE = -118;
constexpr int GRADE_CELLS_DETECTED = -119;
constexpr int GRADE_FOCUS_ERROR = -201;
constexpr int GRADE_SPLASH = -203;
constexpr int GRADE_TILT_ERROR = -206;
constexpr int GRADE_ROTATION_ERROR = -207;
constexpr int GRADE_SKEW_ERROR = -208;
constexpr int GRADE_WELL_FLUID = -209;

// Positions of the header values in the H line (field 0 = record type), as
// the LIS2-A header keeps them.
constexpr int HEADER_FIELD_SENDER = 4;
constexpr int HEADER_FIELD_PROCESSING_ID = 11;
constexpr int HEADER_FIELD_PROTOCOL = 12;
constexpr int HEADER_FIELD_TIMESTAMP = 13;

struct THeaderRecord {
  std::string InstrumentID;    // field 4, component 4
  std::string InstrumentName;  // field 4, components 1 and 2 joined by a blank
  std::string SoftwareVer;     // field 4, component 3
  std::string ProcessingID;
  std::string Protocol;
  TDateTime Timestamp = 0;
};

struct TPatientRecord {
  int SeqNr = 0;
  std::string PatientID;     // field 2
  std::string LastName;      // field 5, component 2
  std::string FirstName;     // field 5, component 1
  TDateTime BirthDate = 0;   // BirthDateStr converted
  std::string BirthDateStr;  // field 7, as written
  std::string Sex;           // field 8
};

// One reaction well of one cassette.
struct TMRecord {
  int SeqNr = 0;
  std::string Reagent;         // field 2
  std::string CassetteName;    // field 3, component 1
  int WellNr = 0;              // field 3, component 2
  std::string CassetteID;      // field 3, component 3
  std::string CassetteLot;     // field 3, component 4
  TDateTime ExpDate = 0;       // ExpDateStr converted
  std::string ExpDateStr;      // field 3, component 5
  std::string BWImageFile;     // field 3, component 6
  std::string ColorImageFile;  // field 3, component 7
  std::string ReagentName;     // field 4, component 1
  std::string ReagentLot;      // field 4, component 2
  std::string ReagentExpDate;  // field 4, component 3
  int Grade = 0;               // field 5, component 1
  std::string GradeFlag;       // field 5, component 2
  bool IsError = false;        // Grade < 0
};

struct TRRecord {
  int SeqNr = 0;
  std::string TestCode;      // field 2
  std::string TestResult;    // field 3
  std::string ResultFlag;    // field 6
  std::string ResultStatus;  // field 8
  std::string ResultMethod;  // field 10
  TDateTime ResultDate = 0;  // field 12
  std::string InstrumentID;  // field 13
  std::vector<TMRecord> MRecords;

  int MCount() const { return static_cast<int>(MRecords.size()); }
};

struct TOrderRecord {
  int SeqNr = 0;
  std::string SampleID;      // field 2; also the QC identifier
  std::string TestName;      // field 4
  TDateTime OrderDate = 0;   // field 6
  TDateTime ReportDate = 0;  // field 22
  std::string SampleType;    // field 15
  std::string RawLine;       // the whole trimmed line
  std::string OrderStatus;   // field 25
  std::vector<TRRecord> RRecords;

  int RCount() const { return static_cast<int>(RRecords.size()); }
};

// A list of texts kept sorted and without duplicates, both without regard to
// letter case (ASCII); the first spelling added is kept. Adding is O(log n)
// whatever the order of the texts. Items() reads a sorted copy
// that is rebuilt after a change, so a reference they return lasts only until
// the next Add or Clear; not for concurrent use.
class TUniqueStringList {
 public:
  void Add(const std::string& s);
  int Count() const { return static_cast<int>(FSet.size()); }
  const std::vector<std::string>& Items() const;
  void Clear();

 private:
  struct TLessText {
    bool operator()(const std::string& a, const std::string& b) const;
  };
  std::set<std::string, TLessText> FSet;
  mutable std::vector<std::string> FItems;  // FSet in order, valid when !FStale
  mutable bool FStale = false;
};

struct TASTMMessage {
  std::string SourceFile;
  bool IsValid = false;
  std::string ParseError;
  bool IsQC = false;
  THeaderRecord Header;
  TPatientRecord Patient;
  std::vector<TOrderRecord> Orders;
  TUniqueStringList UniqueImages;  // every non-empty ColorImageFile

  int OrderCount() const { return static_cast<int>(Orders.size()); }
};

// --- Field access ---------------------------------------------------------------
// Every piece of a text cut at Delim (the fields of a line, field 0 being
// the record type, or the components of a field), reading no further than
// the first MaxPieces pieces. Empty pieces are kept; a piece that begins
// with a quote is unquoted and may hold Delim; an empty text has no piece.
// Lets a caller split a line once and read all its fields.
std::vector<std::string> SplitASTMText(const std::string& Text, char Delim,
                                       size_t MaxPieces = SIZE_MAX);
// "yyyymmdd[hhnnss]" to a date-time; 0 when not a date.
TDateTime ASTMDateToDateTime(const std::string& DateStr);

std::string GradeToStr(int Grade);
bool IsGradeError(int Grade);
void FreeASTMMessage(TASTMMessage& Msg);

// --- Parser --------------------------------------------------------------------------
// Reads and parses one result file into Msg (reset first). True when the
// message is usable (Msg.IsValid); otherwise Msg.ParseError says why and the
// failure is logged. Logs under "ASTM". The caller calls FreeASTMMessage in
// every case. With `Bytes`, the file's content as read is handed back too
// (empty when it could not be read), so a caller need not read it again.
bool ParseASTMFile(const std::string& FilePath, TASTMMessage& Msg, std::string* Bytes = nullptr);
// Parses a message from bytes already in memory (the file's content);
// FilePath only names the source in the message and the log lines. UTF-8
// (a leading byte-order mark skipped); bytes that are not valid UTF-8 are
// read as Windows-1252. Lines end with CR LF, LF or CR.
bool ParseASTMBytes(const std::string& Bytes, const std::string& FilePath, TASTMMessage& Msg);
// Record parsers: each resets Rec, then requires the line (trimmed) to begin
// with its upper-case record letter and "|"; false leaves Rec empty.
bool ParseHeader(const std::string& Line, THeaderRecord& Rec);
bool ParsePatient(const std::string& Line, TPatientRecord& Rec);
bool ParseOrder(const std::string& Line, TOrderRecord& Rec);
bool ParseResult(const std::string& Line, TRRecord& Rec);
bool ParseMRecord(const std::string& Line, TMRecord& Rec);
