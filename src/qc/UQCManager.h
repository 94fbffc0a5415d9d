#pragma once

// The QC manager: the QC log (one line per reading of one well of a QC
// message, judged against the target values), and the lot reports (once a
// cassette lot has expired, all its readings are printed into a PostScript
// document, turned into PDF by Ghostscript, and removed from the log).
//
// Threads: InitQCManager and FinalizeQCManager run on the service's control
// thread, before the processing thread starts and after it has ended; every
// other operation runs on the processing thread. GQCCS serialises every
// access to the QC log file; it may be held while a log line is written, so
// the order is always GQCCS first, then the logger's lock.
//
// QC files are Windows-1252 text with CR LF line ends; strings in memory are
// UTF-8. The QC log is always read line by line, never held whole: the
// memory a check takes does not grow with the log, only with the lots and
// the readings of the lot being reported.

#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <string>
#include <vector>

#include "astm/UASTMParser.h"
#include "config/UConfig.h"
#include "platform/Clock.h"
#include "platform/OsResult.h"
#include "platform/Spawn.h"

constexpr const char* QC_DATE_FMT = "dd/mm/yyyy hh:nn:ss";
constexpr const char* QC_LOG_FILE = "QC/log.txt";
constexpr char QC_CSV_SEP = '|';
constexpr int QC_FIELD_COUNT = 20;
// How long Ghostscript may run before it is killed.
constexpr int64_t GS_TIMEOUT_MS = 60000;

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

// --- Start and stop ------------------------------------------------------------
// Starts the manager and loads the targets from ExeFolder + QC_TARGET_FILE;
// does nothing when already started.
void InitQCManager(const TAppConfig& Config);
// Stops the manager; safe twice and without InitQCManager.
void FinalizeQCManager();

// --- QC log -----------------------------------------------------------------------
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

// --- Lot reports -----------------------------------------------------------------
// Removes first what an interrupted report left in the report folder (its
// PostScript file, its unfinished PDF), and finishes the archiving of a lot
// whose report was made but whose readings were not yet taken out of the
// log when the service was interrupted. Then reports every lot whose expiry
// plus QCReportDelay days has been reached and that has no report yet;
// returns the number of reports produced (0 when the manager is not
// started). Throws std::runtime_error when the report folder or a PostScript
// file cannot be created: that ends the pass, and the processing cycle's
// guard reports it.
int CheckAndGenerateReports(const TAppConfig& Config);
// "K7Lot=QCPerDate" of every distinct pair in the log, sorted and de-duplicated
// without regard to letter case; lines without a cassette lot are left out.
TUniqueStringList CollectLots(const std::string& FilePath);
// Copies the lines of lot `KLot` (letter case ignored) into `Lines` in file
// order, at most `Capacity` of them, and returns how many the log holds.
// `LogLines`, when given, receives the number of lines the log held.
int ExtractLotLines(const std::string& FilePath, const std::string& KLot,
                    std::vector<TQCLine>& Lines,
                    size_t Capacity = std::numeric_limits<size_t>::max(),
                    size_t* LogLines = nullptr);
// The lot's part of its report file names: the lot as it stands when it is
// a plain name of at most 100 bytes without "~"; otherwise the lot with "/",
// "\" and control characters made "_", cut to 91 bytes, then "~" and eight
// hexadecimal digits of a hash of the whole lot (letter case ignored). So
// every lot gets a valid name of its own ("A/B" and "A_B" differ), and the
// same lot, whatever its letter case, always the same one.
std::string ReportLotName(const std::string& KLot);
// True when ReportDest holds a file named "QC_Report_" + ReportLotName(lot) +
// "_" + eight digits + ".pdf" (letter case ignored), the name this service
// gives reports.
bool ReportExists(const std::string& ReportDest, const std::string& KLot);
// Prints every reading of the lot, converts the document to PDF and, on
// success, archives the lot's lines. Before the conversion a note beside the
// log names the lot, the report and the lines it prints, so that an
// interruption between the report and the archiving is finished at the next
// check; the note goes once the lines are archived. Throws like
// CheckAndGenerateReports.
bool GenerateReportForLot(const std::string& FilePath, const std::string& KLot,
                          const std::string& ReportDest);
// ExeFolder + Ghostscript's program name ("gs") when that file exists, else
// the program of that name found on the PATH, else the path beside the
// executable (which the conversion then reports missing).
std::string FindGhostscript(const std::string& ExeFolder);
// Ghostscript's arguments after the program name. A "%" of the PDF path is
// doubled (Ghostscript reads "%d" there as a page number); a relative path
// is given as "./path" so that it can never read as an option.
std::vector<std::string> GhostscriptArguments(const std::string& PSFile,
                                              const std::string& PDFFile);
// Runs Ghostscript with a deadline of GS_TIMEOUT_MS, writing to a hidden
// name beside PDFFile ("." + name + ".part"); once Ghostscript ended with
// code 0, its PDF is flushed to disk under PDFFile. True when that was
// done. A PDF left by a failed or killed run is removed (unless it was there
// before), so an incomplete file never passes for the lot's report.
bool ConvertPStoPDF(const std::string& PSFile, const std::string& PDFFile,
                    const std::string& GsExe);
// Removes every line of the lot (letter case ignored) among the first
// `LineLimit` lines of the log, holding GQCCS throughout; later lines are
// kept whatever their lot. The kept lines are written, as they are read, to
// a temporary file in the same folder, flushed to disk and renamed over the
// log, so the log is never left half written. True when the log no longer
// holds those lines (also when it held none).
bool ArchiveLotLines(const std::string& FilePath, const std::string& KLot,
                     size_t LineLimit = std::numeric_limits<size_t>::max());

// --- The PostScript document of one lot ---------------------------------------
// A document being written: lines gather in Buffer and reach the file in
// large appends. After the first write failure, Error holds its text and
// further lines are dropped.
struct TPSDocument {
  std::string FilePath;
  std::string KLot;
  int PageCount = 1;
  std::string Buffer;
  std::string Error;
};

// Writes Lines[0 .. LineCount-1] as an A4 document of 83 rows per page with a
// summary footer, its fonts re-encoded to ISO Latin-1 in the prolog; true
// when it was written whole. A write failure is logged ("Erreur génération
// PS : ...") and gives false; failing to create the file or its folder
// throws std::runtime_error.
bool GeneratePSReport(const std::vector<TQCLine>& Lines, int LineCount, const std::string& KLot,
                      const std::string& PSFile);
// Escapes a text for a PostScript string: "(", ")" and "\" get a backslash;
// characters outside 32-126 become "\" and their UTF-16 code in octal (at
// least three digits).
std::string PSStr(const std::string& S);
// Fits a text to a column `ColW` points wide: at most (ColW - 2) div 3
// characters, the last one "~" when the text was cut.
std::string TruncCol(const std::string& S, int ColW);
// Appends one line (CR LF ended) to the document.
void WriteLine(TPSDocument& Doc, const std::string& Line);
// Writes the start of page `PageNo`: title band, column header.
void NewPage(TPSDocument& Doc, int PageNo);

// --- Test seams ------------------------------------------------------------------
// Runs the converter: program path, arguments after it, deadline in ms.
using TConverterRunner = std::function<platform::TSpawnResult(
    const std::string& Program, const std::vector<std::string>& Args, int64_t DeadlineMs)>;
// Replaces the runner (an empty function restores the real one).
void SetConverterRunnerForTesting(TConverterRunner Runner);
// Replaces the deadline (0 restores GS_TIMEOUT_MS).
void SetConverterDeadlineForTesting(int64_t DeadlineMs);
