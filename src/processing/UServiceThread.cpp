#include "processing/UServiceThread.h"

#include <algorithm>
#include <exception>
#include <numeric>
#include <string>
#include <vector>

#include "logging/ULogger.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/ServiceHost.h"
#include "platform/Text.h"
#include "processing/UServiceStatus.h"
#include "processing/UServiceThreadInternal.h"
#include "qc/UQCManager.h"

using platform::Format;
using service_thread::kCat;

namespace {

constexpr const char* kStatusTimeFormat = "dd/mm/yyyy hh:nn:ss";

}  // namespace

TVelmarServiceThread::TVelmarServiceThread(const TAppConfig& Config)
    : FConfig(Config),
      FValidation("Automatic"),
      FJournal(platform::JoinPath(Config.LogFolder, JOURNAL_SUBFOLDER)),
      FPing(platform::NotifyWatchdog) {
  FDoneFolder = platform::JoinPath(FConfig.LogFolder, DONE_SUBFOLDER);
  ClearStatusThumbnails();
  LogInfo(kCat, "Thread service créé — Cycle: " + std::to_string(FConfig.Cycle) +
                    "s | Instruments: " + std::to_string(FConfig.InstrCount));
}

TVelmarServiceThread::~TVelmarServiceThread() {
  FTerminated = true;
  FStopEvent.Set();
  if (FThread.joinable()) FThread.join();
}

void TVelmarServiceThread::Start() {
  if (FThread.joinable()) return;
  FThread = std::thread([this] {
    Execute();
    {
      std::lock_guard<std::mutex> lock(FEndMutex);
      FBodyEnded = true;
    }
    FEndCv.notify_all();
  });
}

void TVelmarServiceThread::RequestStop() {
  LogInfo(kCat, "Arrêt demandé — fin du cycle en cours...");
  FStopEvent.Set();
}

bool TVelmarServiceThread::WaitForStop(uint32_t TimeoutMs) {
  if (!FThread.joinable()) return true;
  std::unique_lock<std::mutex> lock(FEndMutex);
  return FEndCv.wait_for(lock, std::chrono::milliseconds(TimeoutMs), [this] { return FBodyEnded; });
}

bool TVelmarServiceThread::StopSignalled(uint32_t TimeoutMs) {
  // In slices, each after an "alive" message: a long rest is a legitimate
  // wait, not a hung thread.
  uint32_t Left = TimeoutMs;
  while (true) {
    if (FPing) FPing();
    const uint32_t Slice = std::min(Left, WAIT_SLICE_MS);
    bool Set = false;
    if (FWaitHook && Slice > 0) {
      FWaitHook(Slice);
      Set = FStopEvent.IsSet();
    } else {
      Set = FStopEvent.Wait(Slice);
    }
    if (Set) return true;
    Left -= Slice;
    if (Left == 0) return false;
  }
}

