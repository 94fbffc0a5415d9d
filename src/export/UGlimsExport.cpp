#include "export/UGlimsExport.h"

#include <algorithm>

#include "logging/ULogger.h"
#include "platform/Files.h"
#include "platform/Text.h"

using platform::Format;
using platform::Trim;

namespace {

constexpr const char* kCat = "GLIMS";
constexpr const char* kCrLf = "\r\n";
constexpr const char* kLogDateFormat = "dd/mm/yyyy hh:nn:ss";
constexpr const char* kAstmDateFormat = "yyyymmddhhnnss";

// One image code met in a message: its first picture and how many pictures
// were given it.
struct TImageCode {
  std::string Code;
  std::string FirstImage;
  int Count = 0;
};

// The successful pictures of an export, by file name (the reduced copy when
// there is one), in the order given.
std::vector<std::string> SuccessfulImageNames(const TImageResult* results, int count) {
  std::vector<std::string> names;
  if (results == nullptr) return names;
  for (int i = 0; i < count; ++i) {
    const TImageResult& r = results[i];
    if (!r.Success) continue;
    names.push_back(
        platform::ExtractFileName(r.ResizedPath.empty() ? r.OutputPath : r.ResizedPath));
  }
  return names;
}

// The first picture whose name carries the cassette identifier between two
// "_": either its last six characters as written, or the whole trimmed
// identifier (the form picture names are built with).
const std::string* FindCassetteImage(const std::vector<std::string>& names,
                                     const std::string& lastSix, const std::string& whole) {
  const std::string shortKey = "_" + lastSix + "_";
  const std::string wholeKey = "_" + whole + "_";
  for (const std::string& name : names) {
    if (platform::Contains(name, shortKey) ||
        (!whole.empty() && platform::Contains(name, wholeKey))) {
      return &name;
    }
  }
  return nullptr;
}

bool ContainsNameAscii(const std::vector<std::string>& names, const std::string& name) {
  return std::any_of(names.begin(), names.end(),
                     [&](const std::string& n) { return platform::SameTextAscii(n, name); });
}

// The result time of every R line: the first order's report date, else its
// order date, else now.
std::string ResultDateTime(const TASTMMessage& Msg) {
  TDateTime when = platform::Now();
  if (!Msg.Orders.empty()) {
    const TOrderRecord& first = Msg.Orders.front();
    if (first.ReportDate > 1) {
      when = first.ReportDate;
    } else if (first.OrderDate > 1) {
      when = first.OrderDate;
    }
  }
  return platform::FormatDateTime(kAstmDateFormat, when);
}

std::string PanelNameOf(const TASTMMessage& Msg) {
  if (Msg.Orders.empty()) return {};
  const std::string& test = Msg.Orders.front().TestName;
  return Trim(test.substr(0, test.find('^')));
}

std::string HeaderLine(const TASTMMessage& Msg) {
  const THeaderRecord& h = Msg.Header;
  return "H|\\^&|||ZID^" + h.InstrumentName + "^" + h.SoftwareVer + "^" + h.InstrumentID +
         "|||||||P|LIS2-A|" + platform::FormatDateTime(kAstmDateFormat, platform::Now());
}

std::string PatientLine(const TASTMMessage& Msg) {
  const TPatientRecord& p = Msg.Patient;
  return Format("P|1|%s|||%s^%s||%s|%s||||||||||||||||||||||||", p.PatientID.c_str(),
                p.FirstName.c_str(), p.LastName.c_str(), p.BirthDateStr.c_str(), p.Sex.c_str());
}

std::string OrderLine(const TOrderRecord& o) {
  if (!o.RawLine.empty()) return o.RawLine;
  return Format("O|%d|%s||%s|N|%s|||||||||%s|||||||%s|||F|||||", o.SeqNr, o.SampleID.c_str(),
                o.TestName.c_str(), platform::FormatDateTime(kAstmDateFormat, o.OrderDate).c_str(),
                o.SampleType.c_str(),
                platform::FormatDateTime(kAstmDateFormat, o.ReportDate).c_str());
}

bool IsUploadRecord(const std::string& line) {
  for (const char* prefix : {"H|", "P|", "O|", "R|", "L|"}) {
    if (platform::StartsWith(line, prefix)) return true;
  }
  return false;
}

std::string FirstSampleID(const TASTMMessage& Msg, const char* none) {
  return Msg.Orders.empty() ? std::string(none) : Msg.Orders.front().SampleID;
}

}  // namespace

std::string GlimsLogPath(const TAppConfig& Config) {
  return platform::JoinPath(Config.ExeFolder, GLIMS_LOG_FILE);
}

