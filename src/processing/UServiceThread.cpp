#include "processing/UServiceThread.h"

#include <algorithm>
#include <exception>
#include <set>
#include <string>
#include <vector>

#include "astm/UASTMParser.h"
#include "export/UGlimsExport.h"
#include "export/UXMLExport.h"
#include "imaging/UImageProcessor.h"
#include "imaging/UJpegCodec.h"
#include "logging/ULogger.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/ProcessInfo.h"
#include "platform/ServiceHost.h"
#include "platform/Text.h"
#include "processing/UServiceStatus.h"
#include "qc/UQCManager.h"

using platform::Format;

namespace {

constexpr const char* kCatQC = "QC";

constexpr const char* kCat = "THREAD";
constexpr int kResultCapacity = 20;

// The stages that write outside the service, as the journal names them.
constexpr const char* kStageQC = "qc";
constexpr const char* kStageImages = "images";
constexpr const char* kStageXML = "xml";
constexpr const char* kStageGlims = "glims";
// The upload file a GLIMS export is about to write.
constexpr const char* kStageGlimsIntent = "glims-intent";
// The QC readings are about to be appended: a file found again with this
// mark and no "qc" looks for its readings in the log before appending them.
constexpr const char* kStageQCIntent = "qc-intent";

constexpr const char* kStatusTimeFormat = "dd/mm/yyyy hh:nn:ss";

// Set to 1 by the backlog benchmark to measure the one-file-at-a-time
// stability check; not a setting of the service.
constexpr const char* kSerialStabilityVariable = "VELMAR_BENCH_SERIAL_STABILITY";

// True when Path holds the upload of this message as the export would
// write it now: every line but the header, whose time is that of writing.
bool IsSameUpload(const std::string& Path, const TASTMMessage& Msg, const TImageResult* Results,
                  int Count, const TAppConfig& Config) {
  std::string Bytes;
  if (!platform::FileExists(Path) || !platform::ReadFileBytes(Path, Bytes).Ok()) return false;
  std::vector<std::string> Written = platform::SplitLines(platform::AnsiToUtf8(Bytes));
  std::vector<std::string> Expected =
      platform::SplitLines(BuildUPLContent(Msg, Results, Count, Config, {}, 0));
  if (Written.empty() || Written.size() != Expected.size()) return false;
  return std::equal(Written.begin() + 1, Written.end(), Expected.begin() + 1);
}

// A destination folder that vanished is made again before a stage writes
// into it; a machine fault counts against the stage, any other failure
// shows in the stage's own write.
void EnsureFolder(const std::string& Folder, platform::TStageOutcome& Outcome) {
  if (Folder.empty() || platform::FolderExists(Folder)) return;
  const platform::TOsResult made = platform::MakeFolders(Folder);
  if (made.EnvironmentFault()) Outcome.Add(made);
}

// True when the file holds a whole picture.
bool IsWholePicture(const std::string& Path) {
  std::string Bytes;
  return platform::ReadFileBytes(Path, Bytes).Ok() && IsWholeJpeg(Bytes);
}

bool SameContent(const std::string& A, const std::string& B) {
  if (platform::FileSize(A) != platform::FileSize(B)) return false;
  std::string a, b;
  return platform::ReadFileBytes(A, a).Ok() && platform::ReadFileBytes(B, b).Ok() && a == b;
}

// The n-th name a file of that name may take in the done folder: its own
// name (n = 0), then "name~1.ext", "name~2.ext", ...
std::string DoneCandidate(const std::string& DoneFolder, const std::string& BaseName, int n) {
  if (n == 0) return platform::JoinPath(DoneFolder, BaseName);
  const std::string Ext = platform::ExtractFileExt(BaseName);
  const std::string Stem = BaseName.substr(0, BaseName.size() - Ext.size());
  return platform::JoinPath(DoneFolder, Stem + "~" + std::to_string(n) + Ext);
}

// Where FilePath goes in the done folder: the first of its candidate names
// that is free or holds the same bytes.
std::string DonePath(const std::string& DoneFolder, const std::string& FilePath) {
  const std::string BaseName = platform::ExtractFileName(FilePath);
  for (int n = 0;; ++n) {
    const std::string Path = DoneCandidate(DoneFolder, BaseName, n);
    if (platform::FolderExists(Path)) continue;
    if (!platform::FileExists(Path) || SameContent(FilePath, Path)) return Path;
  }
}

}  // namespace

