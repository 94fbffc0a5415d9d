#pragma once

// The QC log: one line per reading of one well of a QC message, judged
// against the target values. Its lines are Windows-1252 text with CR LF line
// ends; strings in memory are UTF-8.

#include <cstdint>
#include <string>
#include <vector>

#include "astm/UASTMParser.h"
#include "config/UConfig.h"
#include "platform/Clock.h"
#include "platform/OsResult.h"

constexpr const char* QC_DATE_FMT = "dd/mm/yyyy hh:nn:ss";
constexpr const char* QC_LOG_FILE = "QC/log.txt";
constexpr char QC_CSV_SEP = '|';
constexpr int QC_FIELD_COUNT = 20;

// One reading, in the order of the fields of a QC log line.
struct TQCLine {
  std::string RDResult;    // time of recording, "dd/mm/yyyy hh:nn:ss"
  std::string InstrID;     // header InstrumentID
  std::string OID;         // order SampleID
  std::string Lot;         // order TestName (its last digit 1-4 is the QC level)
  std::string QCPerDate;   // expiry of the order's first cassette, "dd/mm/yyyy", or empty
  std::string Tub;         // M SeqNr
  std::string K7ID;        // M CassetteID
  std::string K7Lot;       // M CassetteLot: the key of the lot reports
  std::string TestCode;    // R TestCode
  std::string TestResult;  // R TestResult
  std::string WellNr;      // M WellNr
  std::string Reagent;     // M Reagent
  std::string Grade;       // GradeToStr of the M grade
  std::string Comment;
  std::string QCVal1;  // target value, or empty
  std::string QCVal2;
  std::string Check1;  // "OK", "NOK", or empty without a target
  std::string Check2;
  std::string Action;
  std::string User;
};

// ExeFolder + "QC/log.txt".
std::string QCLogPath(const TAppConfig& Config);
// One reading of the message, with its target and verdict; RDResult is now.
TQCLine BuildQCLine(const TMRecord& MRec, const TRRecord& RRec, const TOrderRecord& OrdRec,
                    const THeaderRecord& HdrRec, const std::string& QCPerDate);
// The twenty fields joined by "|". A field holding "|" or a double quote is
// written between double quotes with its quotes doubled, so that it reads
// back whole; other fields are written as they stand.
std::string SerializeQCLine(const TQCLine& Line);
// Splits at "|" (a piece beginning with a double quote is read up to its
// closing quote, "" standing for one quote), trims each piece, and fills the
// fields in order; missing pieces leave fields empty, extra pieces are
// ignored.
TQCLine ParseQCLine(const std::string& Line);
// Appends one line (CR LF ended) under GQCCS, creating the file and its
// folder when missing. A last line left without its line end (an edit) is
// ended first, so the new line never merges into it. A failure is logged
// ("Erreur écriture CSV QC : ...") and leaves the file as it was; the result
// says whether the line was written.
bool AppendQCLine(const std::string& FilePath, const TQCLine& Line);
// The same for several lines in one append: all of them are written, or
// none and the file is left as it was.
bool AppendQCLines(const std::string& FilePath, const std::vector<TQCLine>& Lines,
                   platform::TStageOutcome* Outcome = nullptr);
// "dd/mm/yyyy" (a time after a blank is ignored) at midnight; 0 when the
// text is not a date of the years 2000 to 2200.
TDateTime ParseQCDate(const std::string& DateStr);
// Records one line per M record of a valid QC message (orders, then R, then
// M records in order), all in one append, and returns the number of lines
// written: 0 for a message without readings, -1 when the append failed (the
// failure is logged, the log is left as it was, and the message can be
// recorded again later without a duplicate; Outcome, when given, is then a
// machine failure with its reason, so the message waits for a machine that
// can write them).
int RecordQCResults(const TASTMMessage& Msg, const TAppConfig& Config,
                    platform::TStageOutcome* Outcome = nullptr);
// True when every reading of the message already stands in the QC log, one
// after the other, as RecordQCResults writes them (the time of recording
// aside): the message was recorded before an interruption kept that from
// being noted.
bool QCResultsRecorded(const TASTMMessage& Msg, const TAppConfig& Config);
// The QC log's size in bytes, noted before the readings of a message are
// appended (0 when there is no log yet).
int64_t QCLogSize(const TAppConfig& Config);
// What to do with the readings of a message whose append was interrupted.
enum class TQCResume {
  recorded,   // they stand in the log: not again
  to_append,  // append them
  failed,     // the log could not be put right (logged, a machine failure): wait
};
// After an interruption between that note and the record of the append:
// `recorded` when every reading of the message stands in the log right
// after `SizeBefore` bytes. Otherwise whatever the interrupted append left
// there (some of the readings, a last one cut short by a power loss) is cut
// away, so that the readings, appended again, stand in the log once and
// whole. When the size is unknown (-1) or other readings follow, nothing is
// cut and the answer is QCResultsRecorded's.
// Outcome, when given, holds the machine's reason of a `failed`.
TQCResume ResumeQCRecording(const TASTMMessage& Msg, const TAppConfig& Config, int64_t SizeBefore,
                            platform::TStageOutcome* Outcome = nullptr);
