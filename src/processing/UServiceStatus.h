#pragma once

// Reading the status file the processing thread leaves beside the
// executable, for a person or a monitoring system.

#include <ostream>
#include <string>

// Exit statuses, as monitoring plugins give them.
constexpr int STATUS_OK = 0;
constexpr int STATUS_WARNING = 1;
constexpr int STATUS_CRITICAL = 2;

// The service states the status file records.
constexpr const char* STATUS_STATE_STARTING = "démarrage";
constexpr const char* STATUS_STATE_RUNNING = "en marche";
constexpr const char* STATUS_STATE_STOPPED = "arrêté";

// The names of the flag files present in ExeFolder, apart by blanks; empty
// when there is none (or the folder cannot be listed).
std::string PresentFlagNames(const std::string& ExeFolder);

// Prints the status file of the service installed in ExeFolder readably,
// its verdict first, and returns STATUS_OK when all is well, STATUS_WARNING
// when a flag is raised or a file failed, STATUS_CRITICAL when an
// instrument is unreachable, the service is not running (or never wrote
// its status), or the status is older than two cycles plus a minute.
int PrintServiceStatus(const std::string& ExeFolder, std::ostream& Out);