void TVelmarServiceThread::Execute() {
  const uint32_t CycleMs = static_cast<uint32_t>(FConfig.Cycle) * 1000;
  LogInfo(kCat, Format("Thread démarré — Cycle: %ds | Instruments: %d", FConfig.Cycle,
                       FConfig.InstrCount));
  WriteStatus(STATUS_STATE_STARTING);
  RemoveFiledEntries();

  if (FConfig.StartingDelay > 0) {
    LogInfo(kCat, Format("Délai démarrage : %d seconde(s)...", FConfig.StartingDelay));
    if (StopSignalled(static_cast<uint32_t>(FConfig.StartingDelay) * 1000)) {
      LogInfo(kCat, "Arrêt demandé pendant délai démarrage");
      WriteStatus(STATUS_STATE_STOPPED);
      return;
    }
  }

  while (!Terminated()) {
    const int64_t cycle = ++FCycleCount;
    FListedSizes.clear();
    LogDebug(kCat, Format("--- Cycle %lld démarré ---", static_cast<long long>(cycle)));
    try {
      const int count = FConfig.InstrCount;
      for (int I = 1; I <= count; ++I) {
        if (Terminated() || StopSignalled(0)) break;
        ProcessInstrument(I);
      }
      if (!Terminated()) RunPeriodicTasks();
    } catch (...) {
      const std::string text = platform::ExceptionText(std::current_exception());
      LogError(kCat,
               Format("Exception cycle %lld : %s", static_cast<long long>(cycle), text.c_str()),
               EVT_SERVICE_ERROR);
      SetFlag(FLAG_PROCESSING_ERROR, "Exception thread : " + text);
    }
    FCycleTime = platform::Now();
    WriteStatus(STATUS_STATE_RUNNING);
    platform::NotifyStatus(
        Format("Cycle %lld — %lld fichier(s) traité(s), dernier : %s — %lld %s",
               static_cast<long long>(FCycleCount), static_cast<long long>(FProcessedCount),
               FLastFile.empty() ? "aucun" : FLastFile.c_str(),
               static_cast<long long>(FFailedCount), FFailedCount > 1 ? "erreurs" : "erreur"));
    LogDebug(kCat, Format("--- Cycle %lld terminé — attente %ds ---", static_cast<long long>(cycle),
                          FConfig.Cycle));
    if (StopSignalled(CycleMs)) {
      LogInfo(kCat, Format("Signal arrêt reçu après cycle %lld", static_cast<long long>(cycle)));
      break;
    }
  }
  Log(llInfo, kCat,
      Format("Thread termine — %lld cycle(s) effectue(s)", static_cast<long long>(FCycleCount)),
      EVT_SERVICE_STOP);
  WriteStatus(STATUS_STATE_STOPPED);
}

void TVelmarServiceThread::NoteReachability(int InstrIndex, const std::string& Folder,
                                            bool Reachable) {
  TReachability& Known = FReachable[InstrIndex - 1];
  const std::string Flag = InstrumentFlagName(InstrIndex);
  const TLogFields Fields{{"VELMAR_INSTRUMENT", std::to_string(InstrIndex)}};
  if (Reachable) {
    if (Known == rcUnreachable) {
      LogEvent(llInfo, kCat,
               Format("Instrument %d — dossier TRA de nouveau accessible : %s", InstrIndex,
                      Folder.c_str()),
               EVT_INSTRUMENT_OK, Fields);
    }
    ClearFlag(Flag);  // also one left by an earlier run
    Known = rcReachable;
    FUnreachableSince[InstrIndex - 1] = 0;
    return;
  }
  if (Known != rcUnreachable) {
    FUnreachableSince[InstrIndex - 1] = platform::Now();
    LogEvent(
        llWarning, kCat,
        Format("Instrument %d — perte d'accès au dossier TRA : %s", InstrIndex, Folder.c_str()),
        EVT_INSTRUMENT_ERROR, Fields);
  }
  // One line, written when the outage starts (or the flag was taken away
  // meanwhile): the flag's presence is what tells.
  if (!platform::FileExists(FlagFilePath(Flag))) {
    SetFlag(Flag, Format("Instrument %d dossier inaccessible : %s", InstrIndex, Folder.c_str()));
  }
  Known = rcUnreachable;
}

