#pragma once

// The process-wide logger and the status flag files. Every message of the
// service goes through Log: service.log (information and worse), debug.log
// (debug), error.log (error and worse), all in the log folder, Windows-1252
// with CR LF, one open-write-close per line; warnings and worse that carry
// an event id also go to the system event log. Control characters of the
// values written (a file name holding a line feed, say) are escaped, so a
// value never starts a line of its own. A log file that cannot be written
// is reported to the event log at its first failed line (the logger's own
// first line, at start, finds an unwritable log folder), and again once its
// lines are written again. Before InitLogger and after FinalizeLogger every
// call is a silent no-op, the flag operations included. Whoever starts the
// logger finalises it: nothing does so at process exit. Safe for concurrent
// use.

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "config/UConfig.h"
#include "platform/EventSink.h"

enum TLogLevel { llDebug = 0, llInfo = 1, llWarning = 2, llError = 3, llCritical = 4 };

constexpr uint32_t EVT_SERVICE_START = 1000;
constexpr uint32_t EVT_SERVICE_STOP = 1001;
constexpr uint32_t EVT_SERVICE_ERROR = 1002;
constexpr uint32_t EVT_LOG_WRITE_ERROR = 1003;
constexpr uint32_t EVT_LOG_WRITE_OK = 1004;
constexpr uint32_t EVT_CONFIG_ERROR = 3000;
constexpr uint32_t EVT_CONFIG_WARNING = 3001;
constexpr uint32_t EVT_INSTRUMENT_OK = 4000;
constexpr uint32_t EVT_INSTRUMENT_ERROR = 4001;
constexpr uint32_t EVT_INSTRUMENT_WARN = 4002;
constexpr uint32_t EVT_PROCESSING_ERROR = 5000;
constexpr uint32_t EVT_PROCESSING_OK = 5001;
constexpr uint32_t EVT_QC_REPORT = 6000;
constexpr uint32_t EVT_QC_ERROR = 6001;
constexpr uint32_t EVT_GLIMS_ERROR = 7000;

constexpr const char* FLAG_CONFIG_ERROR = "config_error.flag";
constexpr const char* FLAG_INSTRUMENT_ERROR = "instrument_error.flag";
constexpr const char* FLAG_PROCESSING_ERROR = "processing_error.flag";
// The flag of one instrument, present exactly while its folder cannot be
// reached: "instrument_error_3.flag".
std::string InstrumentFlagName(int Instrument);

// Size above which the periodic rotation archives a log file.
constexpr int64_t LOG_ROTATION_MAX_BYTES = 1048576;

// The eight-character level text ("INFO    ", "CRITICAL" ...).
std::string LevelToStr(TLogLevel Level);

void InitLogger(const TAppConfig& Config, const std::string& ServiceName);
void FinalizeLogger();

// Fields of a line about one instrument or one sample ("VELMAR_INSTRUMENT",
// "3"), by which the system event log can be searched; the log files do not
// show them.
using TLogFields = std::vector<std::pair<std::string, std::string>>;
void Log(TLogLevel Level, const std::string& Category, const std::string& Message, uint32_t EventID,
         const TLogFields& Fields = {});
// As Log, but the line goes to the system event log whatever its level: a
// change the administrators must see (an instrument lost, then back).
void LogEvent(TLogLevel Level, const std::string& Category, const std::string& Message,
              uint32_t EventID, const TLogFields& Fields);
void LogDebug(const std::string& Category, const std::string& Msg);
void LogInfo(const std::string& Category, const std::string& Msg);
void LogWarning(const std::string& Category, const std::string& Msg, uint32_t EventID);
void LogError(const std::string& Category, const std::string& Msg, uint32_t EventID);
void LogCritical(const std::string& Category, const std::string& Msg, uint32_t EventID);

// Archives each log file larger than MaxBytes as name_yyyy-mm-dd_hh-nn-ss.ext
// and starts it afresh; holds the logger's lock for the whole rotation.
void RotateLogsIfNeeded(int64_t MaxBytes);
void RotateFile(const std::string& FilePath, int64_t MaxBytes);

std::string LogFilePath();
std::string DebugFilePath();
std::string ErrorFilePath();

// Why the log files cannot be written, while their writes fail (the
// system's reason for the first of them); empty when the last line written
// to each log file went through.
std::string LogWriteFailure();

// Appends Line + CR LF in Windows-1252; any failure is swallowed.
void WriteToFile(const std::string& FilePath, const std::string& Line);
// Reports `Msg`, an entry without its time stamp ("[ERROR   ] [CAT] text"), to
// the event log when EventID is not 0. A critical line is entered as such
// (the event log's priority above error).
void WriteToEventViewer(TLogLevel Level, const std::string& Msg, uint32_t EventID,
                        const TLogFields& Fields = {});

// --- Flag files, beside the executable ----------------------------------------
std::string FlagFilePath(const std::string& FlagName);
// Appends "[yyyy-mm-dd hh:nn:ss] Reason" (control characters escaped) to the
// flag file and logs a warning.
// Both flag operations do nothing while the logger is stopped.
void SetFlag(const std::string& FlagName, const std::string& Reason);
// Deletes the flag file when it exists, and logs that it did.
void ClearFlag(const std::string& FlagName);
// Writes the configuration verdict, then its errors and warnings, in order.
void LogConfigValidation(const TConfigValidation& Validation);

// Test seam: the next InitLogger reports events to this sink instead of the
// system event log (null restores the system one).
void SetEventSinkForTesting(std::shared_ptr<platform::TEventSink> sink);
