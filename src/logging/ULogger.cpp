#include "logging/ULogger.h"

#include <atomic>
#include <mutex>
#include <string_view>

#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Text.h"

using platform::Format;

namespace {

constexpr const char* kCatLogger = "LOGGER";
constexpr const char* kCatConfig = "CONFIG";
constexpr const char* kCatFlag = "FLAG";

constexpr const char* kTimeFormat = "yyyy-mm-dd hh:nn:ss";

// Set by InitLogger before any thread logs; read-only afterwards.
std::string GLogFolder;
std::string GExeFolder;
std::string GServiceName = "Images_Velmar";
std::atomic<TLogLevel> GMinLevel{llInfo};
std::atomic<bool> GInitialized{false};

// Serialises every append and event report of one line, and a whole
// rotation; also guards GEventSource.
std::mutex GCS;
std::shared_ptr<platform::TEventSink> GEventSource;

// Serialises appends to the flag files, so each raise leaves one whole line.
std::mutex GFlagCS;

std::mutex GTestSinkMutex;  // guards GTestSink
std::shared_ptr<platform::TEventSink> GTestSink;

// A log file's run of failed writes: only the first failed line of a run,
// and the first line written again after it, are reported to the event
// log. Guarded by GCS.
struct TWriteSeries {
  bool Failing = false;
  std::string Reason;  // the system's reason for the first failed line
};
TWriteSeries GServiceSeries;
TWriteSeries GDebugSeries;
TWriteSeries GErrorSeries;

std::string CategoryUpper(const std::string& category) {
  return platform::UpperAscii(category);
}

std::string FolderFile(const std::string& folder, const char* name) {
  return platform::JoinPath(folder, name);
}

// The text with its control characters (codes below 32, and 127) written
// as escapes: "\n", "\r", "\t", and "\x" with two hexadecimal digits for
// the others. A value (a file name, a field of a message) can thus neither
// start a line of its own nor drive the terminal showing the file. Every
// other byte, those of multi-byte characters included, is kept.
std::string EscapeControls(std::string_view text) {
  const auto isControl = [](char ch) {
    const auto c = static_cast<unsigned char>(ch);
    return c < 0x20 || c == 0x7F;
  };
  std::string out;
  out.reserve(text.size());
  for (const char ch : text) {
    if (!isControl(ch)) {
      out += ch;
      continue;
    }
    switch (ch) {
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      default: {
        static constexpr char kHex[] = "0123456789abcdef";
        const auto c = static_cast<unsigned char>(ch);
        out += "\\x";
        out += kHex[c >> 4];
        out += kHex[c & 0x0F];
      }
    }
  }
  return out;
}

// One entry, "[LEVEL   ] [CATEGORY] message", its values' control characters
// escaped: what the event log is told, the event log keeping its own time.
std::string FormatEntry(TLogLevel level, const std::string& category, const std::string& message) {
  return EscapeControls(Format("[%s] [%s] %s", LevelToStr(level).c_str(),
                               CategoryUpper(category).c_str(), message.c_str()));
}

// The entry as a line of the log files, behind its time stamp.
std::string StampedLine(const std::string& entry) {
  return "[" + platform::FormatDateTime(kTimeFormat, platform::Now()) + "] " + entry;
}

// Appends the line to one log file (under GCS). The first failure of a run
// goes to the event log with the system's reason, and so does the return of
// the file: a log that cannot be written is never lost in silence, nor
// reported on every line.
void AppendLogLine(TWriteSeries& series, const std::string& path, const std::string& line) {
  const platform::TOsResult written =
      platform::AppendToFile(path, platform::Utf8ToAnsi(line) + "\r\n");
  if (written.Ok() != series.Failing) return;  // the run goes on, or there is none
  series.Failing = !written.Ok();
  if (series.Failing) {
    series.Reason = written.Text;
    WriteToEventViewer(
        llError,
        FormatEntry(llError, kCatLogger, "Écriture du journal impossible : " + written.Text),
        EVT_LOG_WRITE_ERROR);
  } else {
    series.Reason.clear();
    WriteToEventViewer(
        llInfo,
        FormatEntry(llInfo, kCatLogger,
                    "Écriture du journal rétablie : " + platform::ExtractFileName(path)),
        EVT_LOG_WRITE_OK);
  }
}

}  // namespace

