// The file pipeline: one result file from its stability check through its
// stages (pictures, QC, XML, GLIMS) to the done folder, with the journal
// entry that lets an interrupted file resume where it stopped.

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
#include "platform/Files.h"
#include "platform/Text.h"
#include "processing/UServiceThread.h"
#include "processing/UServiceThreadInternal.h"
#include "qc/UQCManager.h"

using platform::Format;
using service_thread::kCat;

namespace {

constexpr const char* kCatQC = "QC";

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

}  // namespace

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
      NoteSetAside(Results, std::min(ImgCount, kResultCapacity), FLastSampleID);
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

  if (!Msg.Orders.empty()) FLastSampleID = Msg.Orders.front().SampleID;
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
