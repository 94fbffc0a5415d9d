// The done folder: where finished (and failed) result files are filed, and
// the start-up clean-up of journal entries whose file was already filed.

#include <string>
#include <vector>

#include "logging/ULogger.h"
#include "platform/Files.h"
#include "platform/Text.h"
#include "processing/UResultJournal.h"
#include "processing/UServiceThread.h"
#include "processing/UServiceThreadInternal.h"

using platform::Format;
using service_thread::kCat;

namespace {

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
