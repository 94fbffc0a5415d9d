#pragma once

// Reading the status file the processing thread leaves beside the
// executable, for a person or a monitoring system.

#include <ostream>
#include <string>
#include <vector>

// Exit statuses, as monitoring plugins give them.
constexpr int STATUS_OK = 0;
constexpr int STATUS_WARNING = 1;
constexpr int STATUS_CRITICAL = 2;

// The status file, beside the executable, replaced at the end of every cycle.
constexpr const char* STATUS_FILE_NAME = "status.txt";

// The keys of the status file, one "key=value" line each, as the processing
// thread writes them and the status check reads them.
constexpr const char* STATUS_KEY_STATE = "etat";
constexpr const char* STATUS_KEY_UPDATED = "mise_a_jour";
constexpr const char* STATUS_KEY_CYCLE = "cycle";
constexpr const char* STATUS_KEY_CYCLE_TIME = "cycle_heure";
constexpr const char* STATUS_KEY_CYCLE_SECONDS = "cycle_secondes";
constexpr const char* STATUS_KEY_STARTING_DELAY = "delai_demarrage";
constexpr const char* STATUS_KEY_WAITING = "fichiers_en_attente";
constexpr const char* STATUS_KEY_PROCESSED = "fichiers_traites";
constexpr const char* STATUS_KEY_FAILED = "fichiers_en_echec";
constexpr const char* STATUS_KEY_LAST_FILE = "dernier_fichier";
constexpr const char* STATUS_KEY_LAST_FILE_TIME = "dernier_fichier_heure";
constexpr const char* STATUS_KEY_FLAGS = "drapeaux";
// The key of an instrument's line ("instrument_3"), present once the
// instrument was visited; its value is the reachability, a blank, the folder.
inline std::string StatusInstrumentKey(int Instrument) {
  return "instrument_" + std::to_string(Instrument);
}
constexpr const char* STATUS_INSTRUMENT_REACHABLE = "accessible";
constexpr const char* STATUS_INSTRUMENT_UNREACHABLE = "inaccessible";

// The service states the status file records.
constexpr const char* STATUS_STATE_STARTING = "démarrage";
constexpr const char* STATUS_STATE_RUNNING = "en marche";
constexpr const char* STATUS_STATE_STOPPED = "arrêté";

// The flag files present in ExeFolder; none when the folder cannot be listed.
std::vector<std::string> PresentFlagFiles(const std::string& ExeFolder);
// Their names apart by blanks; empty when there is none.
std::string PresentFlagNames(const std::vector<std::string>& FlagFiles);

// Prints the status file of the service installed in ExeFolder readably,
// its verdict first, and returns STATUS_OK when all is well, STATUS_WARNING
// when a flag is raised or a file failed, STATUS_CRITICAL when an
// instrument is unreachable, the service is not running (or never wrote
// its status), or the status is older than two cycles plus a minute.
int PrintServiceStatus(const std::string& ExeFolder, std::ostream& Out);