TVelmarServiceThread::TVelmarServiceThread(const TAppConfig& Config)
    : FConfig(Config),
      FValidation("Automatic"),
      FJournal(platform::JoinPath(Config.LogFolder, JOURNAL_SUBFOLDER)),
      FPing(platform::NotifyWatchdog) {
  FDoneFolder = platform::JoinPath(FConfig.LogFolder, DONE_SUBFOLDER);
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
  FSerialStability = platform::GetEnv(kSerialStabilityVariable) == "1";
  if (FSerialStability) {
    LogInfo(kCat, Format("%s=1 : lectures de stabilité fichier par fichier (banc d'essai)",
                         kSerialStabilityVariable));
  }

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
    FWaitingCount = 0;
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
    return;
  }
  if (Known != rcUnreachable) {
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
  Line("etat", State);
  Line("mise_a_jour", platform::FormatDateTime(kStatusTimeFormat, Now));
  Line("cycle", std::to_string(FCycleCount));
  Line("cycle_heure",
       FCycleTime > 0 ? platform::FormatDateTime(kStatusTimeFormat, FCycleTime) : "");
  Line("cycle_secondes", std::to_string(FConfig.Cycle));
  Line("delai_demarrage", std::to_string(FConfig.StartingDelay));
  for (int I = 1; I <= MAX_INSTRUMENTS; ++I) {
    const TReachability Known = FReachable[I - 1];
    if (Known == rcUnknown) continue;
    Line("instrument_" + std::to_string(I),
         (Known == rcReachable ? "accessible " : "inaccessible ") +
             FConfig.Instruments[I - 1].TraFolder);
  }
  Line("fichiers_en_attente", std::to_string(FWaitingCount));
  Line("fichiers_traites", std::to_string(FProcessedCount));
  Line("fichiers_en_echec", std::to_string(FFailedCount));
  Line("dernier_fichier", FLastFile);
  Line("dernier_fichier_heure",
       FLastFileTime > 0 ? platform::FormatDateTime(kStatusTimeFormat, FLastFileTime) : "");
  Line("drapeaux", PresentFlagNames(FConfig.ExeFolder));
  const platform::TOsResult Written =
      platform::WriteFileReplacing(platform::JoinPath(FConfig.ExeFolder, STATUS_FILE_NAME), Text);
  if (!Written.Ok()) LogWarning(kCat, "Écriture du fichier d'état impossible : " + Written.Text, 0);
}

