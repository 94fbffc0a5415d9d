#include "processing/UServiceThread.h"

#include <algorithm>
#include <exception>

#include "astm/UASTMParser.h"
#include "export/UGlimsExport.h"
#include "export/UXMLExport.h"
#include "imaging/UImageProcessor.h"
#include "logging/ULogger.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "qc/UQCManager.h"

using platform::Format;

namespace {

constexpr const char* kCatQC = "QC";

constexpr const char* kCat = "THREAD";
constexpr int kResultCapacity = 20;

}  // namespace

TVelmarServiceThread::TVelmarServiceThread(const TAppConfig& Config)
    : FConfig(Config), FValidation("Automatic") {
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
  if (FWaitHook && TimeoutMs > 0) {
    FWaitHook(TimeoutMs);
    return FStopEvent.IsSet();
  }
  return FStopEvent.Wait(TimeoutMs);
}

void TVelmarServiceThread::Execute() {
  const uint32_t CycleMs = static_cast<uint32_t>(FConfig.Cycle) * 1000;
  LogInfo(kCat, Format("Thread démarré — Cycle: %ds | Instruments: %d", FConfig.Cycle,
                       FConfig.InstrCount));

  if (FConfig.StartingDelay > 0) {
    LogInfo(kCat, Format("Délai démarrage : %d seconde(s)...", FConfig.StartingDelay));
    if (StopSignalled(static_cast<uint32_t>(FConfig.StartingDelay) * 1000)) {
      LogInfo(kCat, "Arrêt demandé pendant délai démarrage");
      return;
    }
  }

  while (!Terminated()) {
    const int64_t cycle = ++FCycleCount;
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
    return;
  }
  ClearFlag(FLAG_INSTRUMENT_ERROR);

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
    if (ProcessTRAFile(path, instr.ImagesFolder)) ++OKCount;
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
  // Entries (full paths) already reported as not being regular files: each
  // is reported once per run of the service, not on every cycle.
  static std::mutex GSkippedCS;
  static std::vector<std::string> GSkippedReported;
  for (const std::string& name : skipped) {
    const std::string path = platform::JoinPath(Folder, name);
    {
      std::lock_guard<std::mutex> lock(GSkippedCS);
      if (std::find(GSkippedReported.begin(), GSkippedReported.end(), path) !=
          GSkippedReported.end()) {
        continue;
      }
      GSkippedReported.push_back(path);
    }
    LogWarning(kCat, "Entrée ignorée, pas un fichier ordinaire : " + path, 0);
  }
  for (const std::string& name : names) Files.push_back(platform::JoinPath(Folder, name));
  const int count = static_cast<int>(Files.size());
  LogDebug(kCat, Format("%d fichier(s) .tra trouvé(s) dans : %s", count, Folder.c_str()));
  return count;
}