void TVelmarServiceThread::WriteStatus(const char* State) {
  const TDateTime Now = platform::Now();
  std::string Text;
  // One line per key: a line break inside a value (a folder name) is
  // written as a blank.
  const auto Line = [&Text](const std::string& Key, std::string Value) {
    std::replace_if(
        Value.begin(), Value.end(), [](char c) { return c == '\n' || c == '\r'; }, ' ');
    Text += Key + "=" + Value + "\n";
  };
  Line(STATUS_KEY_STATE, State);
  Line(STATUS_KEY_UPDATED, platform::FormatDateTime(kStatusTimeFormat, Now));
  Line(STATUS_KEY_CYCLE, std::to_string(FCycleCount));
  Line(STATUS_KEY_CYCLE_TIME,
       FCycleTime > 0 ? platform::FormatDateTime(kStatusTimeFormat, FCycleTime) : "");
  Line(STATUS_KEY_CYCLE_SECONDS, std::to_string(FConfig.Cycle));
  Line(STATUS_KEY_STARTING_DELAY, std::to_string(FConfig.StartingDelay));
  for (int I = 1; I <= MAX_INSTRUMENTS; ++I) {
    const TReachability Known = FReachable[I - 1];
    if (Known == rcUnknown) continue;
    Line(StatusInstrumentKey(I), std::string(Known == rcReachable ? STATUS_INSTRUMENT_REACHABLE
                                                                  : STATUS_INSTRUMENT_UNREACHABLE) +
                                     " " + FConfig.Instruments[I - 1].TraFolder);
  }
  Line(STATUS_KEY_WAITING, std::to_string(std::accumulate(FWaitingByInstrument.begin(),
                                                          FWaitingByInstrument.end(), int64_t{0})));
  Line(STATUS_KEY_PROCESSED, std::to_string(FProcessedCount));
  Line(STATUS_KEY_FAILED, std::to_string(FFailedCount));
  Line(STATUS_KEY_LAST_FILE, FLastFile);
  Line(STATUS_KEY_LAST_FILE_TIME,
       FLastFileTime > 0 ? platform::FormatDateTime(kStatusTimeFormat, FLastFileTime) : "");
  // One listing of the flags serves the status file and the page.
  const std::vector<std::string> FlagFiles = PresentFlagFiles(FConfig.ExeFolder);
  Line(STATUS_KEY_FLAGS, PresentFlagNames(FlagFiles));
  const platform::TOsResult Written =
      platform::WriteFileReplacing(platform::JoinPath(FConfig.ExeFolder, STATUS_FILE_NAME), Text);
  if (!Written.Ok()) LogWarning(kCat, "Écriture du fichier d'état impossible : " + Written.Text, 0);
  if (FConfig.StatusPage) WriteStatusPage(State, Now, FlagFiles);
}

void TVelmarServiceThread::WriteStatusPage(const char* State, TDateTime Now,
                                           const std::vector<std::string>& FlagFiles) {
  TStatusPageData Page;
  Page.State = State;
  Page.Written = Now;
  Page.Cycle = FCycleCount;
  Page.CycleTime = FCycleTime;
  Page.CycleSeconds = FConfig.Cycle;
  for (int I = 1; I <= MAX_INSTRUMENTS; ++I) {
    const TReachability Known = FReachable[I - 1];
    if (Known == rcUnknown) continue;
    Page.Instruments.push_back({I, Known == rcReachable, FUnreachableSince[I - 1],
                                FConfig.Instruments[I - 1].TraFolder, FWaitingByInstrument[I - 1]});
  }
  Page.Processed = FProcessedCount;
  Page.Failed = FFailedCount;
  Page.RecentFiles = FRecentFiles;
  Page.SetAside = FSetAside;
  Page.Lots = FDueLots;
  Page.Flags = ReadFlagLines(FConfig.ExeFolder, FlagFiles);
  const platform::TOsResult Written = platform::WriteFileReplacing(
      platform::JoinPath(FConfig.ExeFolder, STATUS_PAGE_FILE_NAME), BuildStatusPage(Page));
  if (!Written.Ok()) {
    LogWarning(kCat, "Écriture de la page d'état impossible : " + Written.Text, 0);
  }
}

void TVelmarServiceThread::ClearStatusThumbnails() {
  const std::string Thumbs = platform::JoinPath(FConfig.LogFolder, STATUS_PAGE_THUMB_SUBFOLDER);
  std::vector<std::string> Names;
  if (!platform::ListFiles(Thumbs, "*.jpg", Names).Ok()) return;
  for (const std::string& Name : Names)
    (void)platform::RemoveFile(platform::JoinPath(Thumbs, Name));
}

void TVelmarServiceThread::NoteRecentFile(const std::string& Name, const std::string& Outcome,
                                          bool Good) {
  FRecentFiles.push_front({Name, FLastSampleID, platform::Now(), Outcome, Good});
  if (FRecentFiles.size() > STATUS_PAGE_RECENT_FILES) FRecentFiles.pop_back();
}

