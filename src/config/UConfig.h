#pragma once

// The configuration record and its loading from config.ini beside the
// executable: defaults, bounds, folder normalisation and validation. Loading
// never fails loudly: every problem becomes an error or a warning entry of a
// TConfigValidation, reported later by the logger.

#include <array>
#include <cstdint>
#include <map>
#include <string>
#include <vector>

constexpr int MAX_INSTRUMENTS = 10;
constexpr int DEFAULT_CYCLE = 30;
constexpr int DEFAULT_RESIZE = 33;
constexpr int DEFAULT_KEEPDAYS = 365;
constexpr int DEFAULT_TIMEOUT = 60;
constexpr int DEFAULT_QCDELAY = 2;
constexpr int DEFAULT_QCPERDAY = 7;
constexpr const char* CONFIG_FILENAME = "config.ini";

struct TInstrumentConfig {
  std::string Nom;           // "Velmar_" + n
  std::string TraFolder;     // where the instrument writes its result files
  std::string ImagesFolder;  // the instrument's cassette photographs
  bool Enabled = false;
};

// The whole configuration as one plain value. Folder paths are normalised
// (no trailing separator; empty means "not configured").
struct TAppConfig {
  int InstrCount = 0;
  // Instruments[n - 1] is instrument n (1..InstrCount); the others stay empty.
  std::array<TInstrumentConfig, MAX_INSTRUMENTS> Instruments{};
  std::string Prefix;
  std::string Extension;
  int BagStart = 0;
  int BagLength = 0;
  std::string InstrType;
  std::string ImageDestFolder;
  std::string ResizedImageDest;
  int ResizeFactor = 0;
  std::string KeepImagePath;
  int KeepImageDays = 0;
  std::string ImageFormat;
  std::string Dest;
  std::string Dest2;
  std::string QCDest;
  std::string QCReportDest;
  int QCPerDelay = 0;
  int QCReportDelay = 0;  // always DEFAULT_QCDELAY
  std::string InfoToLis;
  std::string InfoToLisPrefix;
  std::string Dest_Vededavav;
  int Cycle = 0;
  int Timeout = 0;
  int StartingDelay = 0;
  std::string Language;
  bool GDPRFile = false;
  bool SortLetter = false;
  bool ByDay = false;
  bool ColorLog = false;
  bool EnvironMessages = false;
  bool QCMessages = false;
  bool StatusPage = true;  // status.html written beside status.txt every cycle
  std::string LogFolder;   // ExeFolder + "log", no trailing separator
  std::string ExeFolder;   // with its trailing separator
};

struct TConfigValidation {
  bool IsValid = true;
  std::vector<std::string> Errors;    // each begins with "[ERREUR] "
  std::vector<std::string> Warnings;  // each begins with "[AVERT.] "
};

enum TPathStatus { psOK = 0, psNotFound = 1, psAccessDenied = 2, psNotConfigured = 3 };

// An INI file in memory: section and key names compared without case; the
// first occurrence of a key wins (keys of a repeated section are merged).
struct TIniData {
  // Lower-cased section -> lower-cased key -> value as written (trimmed).
  std::map<std::string, std::map<std::string, std::string>> Sections;
  // Every key line in file order: lower-cased section, key and value as
  // written (trimmed), so that a key can be named as the user spelt it.
  struct TKeyLine {
    std::string Section;
    std::string Key;
    std::string Value;
  };
  std::vector<TKeyLine> KeyLines;

  // The value of Section/Key; false when the key is absent.
  bool Find(const std::string& section, const std::string& key, std::string& value) const;
};

// Parses INI text (already decoded to UTF-8).
TIniData ParseIni(const std::string& text);

// Loads config.ini from a given folder (with its trailing separator), which
// stands for the executable's folder: ExeFolder, LogFolder and rooted paths
// follow it.
bool LoadConfig(const std::string& exeFolder, TAppConfig& Config, TConfigValidation& Validation);

int ReadIntValue(const TIniData& Ini, const std::string& Section, const std::string& Key,
                 int Default, int MinVal, int MaxVal);
bool ReadBoolValue(const TIniData& Ini, const std::string& Section, const std::string& Key,
                   bool Default);

// --- Validation and path helpers ----------------------------------------------
void AddError(TConfigValidation& Validation, const std::string& Msg);
void AddWarning(TConfigValidation& Validation, const std::string& Msg);
void ValidatePath(TConfigValidation& Validation, const std::string& Path, const std::string& Label_,
                  bool Required);
TPathStatus CheckPathStatus(const std::string& Path);
bool IsDirectoryWriteable(const std::string& AName);
bool EnsureDirectory(const std::string& Path);
// Trims blanks, writes the separators as this system does ("\" becomes "/"
// on Linux), places a path that begins with one "\" under `ExeFolder` (a
// Windows-style rooted path), keeps a path the system calls absolute as it
// is ("\\srv\share" stays a share: "//srv/share" on Linux), and removes
// one trailing separator.
std::string NormalizePath(const std::string& RawPath, const std::string& ExeFolder);
void FreeConfigValidation(TConfigValidation& Validation);
