#include "config/UConfig.h"

#include <algorithm>

#include "platform/Files.h"
#include "platform/ProcessInfo.h"
#include "platform/Text.h"

using platform::Format;
using platform::LowerAscii;
using platform::Trim;

namespace {

constexpr const char* kProbeFileName = "_chk_svc_.tmp";

// The keys of [Main] that are read; any other key there is reported, since a
// misspelt key would otherwise leave its setting at the default unnoticed.
constexpr const char* kMainKeys[] = {
    "Prefix",          "Extension",        "BagStart",     "BagLenght",
    "InstrType",       "ImageFormat",      "Language",     "Cycle",
    "Timeout",         "Starting_delay",   "ResizeFactor", "keepimagedays",
    "QCPerDelay",      "GDPRFile",         "Sort_Letter",  "ByDay",
    "color_log",       "Environ_messages", "QC_messages",  "Dest",
    "Dest2",           "Dest_Vededavav",   "ImageDest",    "ResizedImageDest",
    "keepimagepath",   "QCDest",           "QCReportDest", "InfoToLis",
    "InfoToLisPrefix", "StatusPage"};

bool IsKnownKey(const std::string& section, const std::string& key) {
  const std::string k = LowerAscii(key);
  if (section == "main") {
    for (const char* known : kMainKeys) {
      if (k == LowerAscii(known)) return true;
    }
    return false;
  }
  if (k == "instrcount") return true;
  for (int n = 1; n <= MAX_INSTRUMENTS; ++n) {
    if (k == "travelmar" + std::to_string(n) || k == "imagesvelmar" + std::to_string(n))
      return true;
  }
  return false;
}

// A string key: the value as written, the default when the key is missing
// (a present but empty key gives the empty string).
std::string ReadString(const TIniData& ini, const std::string& section, const std::string& key,
                       const std::string& def) {
  std::string value;
  return ini.Find(section, key, value) ? value : def;
}

std::string ReadPath(const TIniData& ini, const std::string& section, const std::string& key,
                     const std::string& exeFolder) {
  return NormalizePath(ReadString(ini, section, key, ""), exeFolder);
}

}  // namespace

bool TIniData::Find(const std::string& section, const std::string& key, std::string& value) const {
  const auto s = Sections.find(LowerAscii(section));
  if (s == Sections.end()) return false;
  const auto k = s->second.find(LowerAscii(key));
  if (k == s->second.end()) return false;
  value = k->second;
  return true;
}

TIniData ParseIni(const std::string& text) {
  TIniData ini;
  std::map<std::string, std::string>* current = nullptr;
  std::string currentName;
  for (const std::string& raw : platform::SplitLines(text)) {
    const std::string line = Trim(raw);
    if (line.empty() || line[0] == ';') continue;
    if (line.front() == '[' && line.back() == ']' && line.size() >= 2) {
      currentName = LowerAscii(Trim(line.substr(1, line.size() - 2)));
      current = &ini.Sections[currentName];
      continue;
    }
    const size_t eq = line.find('=');
    if (current == nullptr || eq == std::string::npos) continue;
    const std::string key = LowerAscii(Trim(line.substr(0, eq)));
    if (key.empty()) continue;
    current->emplace(key, Trim(line.substr(eq + 1)));  // the first occurrence wins
    ini.KeyLines.push_back({currentName, Trim(line.substr(0, eq)), Trim(line.substr(eq + 1))});
  }
  return ini;
}

int ReadIntValue(const TIniData& Ini, const std::string& Section, const std::string& Key,
                 int Default, int MinVal, int MaxVal) {
  std::string text;
  int32_t value = Default;
  if (!Ini.Find(Section, Key, text) || !platform::TryStrToInt(Trim(text), value)) value = Default;
  if (value < MinVal) value = MinVal;
  if (value > MaxVal) value = MaxVal;
  return value;
}

bool ReadBoolValue(const TIniData& Ini, const std::string& Section, const std::string& Key,
                   bool Default) {
  std::string text;
  if (!Ini.Find(Section, Key, text)) return Default;
  const std::string v = platform::UpperAscii(Trim(text));
  if (v.empty()) return Default;
  return v == "YES" || v == "TRUE" || v == "1";
}

void AddError(TConfigValidation& Validation, const std::string& Msg) {
  Validation.Errors.push_back("[ERREUR] " + Msg);
  Validation.IsValid = false;
}

void AddWarning(TConfigValidation& Validation, const std::string& Msg) {
  Validation.Warnings.push_back("[AVERT.] " + Msg);
}

bool IsDirectoryWriteable(const std::string& AName) {
  return platform::ProbeWritable(AName, kProbeFileName);
}

TPathStatus CheckPathStatus(const std::string& Path) {
  if (Trim(Path).empty()) return psNotConfigured;
  if (!platform::FolderExists(Path)) return psNotFound;
  if (!IsDirectoryWriteable(Path)) return psAccessDenied;
  return psOK;
}

