#pragma once

// The lot reports: once a cassette lot has expired, all its readings are
// printed into a PostScript document, turned into PDF, and removed from the
// QC log. A note beside the log lets an archiving cut short be finished.

#include <cstddef>
#include <limits>
#include <string>
#include <vector>

#include "astm/UASTMParser.h"
#include "qc/UQCLog.h"

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
// Removes every line of the lot (letter case ignored) among the first
// `LineLimit` lines of the log, holding GQCCS throughout; later lines are
// kept whatever their lot. The kept lines are written, as they are read, to
// a temporary file in the same folder, flushed to disk and renamed over the
// log, so the log is never left half written. True when the log no longer
// holds those lines (also when it held none).
bool ArchiveLotLines(const std::string& FilePath, const std::string& KLot,
                     size_t LineLimit = std::numeric_limits<size_t>::max());
