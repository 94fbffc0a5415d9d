#pragma once

// What the files of the QC module share and no caller needs: the lock of the
// QC log, the folder set at start, and the reading of raw log lines.

#include <functional>
#include <mutex>
#include <string>
#include <string_view>

#include "platform/OsResult.h"
#include "qc/UQCLog.h"

namespace qc::internal {

inline constexpr const char* kCat = "QC";

// Serialises every access to the QC log file: appends, reads, and the whole
// read-and-rewrite of an archiving.
extern std::mutex GQCCS;
// Set by InitQCManager before the processing thread starts; read-only after.
extern std::string GExeFolder;

// Calls `onLine` with every raw (Windows-1252) line of the QC log, read block
// by block under GQCCS, so that the log is never held whole. A missing log
// gives no line and no failure.
platform::TOsResult ForEachQCLogLine(const std::string& FilePath,
                                     const std::function<bool(std::string_view)>& onLine);

// True for a line of blanks and control characters only.
bool IsBlankLine(std::string_view raw);

// The first `count` fields of a raw log line as ParseQCLine reads them
// (unquoted and trimmed), still in the file's code page, which needs no
// conversion to be split: the separator, the quote and the trimmed bytes
// are the same single bytes in both. Fields the line does not reach are
// empty. The views point into the line or into `scratch`, one string per
// field, and hold until either changes.
void ReadRawFields(std::string_view line, int count, std::string_view* fields,
                   std::string* scratch);

// A raw (Windows-1252) log line read as ParseQCLine reads it.
TQCLine ParseRawLine(std::string_view raw);

// Removes what an interrupted report left in the report folder (its
// PostScript file, its unfinished PDF).
void RemoveLeftovers(const std::string& reportDest);
// Finishes the archiving of a lot whose report was made before the service
// was interrupted, as the note beside the QC log tells.
void FinishInterruptedArchive(const std::string& logPath, const std::string& reportDest);

}  // namespace qc::internal