void TVelmarServiceThread::NoteSetAside(const TImageResult* Results, int Count,
                                        const std::string& SampleID) {
  if (!FConfig.StatusPage) return;
  const std::string Thumbs = platform::JoinPath(FConfig.LogFolder, STATUS_PAGE_THUMB_SUBFOLDER);
  for (int i = 0; i < Count; ++i) {
    const TImageResult& R = Results[i];
    if (!R.Success || (R.VerifResult != bvrMismatch && R.VerifResult != bvrNotFound)) continue;
    const std::string Picture = platform::ExtractFileName(R.OutputPath);
    TStatusPageSetAside Entry{Picture, SampleID, platform::Now(), {}, {}};
    Entry.Reason = R.VerifResult == bvrNotFound ? "code-barres non lu (cassette " + R.Cassette + ")"
                                                : "code-barres différent : lu [" + R.BarcodeRead +
                                                      "], attendu [" + R.Cassette + "]";
    // One thumbnail per entry, numbered: a later picture of the same name
    // does not change an earlier entry's thumbnail.
    const std::string Thumb = std::to_string(++FThumbnailCount) + ".jpg";
    if (MakeStatusThumbnail(R.OutputPath, FConfig.LogFolder, Thumb)) Entry.Thumbnail = Thumb;
    FSetAside.push_front(std::move(Entry));
    if (FSetAside.size() > STATUS_PAGE_SET_ASIDE) {
      if (!FSetAside.back().Thumbnail.empty()) {
        (void)platform::RemoveFile(platform::JoinPath(Thumbs, FSetAside.back().Thumbnail));
      }
      FSetAside.pop_back();
    }
  }
}

void TVelmarServiceThread::RunPeriodicTasks() {
  TestPoint("periodic", static_cast<int>(FCycleCount));
  if (FCycleCount % PERIODIC_LOG_ROTATION == 0) RotateLogsIfNeeded(LOG_ROTATION_MAX_BYTES);
  if (FCycleCount % PERIODIC_QC_CHECK == 0) {
    std::vector<TQCLotDue> Due;
    const int ReportsGenerated = CheckAndGenerateReports(FConfig, &Due);
    FDueLots.clear();
    for (const TQCLotDue& Lot : Due) {
      if (FDueLots.size() == STATUS_PAGE_LOTS) break;
      FDueLots.push_back(
          {Lot.Lot, Lot.Expiry,
           Lot.Written ? "rapport écrit" : "rapport dû, non écrit (voir error.log)"});
    }
    if (ReportsGenerated > 0) {
      LogInfo(kCat, Format("%d rapport(s) QC genere(s)", ReportsGenerated));
    }
  }
}

void TVelmarServiceThread::ProcessInstrument(int InstrIndex) {
  if (InstrIndex < 1 || InstrIndex > MAX_INSTRUMENTS) return;
  const TInstrumentConfig& instr = FConfig.Instruments[InstrIndex - 1];
  if (!instr.Enabled || instr.TraFolder.empty()) return;
  TestPoint("instrument", InstrIndex);
  FWaitingByInstrument[InstrIndex - 1] = 0;

  if (!platform::FolderExists(instr.TraFolder)) {
    LogWarning(kCat,
               Format("Instrument %d — dossier TRA inaccessible : %s", InstrIndex,
                      instr.TraFolder.c_str()),
               0);
    SetFlag(FLAG_INSTRUMENT_ERROR,
            Format("Instrument %d dossier inaccessible : %s", InstrIndex, instr.TraFolder.c_str()));
    NoteReachability(InstrIndex, instr.TraFolder, false);
    return;
  }
  ClearFlag(FLAG_INSTRUMENT_ERROR);
  NoteReachability(InstrIndex, instr.TraFolder, true);

  std::vector<std::string> files;
  const int found = FindTRAFiles(instr.TraFolder, files);
  if (found == 0) return;
  LogInfo(kCat, Format("Instrument %d — %d fichier(s) à traiter", InstrIndex, found));

  int OKCount = 0;
  for (const std::string& path : files) {
    if (StopSignalled(0)) {
      LogInfo(kCat, "Arrêt demandé — traitement interrompu");
      break;
    }
    FLastSampleID.clear();
    const bool Done = ProcessTRAFile(path, instr.ImagesFolder);
    if (Done) ++OKCount;
    // Filed incomplete counts as failed; a file left in its folder waits.
    const std::string Name = platform::ExtractFileName(path);
    if (Done || !platform::FileExists(path)) {
      ++(Done ? FProcessedCount : FFailedCount);
      FLastFile = Name;
      FLastFileTime = platform::Now();
      NoteRecentFile(Name, Done ? "traité" : "classé incomplet (voir error.log)", Done);
    } else if (!FEnvironmentFault.empty()) {
      NoteRecentFile(Name, "en attente : " + FEnvironmentFault, false);
    }
    // The machine is at fault, not the file: the files after it would meet
    // the same fault, so they wait for the next cycle with it.
    if (!FEnvironmentFault.empty()) break;
  }
  for (const std::string& path : files) {
    if (platform::FileExists(path)) ++FWaitingByInstrument[InstrIndex - 1];
  }
  LogInfo(kCat, Format("Instrument %d — %d/%d traité(s) avec succès", InstrIndex, OKCount, found));
}

