#include "config/UConfig.h"

#include <gtest/gtest.h>

#include <filesystem>

#include "platform/Files.h"
#include "platform/Text.h"
#include "support/SystemProbes.h"
#include "support/TempFolder.h"

using testing_support::UnwritableFolder;
using testing_support::WriteAll;

namespace {

class ConfigTest : public testing_support::TempFolderTest {
 protected:
  // The test folder stands for the executable's folder.
  std::string Exe() const { return Path(""); }
  bool Load(const std::string& ini) {
    WriteAll(Path("config.ini"), ini);
    return LoadConfig(Exe(), cfg_, val_);
  }
  // A [Main]/[Multi] text whose required folders all exist.
  std::string ValidIni(const std::string& extraMain = "") {
    for (const char* f : {"tra1", "img1", "dest", "resized", "qc", "qcrep"}) {
      std::filesystem::create_directories(Path(f));
    }
    return "[Main]\nImageDest=" + Path("dest") + "\nResizedImageDest=" + Path("resized") +
           "\nQCDest=" + Path("qc") + "\nQCReportDest=" + Path("qcrep") + "\n" + extraMain +
           "[Multi]\ninstrCount=1\ntraVelmar1=" + Path("tra1") + "\nimagesVelmar1=" + Path("img1") +
           "\n";
  }

  TAppConfig cfg_;
  TConfigValidation val_;
};

}  // namespace

TEST_F(ConfigTest, MainHeaderOnlyGivesDefaultsAndRequiredFolderErrors) {
  EXPECT_FALSE(Load("[Main]\n"));
  EXPECT_EQ(cfg_.Prefix, "UP");
  EXPECT_EQ(cfg_.Extension, "tra");
  EXPECT_EQ(cfg_.BagStart, 8);
  EXPECT_EQ(cfg_.BagLength, 9);
  EXPECT_EQ(cfg_.InstrType, "Velmar");
  EXPECT_EQ(cfg_.ImageFormat, "jpg");
  EXPECT_EQ(cfg_.Language, "fr");
  EXPECT_EQ(cfg_.Cycle, 30);
  EXPECT_EQ(cfg_.Timeout, 60);
  EXPECT_EQ(cfg_.StartingDelay, 10);
  EXPECT_EQ(cfg_.ResizeFactor, 33);
  EXPECT_EQ(cfg_.KeepImageDays, 365);
  EXPECT_EQ(cfg_.QCPerDelay, 7);
  EXPECT_EQ(cfg_.QCReportDelay, 2);
  EXPECT_EQ(cfg_.InfoToLisPrefix, "LIS");
  EXPECT_FALSE(cfg_.ColorLog);
  EXPECT_EQ(cfg_.InstrCount, 1);
  EXPECT_TRUE(cfg_.Instruments[0].Enabled);
  EXPECT_EQ(cfg_.Instruments[0].Nom, "Velmar_1");
  EXPECT_TRUE(cfg_.Instruments[0].TraFolder.empty());
  EXPECT_FALSE(cfg_.Instruments[1].Enabled);
  EXPECT_EQ(cfg_.ExeFolder, Exe());
  EXPECT_EQ(cfg_.LogFolder, Path("log"));

  EXPECT_EQ(val_.Errors, (std::vector<std::string>{
                             "[ERREUR] Instrument 1 (TraFolder) : non configuré (obligatoire)",
                             "[ERREUR] Instrument 1 (ImagesFolder) : non configuré (obligatoire)",
                             "[ERREUR] ImageDest : non configuré (obligatoire)",
                             "[ERREUR] ResizedImageDest : non configuré (obligatoire)",
                             "[ERREUR] QCDest : non configuré (obligatoire)",
                             "[ERREUR] QCReportDest : non configuré (obligatoire)"}));
  EXPECT_EQ(val_.Warnings, (std::vector<std::string>{"[AVERT.] Dest : non configuré",
                                                     "[AVERT.] Dest2 : non configuré",
                                                     "[AVERT.] Dest_Vededavav : non configuré",
                                                     "[AVERT.] Glims (InfoToLis) : non configuré",
                                                     "[AVERT.] KeepImagePath : non configuré"}));
  // The working folders exist even though the configuration is invalid.
  for (const char* f : {"log", "log/backup", "log/wrong_images", "log/done"}) {
    EXPECT_TRUE(platform::FolderExists(Path(f))) << f;
  }
}

TEST_F(ConfigTest, MissingFileIsOneErrorAndCreatesNothing) {
  EXPECT_FALSE(LoadConfig(Exe(), cfg_, val_));
  EXPECT_EQ(val_.Errors,
            (std::vector<std::string>{"[ERREUR] Fichier de configuration introuvable : " + Exe() +
                                      "config.ini"}));
  EXPECT_TRUE(val_.Warnings.empty());
  EXPECT_EQ(cfg_.LogFolder, Path("log"));
  EXPECT_FALSE(platform::FolderExists(Path("log")));
}