bool LoadGlimsLog(const std::string& LogPath, std::vector<TGlimsLogEntry>& Entries, int& Count) {
  Entries.clear();
  Count = 0;
  std::string bytes;
  const platform::TOsResult read = platform::ReadFileBytes(LogPath, bytes);
  if (!read.Ok()) {
    // A missing log is the normal state before the first export.
    if (!read.NotFound()) LogDebug(kCat, "Journal Glims illisible : " + read.Text);
    return false;
  }
  for (const std::string& raw : platform::SplitLines(platform::AnsiToUtf8(bytes))) {
    if (Count >= GLIMS_LOG_MAX_ENTRIES) break;
    if (Trim(raw).empty()) continue;
    const std::vector<std::string> pieces = platform::SplitKeepEmpty(raw, GLIMS_LOG_SEP);
    if (pieces.size() < 5) continue;
    TGlimsLogEntry e;
    e.OID = Trim(pieces[0]);
    if (e.OID.empty()) continue;
    e.TestCode = Trim(pieces[1]);
    e.JPGName = Trim(pieces[2]);
    e.Index = platform::StrToIntDef(Trim(pieces[3]), 0);
    if (!platform::TryParseDayMonthYearTime(Trim(pieces[4]), e.EntryDate)) e.EntryDate = 0;
    Entries.push_back(std::move(e));
    ++Count;
  }
  return true;
}

bool SaveGlimsLog(const std::string& LogPath, const std::vector<TGlimsLogEntry>& Entries,
                  int Count) {
  const TDateTime limit = platform::Now() - GLIMS_LOG_PURGE;
  const size_t n = std::min(Entries.size(), static_cast<size_t>(std::max(Count, 0)));
  std::string text;
  for (size_t i = 0; i < n; ++i) {
    const TGlimsLogEntry& e = Entries[i];
    if (e.EntryDate > 0 && e.EntryDate < limit) continue;
    text += e.OID + GLIMS_LOG_SEP + e.TestCode + GLIMS_LOG_SEP + e.JPGName + GLIMS_LOG_SEP +
            std::to_string(e.Index) + GLIMS_LOG_SEP +
            platform::FormatDateTime(kLogDateFormat, e.EntryDate) + kCrLf;
  }
  const std::string bytes = platform::Utf8ToAnsi(text);
  // Most exports drop no entry: a log that already holds this content is
  // left alone, without a rewrite and its flush to disk.
  std::string current;
  if (platform::ReadFileBytes(LogPath, current).Ok() && current == bytes) return true;
  const std::string folder = platform::ExtractFileDir(LogPath);
  if (!folder.empty() && !platform::FolderExists(folder)) {
    const platform::TOsResult made = platform::MakeFolders(folder);
    if (!made.Ok()) {
      LogWarning(kCat, "Journal Glims non enregistré : " + made.Text, 0);
      return false;
    }
  }
  // Replaced whole through a temporary file: a crash leaves the old log or
  // the new one, never a truncated one.
  const platform::TOsResult written = platform::WriteFileReplacing(LogPath, bytes, true);
  if (!written.Ok()) {
    LogWarning(kCat, "Journal Glims non enregistré : " + written.Text, 0);
    return false;
  }
  return true;
}

bool IsGlimsMessage(const TASTMMessage& Msg) {
  if (!Msg.IsValid || Msg.IsQC) return false;
  return std::any_of(Msg.Orders.begin(), Msg.Orders.end(),
                     [](const TOrderRecord& o) { return o.RCount() > 0; });
}

void BuildGlimsRLines(const TASTMMessage& Msg, const TImageResult* ImageResults, int ImgResultCount,
                      std::vector<std::string>& RLines) {
  const std::vector<std::string> images = SuccessfulImageNames(ImageResults, ImgResultCount);
  const std::string rdt = ResultDateTime(Msg);
  const std::string& instrID = Msg.Header.InstrumentID;
  const std::string panelName = PanelNameOf(Msg);

  std::vector<TImageCode> codes;  // IMCodeSeen / IMCodeImg / IMCodeCnt
  int identCounter = 0;
  int seqR = 0;
  std::vector<std::string> imgsForR;

  for (const TOrderRecord& o : Msg.Orders) {
    for (const TRRecord& r : o.RRecords) {
      const std::string testCode = Trim(r.TestCode);
      if (testCode.empty()) continue;
      const bool isIdent = platform::SameTextAscii(testCode, "Ident");
      const std::string imCode = isIdent ? std::string(GLIMS_IDENT_MARKER) : "IM" + testCode;
      imgsForR.clear();

      for (const TMRecord& m : r.MRecords) {
        const std::string cassID = platform::Utf8Right(m.CassetteID, 6);
        if (cassID.empty()) continue;
        const std::string* found = FindCassetteImage(images, cassID, Trim(m.CassetteID));
        if (found == nullptr) continue;
        const std::string& jpgName = *found;

        // Within one R record, each picture is sent once whatever the
        // number of its wells.
        if (ContainsNameAscii(imgsForR, jpgName)) continue;
        if (static_cast<int>(imgsForR.size()) < GLIMS_MAX_IMAGES_PER_R) {
          imgsForR.push_back(jpgName);
        }

        std::string finalCode;
        if (isIdent) {
          ++identCounter;
          finalCode = "IM" + panelName + "_Ident" + std::to_string(identCounter);
        } else {
          auto seen = std::find_if(codes.begin(), codes.end(), [&](const TImageCode& c) {
            return platform::SameTextAscii(c.Code, imCode);
          });
          if (seen == codes.end()) {
            if (static_cast<int>(codes.size()) < GLIMS_MAX_IMAGE_CODES) {
              codes.push_back({imCode, jpgName, 1});
            }
            finalCode = imCode;
          } else if (platform::SameTextAscii(jpgName, seen->FirstImage)) {
            // The code's first picture went out already.
            continue;
          } else {
            // The second distinct picture of a code is numbered _3, the
            // third _4, and so on, as GLIMS expects.
            ++seen->Count;
            finalCode = imCode + "_" + std::to_string(seen->Count + 1);
          }
        }

        ++seqR;
        RLines.push_back(Format("R|%d|%s|%s|||||F||Automatic||%s|%s", seqR, finalCode.c_str(),
                                jpgName.c_str(), rdt.c_str(), instrID.c_str()));
      }
    }
  }
}