void ValidatePath(TConfigValidation& Validation, const std::string& Path, const std::string& Label_,
                  bool Required) {
  switch (CheckPathStatus(Path)) {
    case psOK:
      break;
    case psNotFound: {
      const std::string msg = Label_ + " : dossier introuvable [" + Path + "]";
      Required ? AddError(Validation, msg) : AddWarning(Validation, msg);
      break;
    }
    case psAccessDenied:
      AddError(Validation, Label_ + " : accès refusé [" + Path + "]");
      break;
    case psNotConfigured:
      if (Required) {
        AddError(Validation, Label_ + " : non configuré (obligatoire)");
      } else {
        AddWarning(Validation, Label_ + " : non configuré");
      }
      break;
  }
}

bool EnsureDirectory(const std::string& Path) {
  if (Trim(Path).empty() || platform::FolderExists(Path)) return true;
  return platform::MakeFolders(Path).Ok();
}

std::string NormalizePath(const std::string& RawPath, const std::string& ExeFolder) {
  std::string path = Trim(RawPath);
  if (path.empty()) return path;
  // One leading backslash: a rooted Windows-style path, taken relative to the
  // executable's folder. "\\server" (a share) keeps its two separators.
  const bool rooted = path[0] == '\\' && (path.size() == 1 || path[1] != '\\');
  path = platform::ToSystemSeparators(path);
  if (rooted) path = platform::ExcludeTrailingDelimiter(ExeFolder) + path;
  return platform::ExcludeTrailingDelimiter(path);
}

void FreeConfigValidation(TConfigValidation& Validation) {
  Validation.Errors.clear();
  Validation.Warnings.clear();
}