TEST_F(ConfigTest, ValidConfigurationHasNoErrors) {
  EXPECT_TRUE(Load(ValidIni()));
  EXPECT_TRUE(val_.IsValid);
  EXPECT_TRUE(val_.Errors.empty());
  EXPECT_EQ(cfg_.Instruments[0].TraFolder, Path("tra1"));
}

TEST_F(ConfigTest, IntegersAreClampedAndFallBackToTheirDefault) {
  struct Case {
    const char* line;
    int TAppConfig::*field;
    int expected;
  };
  const Case cases[] = {
      {"Cycle=2", &TAppConfig::Cycle, 5},
      {"Cycle=abc", &TAppConfig::Cycle, 30},
      {"Cycle=", &TAppConfig::Cycle, 30},
      {"Cycle=99999", &TAppConfig::Cycle, 3600},
      {"Cycle=$3C", &TAppConfig::Cycle, 60},
      {"Cycle=0x3c", &TAppConfig::Cycle, 60},
      {"Cycle=-40", &TAppConfig::Cycle, 5},
      {"BagLenght=3", &TAppConfig::BagLength, 3},
      {"BagLength=3", &TAppConfig::BagLength, 9},  // only the file's own spelling is read
      {"Starting_delay=0", &TAppConfig::StartingDelay, 0},
      {"ResizeFactor=250", &TAppConfig::ResizeFactor, 100},
      {"Cycle=99999999999999999999", &TAppConfig::Cycle, 30},
  };
  for (const Case& c : cases) {
    Load(std::string("[Main]\n") + c.line + "\n");
    EXPECT_EQ(cfg_.*(c.field), c.expected) << c.line;
  }
  Load("[Multi]\ninstrCount=25\n");
  EXPECT_EQ(cfg_.InstrCount, 10);
  EXPECT_TRUE(cfg_.Instruments[9].Enabled);
  EXPECT_EQ(cfg_.Instruments[9].Nom, "Velmar_10");
  Load("[Multi]\ninstrCount=0\n");
  EXPECT_EQ(cfg_.InstrCount, 1);
}

TEST_F(ConfigTest, FlagsStringsAndCase) {
  Load(
      "[MAIN]\n GDPRFile = yes \nsort_letter=  True  \nByDay=1\ncolor_log=on\n"
      "PREFIX=\nimageformat=JPG\nLanguage=NL\n");
  EXPECT_TRUE(cfg_.GDPRFile);
  EXPECT_TRUE(cfg_.SortLetter);
  EXPECT_TRUE(cfg_.ByDay);
  EXPECT_FALSE(cfg_.ColorLog);
  EXPECT_EQ(cfg_.Prefix, "");  // present but empty: not the default
  EXPECT_EQ(cfg_.ImageFormat, "jpg");
  EXPECT_EQ(cfg_.Language, "nl");
}

TEST_F(ConfigTest, FirstOccurrenceWinsAndRepeatedSectionsMerge) {
  Load(
      "; comment\n[Main]\nCycle=40\nCycle=50\n[Multi]\ninstrCount=2\n[main]\nCycle=60\n"
      "Prefix=AB\n");
  EXPECT_EQ(cfg_.Cycle, 40);
  EXPECT_EQ(cfg_.Prefix, "AB");
  EXPECT_EQ(cfg_.InstrCount, 2);
}

TEST_F(ConfigTest, ValueWarnings) {
  Load(ValidIni("keepimagedays=10000\nResizeFactor=100\nInfoToLis=" + Path("dest") +
                "\nInfoToLisPrefix=\n"));
  EXPECT_TRUE(val_.IsValid);
  const auto& w = val_.Warnings;
  EXPECT_NE(std::find(w.begin(), w.end(),
                      "[AVERT.] ResizeFactor=100 : les images ne seront pas réduites"),
            w.end());
  EXPECT_NE(
      std::find(w.begin(), w.end(), "[AVERT.] keepimagedays=10000 (~27 ans) : valeur inhabituelle"),
      w.end());
  EXPECT_NE(
      std::find(w.begin(), w.end(), "[AVERT.] InfoToLis configuré mais InfoToLisPrefix est vide"),
      w.end());
}

TEST_F(ConfigTest, MisspeltKeysAndUnreadableNumbersAreReportedLast) {
  EXPECT_TRUE(Load(ValidIni("Cylce=5\nResizeFactor=abc\nCYCLE=7\ncylce=6\n") +
                   "traVelmar11=/x\n[Other]\nAnything=1\n"));
  EXPECT_EQ(cfg_.Cycle, 7);
  EXPECT_EQ(cfg_.ResizeFactor, 33);
  // The existing entries keep their text and order; the new ones follow,
  // one per key, the key named as written.
  EXPECT_EQ(val_.Warnings, (std::vector<std::string>{
                               "[AVERT.] Dest : non configuré", "[AVERT.] Dest2 : non configuré",
                               "[AVERT.] Dest_Vededavav : non configuré",
                               "[AVERT.] Glims (InfoToLis) : non configuré",
                               "[AVERT.] KeepImagePath : non configuré",
                               "[AVERT.] ResizeFactor=abc : valeur non numérique, valeur par "
                               "défaut 33 utilisée",
                               "[AVERT.] Cylce=5 : clé inconnue dans [Main], ignorée",
                               "[AVERT.] traVelmar11=/x : clé inconnue dans [Multi], ignorée"}));
}