void TVelmarServiceThread::RunPeriodicTasks() {
  TestPoint("periodic", static_cast<int>(FCycleCount));
  if (FCycleCount % PERIODIC_LOG_ROTATION == 0) RotateLogsIfNeeded(LOG_ROTATION_MAX_BYTES);
  if (FCycleCount % PERIODIC_QC_CHECK == 0) {
    const int ReportsGenerated = CheckAndGenerateReports(FConfig);
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
    const bool Done = ProcessTRAFile(path, instr.ImagesFolder);
    if (Done) ++OKCount;
    // Filed incomplete counts as failed; a file left in its folder waits.
    if (Done || !platform::FileExists(path)) {
      ++(Done ? FProcessedCount : FFailedCount);
      FLastFile = platform::ExtractFileName(path);
      FLastFileTime = platform::Now();
    }
    // The machine is at fault, not the file: the files after it would meet
    // the same fault, so they wait for the next cycle with it.
    if (!FEnvironmentFault.empty()) break;
  }
  for (const std::string& path : files) {
    if (platform::FileExists(path)) ++FWaitingCount;
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
    if (FSerialStability) continue;
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

bool TVelmarServiceThread::MoveToDone(const std::string& FilePath) {
  FEnvironmentFault.clear();
  if (!platform::FolderExists(FDoneFolder)) {
    const platform::TOsResult Made = platform::MakeFolders(FDoneFolder);
    if (!Made.Ok()) {
      LogError(kCat, "Impossible de créer dossier done : " + FDoneFolder, 0);
      if (Made.EnvironmentFault()) FEnvironmentFault = "done : " + Made.Text;
      return false;
    }
  }
  const std::string BaseName = platform::ExtractFileName(FilePath);
  const std::string DestPath = DonePath(FDoneFolder, FilePath);
  const std::string DestName = platform::ExtractFileName(DestPath);

  // The same file filed again replaces its copy; across file systems (or
  // from a read-only folder) the file is copied and the source removed once
  // the copy is complete.
  platform::TMoveHow How = platform::TMoveHow::renamed;
  const platform::TOsResult Moved = platform::MoveFileReplacing(FilePath, DestPath, How);
  if (!Moved.Ok()) {
    LogError(kCat, "Erreur déplacement vers done : " + Moved.Text + " — " + BaseName, 0);
    if (Moved.EnvironmentFault()) FEnvironmentFault = "done : " + Moved.Text;
    return false;
  }
  LogDebug(kCat,
           (How == platform::TMoveHow::copied ? "Copié vers done : " : "Déplacé vers done : ") +
               BaseName);
  if (DestName != BaseName) {
    LogInfo(kCat, "Autre fichier de même nom dans done — gardé sous : " + DestName);
  }
  if (How == platform::TMoveHow::copied && platform::FileExists(FilePath)) {
    // The copy is in done but the instrument folder refuses to let the
    // source go: it will be found again, and must not be processed again.
    LogError(kCat, "Fichier source non supprimé après copie vers done : " + BaseName, 0);
    FEnvironmentFault = "done : " + BaseName + " reste dans " + platform::ExtractFileDir(FilePath);
  }

  std::vector<std::string> names;
  if (platform::ListFiles(FDoneFolder, "*.*", names).Ok()) {
    const int ToDelete = static_cast<int>(names.size()) - DONE_MAX_FILES;
    if (ToDelete > 0) {
      // ListFiles sorts without regard to case: the first names are the
      // oldest by name. The file just filed is never one of them.
      int Deleted = 0;
      for (size_t i = 0; i < names.size() && Deleted < ToDelete; ++i) {
        if (names[i] == DestName) continue;
        (void)platform::RemoveFile(platform::JoinPath(FDoneFolder, names[i]));
        ++Deleted;
      }
      LogDebug(kCat, Format("Done : %d fichier(s) supprimé(s) — limite %d atteinte", ToDelete,
                            DONE_MAX_FILES));
    }
  }
  return true;
}

void TVelmarServiceThread::RemoveFiledEntries() {
  for (const std::string& EntryFile : FJournal.EntryFiles()) {
    TJournalEntry Entry;
    if (!FJournal.LoadEntryFile(EntryFile, Entry)) continue;
    const TResultIdentity& Id = Entry.Identity;
    // A result file still waiting in an instrument folder keeps its entry.
    bool Waiting = false;
    for (int I = 1; I <= FConfig.InstrCount && I <= MAX_INSTRUMENTS; ++I) {
      const std::string Source = platform::JoinPath(FConfig.Instruments[I - 1].TraFolder, Id.Name);
      if (FJournal.EntryPath(Source) == EntryFile && platform::FileExists(Source)) Waiting = true;
    }
    if (Waiting) continue;
    // Filed under its own name or, beside another file of that name, under
    // "name~n.ext".
    for (int n = 0;; ++n) {
      const std::string Path = DoneCandidate(FDoneFolder, Id.Name, n);
      if (!platform::FileExists(Path)) break;
      std::string Bytes;
      if (platform::FileSize(Path) != Id.Size || !platform::ReadFileBytes(Path, Bytes).Ok() ||
          ContentHash(Bytes) != Id.Hash) {
        continue;
      }
      FJournal.RemoveEntryFile(EntryFile);
      LogInfo(kCat, "Entrée de journal d'un fichier déjà classé dans done supprimée : " + Id.Name);
      break;
    }
  }
}

bool TVelmarServiceThread::MakeImagesDurable(const TImageResult* Results, int Count,
                                             const std::string& FullSizeFolder) {
  // The folder the full-size pictures were written to, also when a reduced
  // copy replaced them there.
  std::set<std::string> Folders{FullSizeFolder};
  // A reduced copy is both the picture and its copy: flushed once.
  std::set<std::string> Files;
  for (int i = 0; i < Count; ++i) {
    if (!Results[i].Success) continue;
    for (const std::string& Path : {Results[i].OutputPath, Results[i].ResizedPath}) {
      if (Path.empty()) continue;
      Files.insert(Path);
      Folders.insert(platform::ExtractFileDir(Path));
    }
  }
  const auto Fail = [this](const platform::TOsResult& r) {
    FEnvironmentFault = std::string(kStageImages) + " : " + r.Text;
    return false;
  };
  for (const std::string& Path : Files) {
    if (const platform::TOsResult r = platform::FlushFile(Path); !r.Ok()) return Fail(r);
  }
  for (const std::string& Folder : Folders) {
    if (Folder.empty() || !platform::FolderExists(Folder)) continue;
    if (const platform::TOsResult r = platform::FlushFolder(Folder); !r.Ok()) return Fail(r);
  }
  return true;
}

void TVelmarServiceThread::ReportEnvironmentFault(const std::string& Name) {
  Log(llError, kCat,
      "Erreur d'environnement — " + FEnvironmentFault +
          " — fichier gardé pour le prochain cycle : " + Name,
      EVT_PROCESSING_ERROR, {{"VELMAR_FILE", Name}});
  SetFlag(FLAG_PROCESSING_ERROR, "Erreur d'environnement : " + FEnvironmentFault);
}

bool TVelmarServiceThread::OpenJournalEntry(const std::string& FilePath, const std::string& Bytes,
                                            TJournalEntry& Entry) {
  // The identity is taken from the very bytes the message was parsed from.
  const TResultIdentity Identity{platform::ExtractFileName(FilePath),
                                 static_cast<int64_t>(Bytes.size()), ContentHash(Bytes)};
  if (FJournal.Load(FilePath, Entry) && Entry.Identity == Identity) return true;
  // No entry, or the entry of an earlier file of that name: a full run,
  // recorded before its first output.
  Entry = TJournalEntry{Identity, {}};
  const platform::TOsResult Saved = FJournal.Save(FilePath, Entry);
  if (!Saved.Ok()) {
    FEnvironmentFault = "journal : " + Saved.Text;
    return false;
  }
  return true;
}

bool TVelmarServiceThread::RunStages(const std::string& FilePath, const TASTMMessage& Msg,
                                     const std::string& ImagesFolder, TJournalEntry& Entry,
                                     TImageResult* Results, int& ImgCount) {
  const std::string name = platform::ExtractFileName(FilePath);
  const auto AlreadyDone = [&](const char* Stage) {
    if (Entry.Find(Stage) == nullptr) return false;
    LogInfo(kCat, Format("Étape déjà faite — %s : %s", Stage, name.c_str()));
    return true;
  };
  // After a stage ran: a stage the machine kept from its output makes the
  // file wait; else the stage is recorded as done.
  const auto Finished = [&](TStageRecord Record, const platform::TStageOutcome& Outcome) {
    if (Outcome.MachineFailed()) {
      FEnvironmentFault = Record.Stage + " : " + Outcome.Reason;
      return false;
    }
    std::erase_if(Entry.Stages, [&](const TStageRecord& r) { return r.Stage == Record.Stage; });
    Entry.Stages.push_back(std::move(Record));
    const platform::TOsResult Saved = FJournal.Save(FilePath, Entry);
    if (!Saved.Ok()) {
      FEnvironmentFault = "journal : " + Saved.Text;
      return false;
    }
    return true;
  };
  const auto ImagesRecord = [&] {
    TStageRecord Record{kStageImages, std::to_string(ImgCount), {}};
    for (int i = 0; i < std::min(ImgCount, kResultCapacity); ++i) {
      Record.Images.push_back(Results[i]);
    }
    return Record;
  };
  // A finished image stage whose pictures are all there and whole; one that
  // lost a picture (a power loss before it reached the disk) is done again.
  const auto ImagesDone = [&] {
    const TStageRecord* Record = Entry.Find(kStageImages);
    if (Record == nullptr) return false;
    for (const TImageResult& Image : Record->Images) {
      if (!Image.Success) continue;
      for (const std::string& Path : {Image.OutputPath, Image.ResizedPath}) {
        if (Path.empty() || IsWholePicture(Path)) continue;
        LogWarning(kCat,
                   Format("Image absente ou incomplète — étape images refaite : %s (%s)",
                          platform::ExtractFileName(Path).c_str(), name.c_str()),
                   0);
        return false;
      }
    }
    return AlreadyDone(kStageImages);
  };
  // The pictures of a finished image stage, as it left them for the exports.
  const auto RestoreImages = [&] {
    const TStageRecord* Record = Entry.Find(kStageImages);
    ImgCount = platform::StrToIntDef(Record->Output, 0);
    for (size_t i = 0; i < Record->Images.size() && i < static_cast<size_t>(kResultCapacity); ++i) {
      Results[i] = Record->Images[i];
    }
  };
  // The pictures reach the disk before the stage is recorded: a power loss
  // never leaves a recorded stage whose pictures are empty.
  const auto ImagesFinished = [&](const std::string& FullSizeFolder,
                                  const platform::TStageOutcome& Outcome) {
    return MakeImagesDurable(Results, std::min(ImgCount, kResultCapacity), FullSizeFolder) &&
           Finished(ImagesRecord(), Outcome);
  };
  // A bookkeeping record: nothing written outside the journal.
  const platform::TStageOutcome Noted;

  if (!Msg.IsQC) {
    if (ImagesDone()) {
      RestoreImages();
    } else {
      TestPoint("images", 0);
      platform::TStageOutcome Outcome;
      EnsureFolder(FConfig.ImageDestFolder, Outcome);
      if (FConfig.ResizeFactor < 100) EnsureFolder(FConfig.ResizedImageDest, Outcome);
      ImgCount = ProcessASTMMessage(Msg, FConfig, ImagesFolder, FValidation, Results,
                                    kResultCapacity, &Outcome);
      LogInfo(kCat, Format("%d image(s) générée(s) pour : %s", ImgCount, name.c_str()));
      if (!ImagesFinished(FConfig.ImageDestFolder, Outcome)) return false;
    }
  } else {
    if (!AlreadyDone(kStageQC)) {
      TestPoint("qc", 0);
      const TStageRecord* Intent = Entry.Find(kStageQCIntent);
      long long SizeBefore = -1;  // unknown in an entry of an earlier version
      if (Intent != nullptr && platform::IsDigits(Intent->Output) && Intent->Output.size() < 19) {
        SizeBefore = std::stoll(Intent->Output);
      }
      platform::TStageOutcome Outcome;
      const TQCResume Resume = Intent == nullptr
                                   ? TQCResume::to_append
                                   : ResumeQCRecording(Msg, FConfig, SizeBefore, &Outcome);
      if (Resume == TQCResume::failed) {
        Outcome.MachineFault("");  // the reason, when the resumption gave none
        FEnvironmentFault = std::string(kStageQC) + " : " + Outcome.Reason;
        return false;
      }
      if (Resume == TQCResume::recorded) {
        // Appended just before an interruption, not yet noted: not again.
        LogInfo(kCat, Format("Étape déjà faite — %s : %s", kStageQC, name.c_str()));
        if (!Finished({kStageQC, "", {}}, Noted)) return false;
      } else {
        // The log's size before the append: what an interrupted append left
        // past it is known again.
        if (!Finished({kStageQCIntent, std::to_string(QCLogSize(FConfig)), {}}, Noted)) {
          return false;
        }
        const auto Recorded = RecordQCResults(Msg, FConfig, &Outcome);
        if (!Finished({kStageQC, std::to_string(Recorded), {}}, Outcome)) return false;
      }
    }
    if (ImagesDone()) {
      RestoreImages();
    } else {
      TAppConfig QCConfig = FConfig;
      // The instrument identifier comes from the message: it names one
      // folder under QCDest, never a path.
      const std::string QCFolder =
          platform::JoinPath(FConfig.QCDest, platform::MakeSafeFileName(Msg.Header.InstrumentID));
      LogDebug(kCatQC, Format("QCDest=[%s] InstrID=[%s] QCFolder=[%s]", FConfig.QCDest.c_str(),
                              Msg.Header.InstrumentID.c_str(), QCFolder.c_str()));
      LogDebug(kCatQC, Format("ImagesFolder=[%s] ImageDestFolder=[%s]", ImagesFolder.c_str(),
                              FConfig.ImageDestFolder.c_str()));
      platform::TStageOutcome Outcome;
      EnsureFolder(QCFolder, Outcome);
      QCConfig.ImageDestFolder = QCFolder;
      if (!FConfig.ResizedImageDest.empty()) QCConfig.ResizedImageDest = QCFolder;
      LogDebug(kCatQC, Format("QCConfig.ImageDestFolder=[%s] ResizedImageDest=[%s]",
                              QCConfig.ImageDestFolder.c_str(), QCConfig.ResizedImageDest.c_str()));
      ImgCount = ProcessASTMMessage(Msg, QCConfig, ImagesFolder, FValidation, Results,
                                    kResultCapacity, &Outcome);
      LogInfo(kCat, Format("%d image(s) QC générée(s) dans : %s", ImgCount, QCFolder.c_str()));
      if (!ImagesFinished(QCFolder, Outcome)) return false;
    }
  }

  TestPoint("xml", 0);
  if (!FConfig.Dest_Vededavav.empty() && IsSurgiscreenMessage(Msg) && !AlreadyDone(kStageXML)) {
    platform::TStageOutcome Outcome;
    const std::string XMLPath = ExportToXML(Msg, FConfig.Dest_Vededavav, &Outcome);
    if (!XMLPath.empty()) LogInfo(kCat, "XML exporté : " + platform::ExtractFileName(XMLPath));
    if (!Finished({kStageXML, XMLPath, {}}, Outcome)) return false;
  }

  TestPoint("glims", 0);
  if (!FConfig.InfoToLis.empty() && !AlreadyDone(kStageGlims)) {
    const int Count = std::min(ImgCount, kResultCapacity);
    std::string GlimsPath;
    platform::TStageOutcome Outcome;
    const TStageRecord* Intent = Entry.Find(kStageGlimsIntent);
    if (Intent != nullptr && IsSameUpload(Intent->Output, Msg, Results, Count, FConfig)) {
      // Written just before an interruption, not yet recorded: not sent again.
      GlimsPath = Intent->Output;
      LogInfo(kCat, Format("Étape déjà faite — %s : %s", kStageGlims, name.c_str()));
    } else {
      if (IsGlimsMessage(Msg)) {
        // The name the upload is about to take, so that an upload written
        // just before an interruption is known again.
        const std::string Next = FindAvailableUPLPath(FConfig.InfoToLis, FConfig.InfoToLisPrefix,
                                                      Msg.Orders.front().SampleID);
        if (!Finished({kStageGlimsIntent, Next, {}}, Noted)) return false;
      }
      EnsureFolder(FConfig.InfoToLis, Outcome);
      GlimsPath = ExportToGlims(Msg, Results, Count, FConfig, &Outcome);
    }
    if (!GlimsPath.empty()) {
      LogInfo(kCat, "Glims exporté : " + platform::ExtractFileName(GlimsPath));
    } else {
      LogDebug(kCat, "Export Glims ignoré (non-Glims ou erreur)");
    }
    if (!Finished({kStageGlims, GlimsPath, {}}, Outcome)) return false;
  }
  return true;
}

bool TVelmarServiceThread::ProcessTRAFile(const std::string& FilePath,
                                          const std::string& ImagesFolder) {
  FEnvironmentFault.clear();
  const std::string name = platform::ExtractFileName(FilePath);
  LogInfo(kCat, "Traitement : " + name);

  if (!IsFileStable(FilePath)) {
    LogWarning(kCat, "Fichier instable — reporté au prochain cycle : " + name, 0);
    return false;
  }

  TASTMMessage Msg;
  std::string Bytes;
  if (!ParseASTMFile(FilePath, Msg, &Bytes)) {
    Log(llError, kCat, "Parsing ASTM échoué : " + name, EVT_PROCESSING_ERROR,
        {{"VELMAR_FILE", name}});
    FreeASTMMessage(Msg);
    MoveToDone(FilePath);
    if (!FEnvironmentFault.empty()) ReportEnvironmentFault(name);
    return false;
  }

  TJournalEntry Entry;
  const bool Opened = OpenJournalEntry(FilePath, Bytes, Entry);
  std::string().swap(Bytes);  // the message holds what the stages need
  if (!Opened) {
    FreeASTMMessage(Msg);
    if (!FEnvironmentFault.empty()) ReportEnvironmentFault(name);
    return false;
  }

  bool result = false;
  bool Waiting = false;  // an environment fault: the file stays for the next cycle
  try {
    TImageResult Results[kResultCapacity];
    int ImgCount = 0;
    Waiting = !RunStages(FilePath, Msg, ImagesFolder, Entry, Results, ImgCount);
    result = !Waiting;
  } catch (...) {
    // Stages already done keep their files; the rest is skipped.
    const std::string text = platform::ExceptionText(std::current_exception());
    TLogFields Fields{{"VELMAR_FILE", name}};
    if (!Msg.Orders.empty()) Fields.emplace_back("VELMAR_SAMPLE", Msg.Orders.front().SampleID);
    Log(llError, kCat,
        Format("Exception pendant le traitement de %s : %s", name.c_str(), text.c_str()),
        EVT_PROCESSING_ERROR, Fields);
    result = false;
  }

  FreeASTMMessage(Msg);
  if (Waiting) {
    ReportEnvironmentFault(name);
    return false;
  }
  if (!result) {
    LogWarning(kCat, "Traitement incomplet — déplacé vers done quand même : " + name, 0);
  }
  const bool Filed = MoveToDone(FilePath) && FEnvironmentFault.empty();
  if (Filed) {
    FJournal.Remove(FilePath);
  } else if (!FEnvironmentFault.empty()) {
    ReportEnvironmentFault(name);
  }
  return result && Filed;
}
