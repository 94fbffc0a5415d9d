#pragma once

// GLIMS upload export: for each patient result message, one ASTM LIS2-A
// upload file (".UPL", Windows-1252, CR LF) in the InfoToLis folder naming
// the composite pictures produced for it, one R record per picture and test
// under an image code built from the test code. Beside it, the small export
// log "Glims_log.csv" is read before each export and rewritten after each
// successful one, without its entries older than 7 days. Log lines go to the
// category "GLIMS". Only the processing thread exports.

#include <string>
#include <vector>

#include "astm/UASTMParser.h"
#include "config/UConfig.h"
#include "imaging/UImageResult.h"
#include "platform/Clock.h"
#include "platform/OsResult.h"

constexpr const char* GLIMS_LOG_FILE = "Glims_log.csv";
constexpr char GLIMS_LOG_SEP = '|';
// Entries older than this many days are dropped when the log is rewritten.
constexpr int GLIMS_LOG_PURGE = 7;
// At most this many entries are read from the log.
constexpr int GLIMS_LOG_MAX_ENTRIES = 10000;
// Per R record, at most this many picture names are remembered.
constexpr int GLIMS_MAX_IMAGES_PER_R = 50;
// Per message, at most this many image codes are remembered.
constexpr int GLIMS_MAX_IMAGE_CODES = 500;
// Internal image code of the identification test ("Ident", any letter case).
constexpr const char* GLIMS_IDENT_MARKER = "IDENT_PLACEHOLDER";

// One entry of the export log.
struct TGlimsLogEntry {
  std::string OID;          // sample identifier
  std::string TestCode;     // test code
  std::string JPGName;      // picture file name
  int Index = 0;            // picture index
  TDateTime EntryDate = 0;  // when the entry was made; 0 when unreadable
};

// ExeFolder (with its separator) followed by "Glims_log.csv".
std::string GlimsLogPath(const TAppConfig& Config);

// Reads the export log into Entries (replacing their content) and sets Count
// to their number: blank lines and lines of fewer than 5 fields are skipped,
// an unreadable index gives 0, an unreadable date 0, an empty OID drops the
// entry; reading stops after GLIMS_LOG_MAX_ENTRIES entries. A missing or
// unreadable file gives no entry. Returns true when the file was read.
bool LoadGlimsLog(const std::string& LogPath, std::vector<TGlimsLogEntry>& Entries, int& Count);

// Replaces the export log whole with the first Count entries, in order,
// except those dated more than GLIMS_LOG_PURGE days before now (an entry
// without date is kept). The folder is created when missing; the file is
// written under a temporary name and renamed into place, so it is never
// left truncated. A log that already holds exactly that content is not
// written again. Returns false (logged) when it could not be written.
bool SaveGlimsLog(const std::string& LogPath, const std::vector<TGlimsLogEntry>& Entries,
                  int Count);

// True when the message is valid, not a QC message, and one of its orders
// has at least one R record.
bool IsGlimsMessage(const TASTMMessage& Msg);

// Appends to RLines one R line per picture sent: for each R record with a
// test code, the successful pictures of its cassettes (among the first
// ImgResultCount entries of ImageResults), each once per R record, with
// the numbering of image codes and identification pictures. Numbering
// restarts with every call.
void BuildGlimsRLines(const TASTMMessage& Msg, const TImageResult* ImageResults, int ImgResultCount,
                      std::vector<std::string>& RLines);

// The whole upload text (H, P, O lines, R lines, L line, each followed by
// CR LF, in UTF-8), or empty (with a warning) when no R line could be built.
// The log entries are not consulted: the content never depends on them.
std::string BuildUPLContent(const TASTMMessage& Msg, const TImageResult* ImageResults,
                            int ImgResultCount, const TAppConfig& Config,
                            const std::vector<TGlimsLogEntry>& LogEntries, int LogCount);

// GlimsFolder/Prefix + OID + "_" + n + ".UPL" for the first n from 0 upward
// naming no existing entry. "/", "\" and NUL characters of the OID become
// "_" in the name, so that the file always stays inside GlimsFolder.
std::string FindAvailableUPLPath(const std::string& GlimsFolder, const std::string& Prefix,
                                 const std::string& OID);

// Writes the upload file of a patient message into Config.InfoToLis, under a
// temporary name renamed into place once complete, then rewrites the export
// log. Returns the path written, or empty when nothing was written (each
// reason is logged). Outcome, when given, tells whether the machine kept the
// file from being written, with the machine's reason.
std::string ExportToGlims(const TASTMMessage& Msg, const TImageResult* ImageResults,
                          int ImgResultCount, const TAppConfig& Config,
                          platform::TStageOutcome* Outcome = nullptr);