TEST_F(ConfigTest, ConfigFileInUtf16WithByteOrderMark) {
  const std::string text = "[Main]\r\nInstrType=Système\r\n";
  std::string utf16 = "\xFF\xFE";
  for (char32_t cp : platform::Utf8CodePoints(text)) {
    utf16 += static_cast<char>(cp & 0xFF);
    utf16 += static_cast<char>(cp >> 8);
  }
  WriteAll(Path("config.ini"), utf16);
  LoadConfig(Exe(), cfg_, val_);
  EXPECT_EQ(cfg_.InstrType, "Système");
  Load("[Main]\nInstrType=Syst\xE8me\n");  // no mark: Windows-1252
  EXPECT_EQ(cfg_.InstrType, "Système");
}

TEST_F(ConfigTest, BinaryOrEmptyFileNeverFails) {
  std::string garbage;
  for (int i = 0; i < 4096; ++i) garbage += static_cast<char>((i * 131) % 256);
  EXPECT_FALSE(Load(garbage));
  EXPECT_EQ(cfg_.Cycle, 30);
  EXPECT_FALSE(Load(""));
  EXPECT_EQ(cfg_.InstrCount, 1);
}

TEST_F(ConfigTest, PathStatusAndValidationTexts) {
  EXPECT_EQ(CheckPathStatus("  "), psNotConfigured);
  EXPECT_EQ(CheckPathStatus(Path("none")), psNotFound);
  EXPECT_EQ(CheckPathStatus(dir_), psOK);
  // Root may write anywhere: a read-only file system stands for "access denied".
  EXPECT_EQ(CheckPathStatus(UnwritableFolder()), psAccessDenied);
  // What a probe cut short by a crash leaves does not close the folder.
  WriteAll(Path("_chk_svc_.tmp"), "");
  EXPECT_EQ(CheckPathStatus(dir_), psOK);

  TConfigValidation v;
  ValidatePath(v, Path("none"), "ImageDest", true);
  ValidatePath(v, Path("none"), "Dest", false);
  ValidatePath(v, UnwritableFolder(), "Dest2", false);
  ValidatePath(v, "", "KeepImagePath", false);
  EXPECT_FALSE(v.IsValid);
  EXPECT_EQ(v.Errors, (std::vector<std::string>{
                          "[ERREUR] ImageDest : dossier introuvable [" + Path("none") + "]",
                          "[ERREUR] Dest2 : accès refusé [" + UnwritableFolder() + "]"}));
  EXPECT_EQ(v.Warnings,
            (std::vector<std::string>{"[AVERT.] Dest : dossier introuvable [" + Path("none") + "]",
                                      "[AVERT.] KeepImagePath : non configuré"}));
  FreeConfigValidation(v);
  EXPECT_TRUE(v.Errors.empty() && v.Warnings.empty());
}

TEST_F(ConfigTest, ValidationListsAndEnsureDirectory) {
  TConfigValidation v;
  AddWarning(v, "w");
  EXPECT_TRUE(v.IsValid);
  AddError(v, "e");
  AddWarning(v, "w2");
  EXPECT_FALSE(v.IsValid);
  EXPECT_TRUE(EnsureDirectory(""));
  EXPECT_TRUE(EnsureDirectory(Path("x/y")));
  EXPECT_TRUE(platform::FolderExists(Path("x/y")));
  EXPECT_FALSE(EnsureDirectory(UnwritableFolder() + "/velmar"));
}

TEST_F(ConfigTest, UnwritableLogFolderIsOnlyAWarning) {
  WriteAll(Path("log"), "a file where the log folder should be");
  Load(ValidIni());
  EXPECT_TRUE(val_.IsValid);
  const auto& w = val_.Warnings;
  EXPECT_NE(
      std::find(w.begin(), w.end(), "[AVERT.] Impossible de créer le dossier log : " + Path("log")),
      w.end());
  EXPECT_NE(std::find(w.begin(), w.end(), "[AVERT.] Impossible de créer log\\done"), w.end());
}

TEST_F(ConfigTest, RootedPathsFollowTheExecutableFolder) {
  std::filesystem::create_directories(Path("data/qc"));
  Load("[Main]\nQCDest=\\data\\qc\\\n");
  EXPECT_EQ(cfg_.QCDest, Path("data/qc"));
}