bool LoadConfig(const std::string& exeFolder, TAppConfig& Config, TConfigValidation& Validation) {
  Config = TAppConfig{};
  Validation = TConfigValidation{};

  const std::string ExeFolder = platform::IncludeTrailingDelimiter(exeFolder);
  Config.ExeFolder = ExeFolder;
  Config.LogFolder = platform::JoinPath(ExeFolder, "log");
  const std::string iniPath = platform::JoinPath(ExeFolder, CONFIG_FILENAME);

  if (!platform::FileExists(iniPath)) {
    AddError(Validation, "Fichier de configuration introuvable : " + iniPath);
    return false;
  }

  // An unreadable file reads as an empty one: every key takes its default.
  std::string bytes;
  (void)platform::ReadFileBytes(iniPath, bytes);
  const TIniData ini = ParseIni(platform::DecodeText(bytes, platform::TNoBomEncoding::ansi));

  // A number key whose value is written but is not a number reads as its
  // default; it is reported once the other entries are in.
  std::vector<std::string> numberWarnings;
  auto readInt = [&](const std::string& section, const std::string& key, int def, int lo, int hi) {
    std::string text;
    int32_t value = 0;
    if (ini.Find(section, key, text) && !Trim(text).empty() &&
        !platform::TryStrToInt(Trim(text), value)) {
      numberWarnings.push_back(
          key + "=" + text + Format(" : valeur non numérique, valeur par défaut %d utilisée", def));
    }
    return ReadIntValue(ini, section, key, def, lo, hi);
  };

  const std::string M = "Main";
  Config.Prefix = ReadString(ini, M, "Prefix", "UP");
  Config.Extension = ReadString(ini, M, "Extension", "tra");
  Config.BagStart = readInt(M, "BagStart", 8, 1, 50);
  Config.BagLength = readInt(M, "BagLenght", 9, 1, 50);
  Config.InstrType = ReadString(ini, M, "InstrType", "Velmar");
  Config.ImageFormat = LowerAscii(ReadString(ini, M, "ImageFormat", "jpg"));
  Config.Language = LowerAscii(ReadString(ini, M, "Language", "fr"));
  Config.Cycle = readInt(M, "Cycle", DEFAULT_CYCLE, 5, 3600);
  Config.Timeout = readInt(M, "Timeout", DEFAULT_TIMEOUT, 5, 600);
  Config.StartingDelay = readInt(M, "Starting_delay", 10, 0, 300);
  Config.ResizeFactor = readInt(M, "ResizeFactor", DEFAULT_RESIZE, 1, 100);
  Config.KeepImageDays = readInt(M, "keepimagedays", DEFAULT_KEEPDAYS, 1, 36500);
  Config.QCPerDelay = readInt(M, "QCPerDelay", DEFAULT_QCPERDAY, 1, 365);
  Config.GDPRFile = ReadBoolValue(ini, M, "GDPRFile", false);
  Config.SortLetter = ReadBoolValue(ini, M, "Sort_Letter", false);
  Config.ByDay = ReadBoolValue(ini, M, "ByDay", false);
  Config.ColorLog = ReadBoolValue(ini, M, "color_log", false);
  Config.EnvironMessages = ReadBoolValue(ini, M, "Environ_messages", false);
  Config.QCMessages = ReadBoolValue(ini, M, "QC_messages", false);
  Config.StatusPage = ReadBoolValue(ini, M, "StatusPage", true);
  Config.Dest = ReadPath(ini, M, "Dest", ExeFolder);
  Config.Dest2 = ReadPath(ini, M, "Dest2", ExeFolder);
  Config.Dest_Vededavav = ReadPath(ini, M, "Dest_Vededavav", ExeFolder);
  Config.ImageDestFolder = ReadPath(ini, M, "ImageDest", ExeFolder);
  Config.ResizedImageDest = ReadPath(ini, M, "ResizedImageDest", ExeFolder);
  Config.KeepImagePath = ReadPath(ini, M, "keepimagepath", ExeFolder);
  Config.QCDest = ReadPath(ini, M, "QCDest", ExeFolder);
  Config.QCReportDest = ReadPath(ini, M, "QCReportDest", ExeFolder);
  Config.InfoToLis = ReadPath(ini, M, "InfoToLis", ExeFolder);
  Config.InfoToLisPrefix = ReadString(ini, M, "InfoToLisPrefix", "LIS");
  Config.QCReportDelay = DEFAULT_QCDELAY;

  Config.InstrCount = readInt("Multi", "instrCount", 1, 1, MAX_INSTRUMENTS);
  for (int n = 1; n <= Config.InstrCount; ++n) {
    TInstrumentConfig& instr = Config.Instruments[n - 1];
    instr.TraFolder = ReadPath(ini, "Multi", "traVelmar" + std::to_string(n), ExeFolder);
    instr.ImagesFolder = ReadPath(ini, "Multi", "imagesVelmar" + std::to_string(n), ExeFolder);
    instr.Nom = "Velmar_" + std::to_string(n);
    instr.Enabled = true;
  }

  for (int n = 1; n <= Config.InstrCount; ++n) {
    const TInstrumentConfig& instr = Config.Instruments[n - 1];
    ValidatePath(Validation, instr.TraFolder, Format("Instrument %d (TraFolder)", n), true);
    ValidatePath(Validation, instr.ImagesFolder, Format("Instrument %d (ImagesFolder)", n), true);
  }
  ValidatePath(Validation, Config.ImageDestFolder, "ImageDest", true);
  ValidatePath(Validation, Config.ResizedImageDest, "ResizedImageDest", true);
  ValidatePath(Validation, Config.QCDest, "QCDest", true);
  ValidatePath(Validation, Config.QCReportDest, "QCReportDest", true);
  ValidatePath(Validation, Config.Dest, "Dest", false);
  ValidatePath(Validation, Config.Dest2, "Dest2", false);
  ValidatePath(Validation, Config.Dest_Vededavav, "Dest_Vededavav", false);
  ValidatePath(Validation, Config.InfoToLis, "Glims (InfoToLis)", false);
  ValidatePath(Validation, Config.KeepImagePath, "KeepImagePath", false);

  if (Config.ResizeFactor == 100) {
    AddWarning(Validation, "ResizeFactor=100 : les images ne seront pas réduites");
  }
  if (Config.KeepImageDays > 9000) {
    AddWarning(Validation, Format("keepimagedays=%d (~%d ans) : valeur inhabituelle",
                                  Config.KeepImageDays, Config.KeepImageDays / 365));
  }
  if (!Config.InfoToLis.empty() && Config.InfoToLisPrefix.empty()) {
    AddWarning(Validation, "InfoToLis configuré mais InfoToLisPrefix est vide");
  }

  if (!EnsureDirectory(Config.LogFolder)) {
    AddWarning(Validation, "Impossible de créer le dossier log : " + Config.LogFolder);
  }
  if (!EnsureDirectory(platform::JoinPath(Config.LogFolder, "backup"))) {
    AddWarning(Validation, "Impossible de créer log\\backup");
  }
  if (!EnsureDirectory(platform::JoinPath(Config.LogFolder, "wrong_images"))) {
    AddWarning(Validation, "Impossible de créer log\\wrong_images");
  }
  if (!EnsureDirectory(platform::JoinPath(Config.LogFolder, "done"))) {
    AddWarning(Validation, "Impossible de créer log\\done");
  }

  for (const std::string& w : numberWarnings) AddWarning(Validation, w);
  std::vector<std::string> reported;
  for (const TIniData::TKeyLine& line : ini.KeyLines) {
    if (line.Section != "main" && line.Section != "multi") continue;
    if (IsKnownKey(line.Section, line.Key)) continue;
    const std::string k = LowerAscii(line.Section + "/" + line.Key);
    if (std::find(reported.begin(), reported.end(), k) != reported.end()) continue;
    reported.push_back(k);
    AddWarning(Validation, line.Key + "=" + line.Value + " : clé inconnue dans [" +
                               (line.Section == "main" ? "Main" : "Multi") + "], ignorée");
  }
  return Validation.IsValid;
}