std::string LevelToStr(TLogLevel Level) {
  switch (Level) {
    case llDebug:
      return "DEBUG   ";
    case llInfo:
      return "INFO    ";
    case llWarning:
      return "WARNING ";
    case llError:
      return "ERROR   ";
    case llCritical:
      return "CRITICAL";
  }
  return "INFO    ";
}

std::string LogFilePath() {
  return FolderFile(GLogFolder, "service.log");
}
std::string DebugFilePath() {
  return FolderFile(GLogFolder, "debug.log");
}
std::string ErrorFilePath() {
  return FolderFile(GLogFolder, "error.log");
}

std::string LogWriteFailure() {
  std::lock_guard<std::mutex> lock(GCS);
  for (const TWriteSeries* series : {&GServiceSeries, &GDebugSeries, &GErrorSeries}) {
    if (series->Failing) return series->Reason;
  }
  return std::string();
}

void WriteToFile(const std::string& FilePath, const std::string& Line) {
  (void)platform::AppendToFile(FilePath, platform::Utf8ToAnsi(Line) + "\r\n");
}

void WriteToEventViewer(TLogLevel Level, const std::string& Msg, uint32_t EventID,
                        const TLogFields& Fields) {
  if (!GEventSource || EventID == 0) return;
  platform::TEventKind kind = platform::TEventKind::information;
  if (Level == llWarning) kind = platform::TEventKind::warning;
  if (Level >= llError) kind = platform::TEventKind::error;
  platform::TEventDetails details;
  details.Critical = Level == llCritical;
  details.Fields = Fields;
  GEventSource->Report(kind, EventID, Msg, details);
}

void InitLogger(const TAppConfig& Config, const std::string& ServiceName) {
  GInitialized = false;
  GLogFolder = Config.LogFolder;
  GExeFolder = Config.ExeFolder;
  GServiceName = ServiceName;
  GMinLevel = Config.ColorLog ? llDebug : llInfo;
  if (!platform::FolderExists(GLogFolder)) (void)platform::MakeFolders(GLogFolder);
  {
    std::shared_ptr<platform::TEventSink> sink;
    {
      std::lock_guard<std::mutex> lock(GTestSinkMutex);
      sink = GTestSink;
    }
    if (!sink) sink = platform::OpenSystemEventSink(ServiceName);
    std::lock_guard<std::mutex> lock(GCS);
    GEventSource = std::move(sink);
    GServiceSeries = GDebugSeries = GErrorSeries = TWriteSeries{};
  }
  GInitialized = true;
  Log(llInfo, kCatLogger,
      Format("Logger initialisé — Service: %s — Niveau: %s", ServiceName.c_str(),
             LevelToStr(GMinLevel).c_str()),
      EVT_SERVICE_START);
}

void FinalizeLogger() {
  if (!GInitialized) return;
  Log(llInfo, kCatLogger, "Logger finalisé — arrêt service", EVT_SERVICE_STOP);
  std::lock_guard<std::mutex> lock(GCS);
  GEventSource.reset();
  GInitialized = false;
}

namespace {

// One line to the log files, and to the event log when it is a warning or
// worse, or when AlwaysReport.
void LogLine(TLogLevel Level, const std::string& Category, const std::string& Message,
             uint32_t EventID, const TLogFields& Fields, bool AlwaysReport) {
  if (!GInitialized || Level < GMinLevel) return;
  const std::string entry = FormatEntry(Level, Category, Message);
  const std::string line = StampedLine(entry);
  std::lock_guard<std::mutex> lock(GCS);
  if (!GInitialized) return;
  if (Level >= llInfo) AppendLogLine(GServiceSeries, LogFilePath(), line);
  if (Level == llDebug) AppendLogLine(GDebugSeries, DebugFilePath(), line);
  if (Level >= llError) AppendLogLine(GErrorSeries, ErrorFilePath(), line);
  if (Level >= llWarning || AlwaysReport) WriteToEventViewer(Level, entry, EventID, Fields);
}

}  // namespace

void Log(TLogLevel Level, const std::string& Category, const std::string& Message, uint32_t EventID,
         const TLogFields& Fields) {
  LogLine(Level, Category, Message, EventID, Fields, false);
}