std::string BuildUPLContent(const TASTMMessage& Msg, const TImageResult* ImageResults,
                            int ImgResultCount, const TAppConfig& /*Config*/,
                            const std::vector<TGlimsLogEntry>& /*LogEntries*/, int /*LogCount*/) {
  std::vector<std::string> lines;
  lines.push_back(HeaderLine(Msg));
  lines.push_back(PatientLine(Msg));
  for (const TOrderRecord& o : Msg.Orders) lines.push_back(OrderLine(o));

  std::vector<std::string> rLines;
  BuildGlimsRLines(Msg, ImageResults, ImgResultCount, rLines);
  if (rLines.empty()) {
    LogWarning(kCat, "Aucune ligne R générée — export annulé", 0);
    return {};
  }
  lines.insert(lines.end(), rLines.begin(), rLines.end());
  lines.push_back("L||");

  std::string content;
  for (const std::string& line : lines) {
    // A received order line in another form has no place in the upload.
    if (!IsUploadRecord(line)) continue;
    content += line;
    content += kCrLf;
  }
  return content;
}

std::string FindAvailableUPLPath(const std::string& GlimsFolder, const std::string& Prefix,
                                 const std::string& OID) {
  // The sample identifier comes from the result file: a separator in it
  // would lead outside the upload folder. The prefix comes from the
  // configuration and is used as written.
  const std::string base =
      platform::JoinPath(GlimsFolder, Prefix + platform::MakeSafeFileName(OID + "_"));
  for (int n = 0;; ++n) {
    const std::string path = base + std::to_string(n) + ".UPL";
    if (!platform::FileExists(path) && !platform::FolderExists(path)) return path;
  }
}

std::string ExportToGlims(const TASTMMessage& Msg, const TImageResult* ImageResults,
                          int ImgResultCount, const TAppConfig& Config,
                          platform::TStageOutcome* Outcome) {
  if (!Msg.IsValid) return {};
  if (Config.InfoToLis.empty()) {
    LogDebug(kCat, "InfoToLis non configure — export ignore");
    return {};
  }
  if (!IsGlimsMessage(Msg)) {
    LogDebug(kCat,
             "Message non-Glims — export ignore : " + platform::ExtractFileName(Msg.SourceFile));
    return {};
  }

  std::vector<TGlimsLogEntry> entries;
  int entryCount = 0;
  const std::string logPath = GlimsLogPath(Config);
  LoadGlimsLog(logPath, entries, entryCount);

  const std::string content =
      BuildUPLContent(Msg, ImageResults, ImgResultCount, Config, entries, entryCount);
  if (content.empty()) return {};

  const std::string path =
      FindAvailableUPLPath(Config.InfoToLis, Config.InfoToLisPrefix, FirstSampleID(Msg, "UNKNOWN"));
  const int lineCount = static_cast<int>(platform::SplitLines(content).size());
  // GLIMS takes .UPL files as soon as they appear: the file is written under
  // a hidden temporary name and renamed once complete.
  const platform::TOsResult written =
      platform::WriteFileReplacing(path, platform::Utf8ToAnsi(content), true);
  if (!written.Ok()) {
    LogError(kCat, "Erreur ecriture UPL : " + written.Text + " : " + path, EVT_GLIMS_ERROR);
    platform::AddToOutcome(Outcome, written);
    return {};
  }
  const std::string fileName = platform::ExtractFileName(path);
  LogInfo(kCat, Format("Fichier UPL genere : %s (%d ligne(s))", fileName.c_str(), lineCount));

  SaveGlimsLog(logPath, entries, entryCount);
  LogInfo(kCat, Format("Export Glims terminé — OID: %s | UPL: %s", FirstSampleID(Msg, "?").c_str(),
                       fileName.c_str()));
  return path;
}
