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

#include <string>
#include <vector>

#include "config/UConfig.h"
#include "qc/UQCGhostscript.h"
#include "qc/UQCLog.h"
#include "qc/UQCLotReports.h"
#include "qc/UQCReport.h"

// --- Start and stop ------------------------------------------------------------
// Starts the manager and loads the targets from ExeFolder + QC_TARGET_FILE;
// does nothing when already started.
void InitQCManager(const TAppConfig& Config);
// Stops the manager; safe twice and without InitQCManager.
void FinalizeQCManager();

// --- The periodic check ----------------------------------------------------------
// Removes first what an interrupted report left in the report folder (its
// PostScript file, its unfinished PDF), and finishes the archiving of a lot
// whose report was made but whose readings were not yet taken out of the
// log when the service was interrupted. Then reports every lot whose expiry
// plus QCReportDelay days has been reached and that has no report yet;
// returns the number of reports produced (0 when the manager is not
// started). Due, when given, receives every lot whose report was due in this
// pass, written or not. Throws std::runtime_error when the report folder or a PostScript
// file cannot be created: that ends the pass, and the processing cycle's
// guard reports it.
struct TQCLotDue {
  std::string Lot;
  std::string Expiry;  // as the QC log holds it
  bool Written = false;
};
int CheckAndGenerateReports(const TAppConfig& Config, std::vector<TQCLotDue>* Due = nullptr);