bool TVelmarServiceThread::IsFileStable(const std::string& FilePath) {
  const std::string name = platform::ExtractFileName(FilePath);
  for (int Retry = 0; Retry < FILE_STABILITY_RETRIES; ++Retry) {
    if (StopSignalled(0)) return false;
    const int64_t Size1 = platform::FileSize(FilePath);
    if (Size1 < 0) return false;
    if (StopSignalled(FILE_STABILITY_WAIT_MS)) return false;
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
  if (!platform::FolderExists(FDoneFolder) && !platform::MakeFolders(FDoneFolder).Ok()) {
    LogError(kCat, "Impossible de créer dossier done : " + FDoneFolder, 0);
    return false;
  }
  const std::string BaseName = platform::ExtractFileName(FilePath);
  const std::string DestPath = platform::JoinPath(FDoneFolder, BaseName);

  // An older copy of the same name is replaced; across file systems (or from
  // a read-only folder) the file is copied and the source removed once the
  // copy is complete.
  platform::TMoveHow How = platform::TMoveHow::renamed;
  const platform::TOsResult Moved = platform::MoveFileReplacing(FilePath, DestPath, How);
  if (!Moved.Ok()) {
    LogError(kCat, "Erreur déplacement vers done : " + Moved.Text + " — " + BaseName, 0);
    return false;
  }
  LogDebug(kCat,
           (How == platform::TMoveHow::copied ? "Copié vers done : " : "Déplacé vers done : ") +
               BaseName);

  std::vector<std::string> names;
  if (platform::ListFiles(FDoneFolder, "*.*", names).Ok()) {
    const int ToDelete = static_cast<int>(names.size()) - DONE_MAX_FILES;
    if (ToDelete > 0) {
      // ListFiles sorts without regard to case: the first names are the oldest by name.
      for (int i = 0; i < ToDelete; ++i) {
        (void)platform::RemoveFile(platform::JoinPath(FDoneFolder, names[static_cast<size_t>(i)]));
      }
      LogDebug(kCat, Format("Done : %d fichier(s) supprimé(s) — limite %d atteinte", ToDelete,
                            DONE_MAX_FILES));
    }
  }
  return true;
}

bool TVelmarServiceThread::ProcessTRAFile(const std::string& FilePath,
                                          const std::string& ImagesFolder) {
  const std::string name = platform::ExtractFileName(FilePath);
  LogInfo(kCat, "Traitement : " + name);

  if (!IsFileStable(FilePath)) {
    LogWarning(kCat, "Fichier instable — reporté au prochain cycle : " + name, 0);
    return false;
  }

  TASTMMessage Msg;
  if (!ParseASTMFile(FilePath, Msg)) {
    LogError(kCat, "Parsing ASTM échoué : " + name, EVT_PROCESSING_ERROR);
    FreeASTMMessage(Msg);
    MoveToDone(FilePath);
    return false;
  }

  bool result = false;
  try {
    TImageResult Results[kResultCapacity];
    int ImgCount = 0;
    if (!Msg.IsQC) {
      TestPoint("images", 0);
      ImgCount =
          ProcessASTMMessage(Msg, FConfig, ImagesFolder, FValidation, Results, kResultCapacity);
      LogInfo(kCat, Format("%d image(s) générée(s) pour : %s", ImgCount, name.c_str()));
    } else {
      TestPoint("qc", 0);
      RecordQCResults(Msg, FConfig);
      TAppConfig QCConfig = FConfig;
      // The instrument identifier comes from the message: it names one
      // folder under QCDest, never a path.
      const std::string QCFolder =
          platform::JoinPath(FConfig.QCDest, platform::MakeSafeFileName(Msg.Header.InstrumentID));
      LogDebug(kCatQC, Format("QCDest=[%s] InstrID=[%s] QCFolder=[%s]", FConfig.QCDest.c_str(),
                              Msg.Header.InstrumentID.c_str(), QCFolder.c_str()));
      LogDebug(kCatQC, Format("ImagesFolder=[%s] ImageDestFolder=[%s]", ImagesFolder.c_str(),
                              FConfig.ImageDestFolder.c_str()));
      if (!platform::FolderExists(QCFolder)) (void)platform::MakeFolders(QCFolder);
      QCConfig.ImageDestFolder = QCFolder;
      if (!FConfig.ResizedImageDest.empty()) QCConfig.ResizedImageDest = QCFolder;
      LogDebug(kCatQC, Format("QCConfig.ImageDestFolder=[%s] ResizedImageDest=[%s]",
                              QCConfig.ImageDestFolder.c_str(), QCConfig.ResizedImageDest.c_str()));
      ImgCount =
          ProcessASTMMessage(Msg, QCConfig, ImagesFolder, FValidation, Results, kResultCapacity);
      LogInfo(kCat, Format("%d image(s) QC générée(s) dans : %s", ImgCount, QCFolder.c_str()));
    }

    TestPoint("xml", 0);
    if (!FConfig.Dest_Vededavav.empty() && IsSurgiscreenMessage(Msg)) {
      const std::string XMLPath = ExportToXML(Msg, FConfig.Dest_Vededavav);
      if (!XMLPath.empty()) LogInfo(kCat, "XML exporté : " + platform::ExtractFileName(XMLPath));
    }

    TestPoint("glims", 0);
    if (!FConfig.InfoToLis.empty()) {
      const std::string GlimsPath =
          ExportToGlims(Msg, Results, std::min(ImgCount, kResultCapacity), FConfig);
      if (!GlimsPath.empty()) {
        LogInfo(kCat, "Glims exporté : " + platform::ExtractFileName(GlimsPath));
      } else {
        LogDebug(kCat, "Export Glims ignoré (non-Glims ou erreur)");
      }
    }
    result = true;
  } catch (...) {
    // Stages already done keep their files; the rest is skipped.
    const std::string text = platform::ExceptionText(std::current_exception());
    LogError(kCat, Format("Exception pendant le traitement de %s : %s", name.c_str(), text.c_str()),
             EVT_PROCESSING_ERROR);
    result = false;
  }

  FreeASTMMessage(Msg);
  if (!result) {
    LogWarning(kCat, "Traitement incomplet — déplacé vers done quand même : " + name, 0);
  }
  MoveToDone(FilePath);
  return result;
}
