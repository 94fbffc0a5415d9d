// The QC manager: start, stop, and the periodic check of the lot reports.
#include "qc/UQCManager.h"

#include <atomic>
#include <mutex>
#include <string>

#include "logging/ULogger.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "qc/UQCInternal.h"
#include "qc/UQCTarget.h"

using platform::Format;
using namespace qc::internal;

// Serialises every access to the QC log file: appends, reads, and the whole
// read-and-rewrite of an archiving.
std::mutex qc::internal::GQCCS;
// Set by InitQCManager before the processing thread starts; read-only after.
std::string qc::internal::GExeFolder;

namespace {

std::atomic<bool> GInitialized{false};

}  // namespace

// --- Start and stop ---------------------------------------------------------------

void InitQCManager(const TAppConfig& Config) {
  {
    std::lock_guard<std::mutex> lock(GQCCS);
    if (GInitialized) return;
    GInitialized = true;
    GExeFolder = Config.ExeFolder;
  }
  const std::string targets = platform::JoinPath(Config.ExeFolder, QC_TARGET_FILE);
  const int rows = LoadQCTargets(targets);
  if (rows <= 0) {
    LogWarning(kCat, "Fichier valeurs cibles QC introuvable ou vide : " + targets, 0);
  } else {
    LogInfo(kCat, Format("Valeurs cibles QC chargées — %d niveau(x)", rows));
  }
  LogInfo(kCat, "Gestionnaire QC initialisé");
}

void FinalizeQCManager() {
  std::lock_guard<std::mutex> lock(GQCCS);
  GInitialized = false;
}

// --- The periodic check -------------------------------------------------------------

int CheckAndGenerateReports(const TAppConfig& Config, std::vector<TQCLotDue>* Due) {
  int count = 0;
  if (!GInitialized) return 0;
  RemoveLeftovers(Config.QCReportDest);
  const std::string path = QCLogPath(Config);
  FinishInterruptedArchive(path, Config.QCReportDest);
  if (!platform::FileExists(path)) return 0;

  const TUniqueStringList lots = CollectLots(path);
  const TDateTime today = platform::DateOf(platform::Now());
  for (const std::string& key : lots.Items()) {
    // A valid date never holds "=", so the last one separates a lot that
    // holds "=" from its date.
    const size_t eq = key.rfind('=');
    if (eq == std::string::npos) continue;
    const std::string lot = key.substr(0, eq);
    const std::string expStr = key.substr(eq + 1);
    if (lot.empty() || expStr.empty()) continue;

    const TDateTime expDate = ParseQCDate(expStr);
    if (expDate == 0) {
      LogWarning(
          kCat, Format("Date expiration invalide lot %s : \"%s\"", lot.c_str(), expStr.c_str()), 0);
      continue;
    }
    const TDateTime trigger = expDate + Config.QCReportDelay;
    if (today < platform::DateOf(trigger)) {
      LogDebug(kCat, Format("Lot %s — rapport prévu le %s", lot.c_str(),
                            platform::FormatDateTime("dd/mm/yyyy", trigger).c_str()));
      continue;
    }
    if (ReportExists(Config.QCReportDest, lot)) {
      LogDebug(kCat, "Rapport déjà existant pour lot : " + lot);
      continue;
    }
    LogInfo(kCat, Format("Génération rapport lot %s (expiré %s + %d j)", lot.c_str(),
                         expStr.c_str(), Config.QCReportDelay));
    const bool Written = GenerateReportForLot(path, lot, Config.QCReportDest);
    if (Written) ++count;
    if (Due != nullptr) Due->push_back({lot, expStr, Written});
  }
  if (count > 0) LogInfo(kCat, Format("%d rapport(s) QC généré(s)", count));
  return count;
}