int TVelmarServiceThread::FindTRAFiles(const std::string& Folder, std::vector<std::string>& Files) {
  Files.clear();
  if (!platform::FolderExists(Folder)) {
    LogWarning(kCat, "Dossier TRA introuvable : " + Folder, 0);
    return 0;
  }
  // Only regular files are results: a link could lead anywhere on the
  // machine, and a FIFO would block the reader.
  std::vector<std::string> names, skipped;
  if (!platform::ListRegularFiles(Folder, FConfig.Prefix + "*." + FConfig.Extension, names, skipped)
           .Ok()) {
    // The folder vanished (or became unreadable) between the check and the listing.
    LogWarning(kCat, "Dossier TRA introuvable : " + Folder, 0);
    names.clear();
  }
  // An entry that is not a regular file is reported once per run of the
  // service, not on every cycle.
  for (const std::string& name : skipped) {
    const std::string path = platform::JoinPath(Folder, name);
    if (!FSkippedReported.insert(path).second) continue;
    LogWarning(kCat, "Entrée ignorée, pas un fichier ordinaire : " + path, 0);
  }
  for (const std::string& name : names) {
    Files.push_back(platform::JoinPath(Folder, name));
    // The first reading of the stability check; a file that cannot be read
    // now is read afresh in its turn.
    const int64_t Size = platform::FileSize(Files.back());
    if (Size >= 0) {
      FListedSizes.insert_or_assign(Files.back(), TListedSize{Size, platform::MonotonicMs()});
    }
  }
  const int count = static_cast<int>(Files.size());
  LogDebug(kCat, Format("%d fichier(s) .tra trouvé(s) dans : %s", count, Folder.c_str()));
  return count;
}

bool TVelmarServiceThread::IsFileStable(const std::string& FilePath) {
  const std::string name = platform::ExtractFileName(FilePath);
  const auto Listed = FListedSizes.find(FilePath);
  const bool HaveListed = Listed != FListedSizes.end();
  TListedSize First;
  if (HaveListed) {
    First = Listed->second;
    FListedSizes.erase(Listed);
  }
  for (int Retry = 0; Retry < FILE_STABILITY_RETRIES; ++Retry) {
    if (StopSignalled(0)) return false;
    int64_t Size1 = First.Size;
    int64_t Pause = FILE_STABILITY_WAIT_MS;
    if (Retry == 0 && HaveListed) {
      // Only what is left of the pause: the time stamp was taken after the
      // listing's reading, so the two readings are the full pause apart.
      Pause -= platform::MonotonicMs() - First.AtMs;
    } else {
      Size1 = platform::FileSize(FilePath);
      if (Size1 < 0) return false;
    }
    if (Pause > 0 && StopSignalled(static_cast<uint32_t>(Pause))) return false;
    const int64_t Size2 = platform::FileSize(FilePath);
    if (Size2 < 0) return false;
    if (Size1 == Size2 && Size1 > 0) return true;
    LogDebug(kCat,
             Format("Fichier en cours d'écriture — taille %lld→%lld : %s",
                    static_cast<long long>(Size1), static_cast<long long>(Size2), name.c_str()));
  }
  LogWarning(kCat,
             Format("Timeout stabilité fichier après %d tentatives : %s", FILE_STABILITY_RETRIES,
                    name.c_str()),
             0);
  return false;
}