void LogEvent(TLogLevel Level, const std::string& Category, const std::string& Message,
              uint32_t EventID, const TLogFields& Fields) {
  LogLine(Level, Category, Message, EventID, Fields, true);
}

void LogDebug(const std::string& Category, const std::string& Msg) {
  Log(llDebug, Category, Msg, 0);
}
void LogInfo(const std::string& Category, const std::string& Msg) {
  Log(llInfo, Category, Msg, 0);
}
void LogWarning(const std::string& Category, const std::string& Msg, uint32_t EventID) {
  Log(llWarning, Category, Msg, EventID);
}
void LogError(const std::string& Category, const std::string& Msg, uint32_t EventID) {
  Log(llError, Category, Msg, EventID);
}
void LogCritical(const std::string& Category, const std::string& Msg, uint32_t EventID) {
  Log(llCritical, Category, Msg, EventID);
}

void RotateFile(const std::string& FilePath, int64_t MaxBytes) {
  if (!platform::FileExists(FilePath)) return;
  const int64_t size = platform::FileSize(FilePath);
  if (size < 0 || size <= MaxBytes) return;
  const std::string folder = platform::ExtractFileDir(FilePath);
  const std::string name = platform::ExtractFileName(FilePath);
  const std::string ext = platform::ExtractFileExt(name);
  const std::string base = name.substr(0, name.size() - ext.size());
  const std::string archive = platform::JoinPath(
      folder, Format("%s_%s%s", base.c_str(),
                     platform::FormatDateTime("yyyy-mm-dd_hh-nn-ss", platform::Now()).c_str(),
                     ext.c_str()));
  // The rename refuses an existing archive (a second rotation in the same
  // second): the file then keeps growing until the next rotation.
  if (platform::RenameNoReplace(FilePath, archive).Ok()) {
    (void)platform::WriteFileBytes(FilePath, "");
  }
}

void RotateLogsIfNeeded(int64_t MaxBytes) {
  if (!GInitialized) return;
  std::lock_guard<std::mutex> lock(GCS);
  RotateFile(LogFilePath(), MaxBytes);
  RotateFile(DebugFilePath(), MaxBytes);
  RotateFile(ErrorFilePath(), MaxBytes);
}

std::string InstrumentFlagName(int Instrument) {
  return "instrument_error_" + std::to_string(Instrument) + ".flag";
}

std::string FlagFilePath(const std::string& FlagName) {
  return platform::JoinPath(GExeFolder, FlagName);
}

void SetFlag(const std::string& FlagName, const std::string& Reason) {
  // The flag folder comes with the logger's start: a stopped logger has none.
  if (!GInitialized) return;
  const std::string line = EscapeControls(Format(
      "[%s] %s", platform::FormatDateTime(kTimeFormat, platform::Now()).c_str(), Reason.c_str()));
  {
    std::lock_guard<std::mutex> lock(GFlagCS);
    WriteToFile(FlagFilePath(FlagName), line);
  }
  LogWarning(kCatFlag, Format("FLAG posé : %s — %s", FlagName.c_str(), Reason.c_str()), 0);
}

void ClearFlag(const std::string& FlagName) {
  if (!GInitialized) return;
  const std::string path = FlagFilePath(FlagName);
  {
    std::lock_guard<std::mutex> lock(GFlagCS);
    if (!platform::FileExists(path)) return;
    (void)platform::RemoveFile(path);
  }
  LogInfo(kCatFlag, Format("FLAG effacé : %s", FlagName.c_str()));
}

void LogConfigValidation(const TConfigValidation& Validation) {
  if (!Validation.Errors.empty()) {
    LogError(
        "CONFIG",
        Format("Configuration invalide — %d erreur(s)", static_cast<int>(Validation.Errors.size())),
        EVT_CONFIG_ERROR);
  } else {
    LogInfo(kCatConfig, "Configuration validée sans erreur");
  }
  for (const std::string& e : Validation.Errors) LogError(kCatConfig, e, EVT_CONFIG_ERROR);
  for (const std::string& w : Validation.Warnings) LogWarning(kCatConfig, w, EVT_CONFIG_WARNING);
}

void SetEventSinkForTesting(std::shared_ptr<platform::TEventSink> sink) {
  std::lock_guard<std::mutex> lock(GTestSinkMutex);
  GTestSink = std::move(sink);
}
