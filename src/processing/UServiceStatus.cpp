#include "processing/UServiceStatus.h"

#include <algorithm>
#include <map>
#include <vector>

#include "config/UConfig.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Text.h"

namespace {

constexpr double SECONDS_PER_DAY = 86400.0;
// Beyond two cycles, the slack a status may be late by before it is stale.
constexpr int STALE_SLACK_SECONDS = 60;

std::map<std::string, std::string> ReadStatus(const std::string& Bytes) {
  std::map<std::string, std::string> Values;
  for (const std::string& Line : platform::SplitLines(Bytes)) {
    const size_t Equal = Line.find('=');
    if (Equal != std::string::npos) Values[Line.substr(0, Equal)] = Line.substr(Equal + 1);
  }
  return Values;
}

std::string Value(const std::map<std::string, std::string>& Values, const std::string& Key) {
  const auto It = Values.find(Key);
  return It == Values.end() ? std::string() : It->second;
}

}  // namespace

std::vector<std::string> PresentFlagFiles(const std::string& ExeFolder) {
  std::vector<std::string> Present;
  if (!platform::ListFiles(ExeFolder, "*.flag", Present).Ok()) Present.clear();
  return Present;
}

std::string PresentFlagNames(const std::vector<std::string>& FlagFiles) {
  std::string Names;
  for (const std::string& F : FlagFiles) Names += (Names.empty() ? "" : " ") + F;
  return Names;
}

int PrintServiceStatus(const std::string& ExeFolder, std::ostream& Out) {
  const std::string Path = platform::JoinPath(ExeFolder, STATUS_FILE_NAME);
  std::string Bytes;
  if (!platform::FileExists(Path)) {
    Out << "CRITIQUE — aucun fichier d'état (" << Path << ") : service jamais démarré ?\n";
    return STATUS_CRITICAL;
  }
  // The file is the service user's and not readable by everyone: a check
  // run from an account without the right is told so, not that the service
  // never started.
  const platform::TOsResult Read = platform::ReadFileBytes(Path, Bytes);
  if (!Read.Ok()) {
    Out << "CRITIQUE — fichier d'état illisible (" << Path << ") : " << Read.Text << "\n";
    return STATUS_CRITICAL;
  }
  const auto Values = ReadStatus(Bytes);
  // Replaced whole every cycle, but not flushed to disk: a power loss may
  // leave it empty until the service's next write.
  if (Values.count(STATUS_KEY_STATE) == 0) {
    Out << "CRITIQUE — fichier d'état illisible (" << Path << ") : vide ou incomplet\n";
    return STATUS_CRITICAL;
  }

  int Verdict = STATUS_OK;
  std::vector<std::string> Reasons;
  const auto Raise = [&](int Level, const std::string& Reason) {
    Verdict = std::max(Verdict, Level);
    Reasons.push_back(Reason);
  };

  const std::string State = Value(Values, STATUS_KEY_STATE);
  if (State == STATUS_STATE_STOPPED || State.empty()) Raise(STATUS_CRITICAL, "service arrêté");
  TDateTime Updated = 0;
  const int Cycle = platform::StrToIntDef(Value(Values, STATUS_KEY_CYCLE_SECONDS), 0);
  const int64_t CycleCount = platform::StrToIntDef(Value(Values, STATUS_KEY_CYCLE), 0);
  if (!platform::TryParseDayMonthYearTime(Value(Values, STATUS_KEY_UPDATED), Updated)) {
    Raise(STATUS_CRITICAL, "heure de mise à jour illisible");
  } else if (State != STATUS_STATE_STOPPED) {
    // Before the first cycle, the start-up delay comes on top.
    int Allowed = 2 * Cycle + STALE_SLACK_SECONDS;
    if (CycleCount == 0)
      Allowed += platform::StrToIntDef(Value(Values, STATUS_KEY_STARTING_DELAY), 0);
    const double Age = (platform::Now() - Updated) * SECONDS_PER_DAY;
    if (Age > Allowed) {
      Raise(STATUS_CRITICAL,
            platform::Format("état vieux de %.0f s (service bloqué ou arrêté ?)", Age));
    }
  }

  std::vector<std::string> InstrumentLines;
  for (int I = 1; I <= MAX_INSTRUMENTS; ++I) {
    const std::string V = Value(Values, StatusInstrumentKey(I));
    if (V.empty()) continue;
    const bool Reachable = V.rfind(STATUS_INSTRUMENT_REACHABLE, 0) == 0;
    const size_t Space = V.find(' ');
    const std::string Folder = Space == std::string::npos ? "" : V.substr(Space + 1);
    InstrumentLines.push_back(platform::Format(
        "  Instrument %d : %s — %s", I, Reachable ? "accessible" : "INACCESSIBLE", Folder.c_str()));
    if (!Reachable) Raise(STATUS_CRITICAL, platform::Format("instrument %d inaccessible", I));
  }
  // The flags as they are now: one may have been raised since the cycle.
  const std::string Flags = PresentFlagNames(PresentFlagFiles(ExeFolder));
  if (!Flags.empty()) Raise(STATUS_WARNING, "drapeau(x) : " + Flags);
  const std::string Failed = Value(Values, STATUS_KEY_FAILED);
  if (platform::StrToIntDef(Failed, 0) > 0) Raise(STATUS_WARNING, Failed + " fichier(s) en échec");

  static const char* const kVerdicts[] = {"OK", "AVERTISSEMENT", "CRITIQUE"};
  Out << kVerdicts[Verdict];
  for (size_t i = 0; i < Reasons.size(); ++i) Out << (i == 0 ? " — " : ", ") << Reasons[i];
  Out << "\n";
  Out << "État du service     : " << State << "\n";
  Out << "Mise à jour         : " << Value(Values, STATUS_KEY_UPDATED) << "\n";
  Out << "Cycle               : " << Value(Values, STATUS_KEY_CYCLE) << " (fin "
      << Value(Values, STATUS_KEY_CYCLE_TIME) << ", toutes les " << Cycle << " s)\n";
  Out << "Instruments         :" << (InstrumentLines.empty() ? " aucun visité" : "") << "\n";
  for (const std::string& L : InstrumentLines) Out << L << "\n";
  Out << "Fichiers en attente : " << Value(Values, STATUS_KEY_WAITING) << "\n";
  Out << "Depuis le démarrage : " << Value(Values, STATUS_KEY_PROCESSED) << " traité(s), " << Failed
      << " en échec\n";
  const std::string Last = Value(Values, STATUS_KEY_LAST_FILE);
  Out << "Dernier fichier     : "
      << (Last.empty() ? "aucun" : Last + " (" + Value(Values, STATUS_KEY_LAST_FILE_TIME) + ")")
      << "\n";
  Out << "Drapeaux            : " << (Flags.empty() ? "aucun" : Flags) << "\n";
  return Verdict;
}
