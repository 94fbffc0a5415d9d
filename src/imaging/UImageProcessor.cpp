// The image pipeline: one composite per cassette, saved, checked, set
// aside or bordered, and reduced.
#include "imaging/UImageProcessor.h"

#include <utility>

#include "barcode/UBarcodeVerif.h"
#include "imaging/UCompositeRender.h"
#include "imaging/UJpegCodec.h"
#include "logging/ULogger.h"
#include "platform/Files.h"
#include "platform/Text.h"

using platform::ExtractFileName;
using platform::Format;

namespace {

constexpr const char* kCat = "IMAGE";
constexpr const char* kCatResize = "RESIZE";

std::function<TBarcodeVerifResult(const TRasterView&, const std::string&)> GBarcodeCheck;

// Barcode check of the composite, read in place (no copy of the pixels).
TBarcodeVerifResult CheckBarcode(const TRaster& Bmp, const std::string& CassetteID,
                                 std::string& BarcodeRead) {
  if (GBarcodeCheck) return GBarcodeCheck(RasterView(Bmp), CassetteID);
  TBarcodeVerifResult Verif = bvrSkipped;
  VerifyBarcodeOnImage(RasterView(Bmp), CassetteID, Verif, &BarcodeRead);
  return Verif;
}

// Writes the JPEG bytes to Path under a temporary name, then renames them
// into place; true when the file exists afterwards. Logs in "RESIZE".
bool WritePicture(const std::string& Jpeg, const std::string& Path, const char* WriteErrorPrefix,
                  const std::string& ErrorSuffix, const std::string& MissingPrefix,
                  platform::TStageOutcome* Outcome) {
  const platform::TOsResult Written = platform::WriteFileReplacing(Path, Jpeg);
  if (!Written.Ok()) {
    LogError(kCatResize, WriteErrorPrefix + Written.Text + ErrorSuffix, 0);
    // A picture the machine could not write is made again once it can.
    platform::AddToOutcome(Outcome, Written);
    return false;
  }
  if (!platform::FileExists(Path)) {
    LogError(kCatResize, MissingPrefix + Path, 0);
    return false;
  }
  return true;
}

// The full-size save. Encoded receives the JPEG bytes whenever encoding
// succeeded (also when writing then failed): they are the file's content,
// so the picture can be reloaded from them without reading the file.
bool SaveFullSize(const TRaster& Bmp, const std::string& Path, std::string& Encoded,
                  platform::TStageOutcome* Outcome) {
  std::string Error;
  if (!EncodeJpeg(Bmp, Encoded, Error)) {
    LogError(kCatResize, "Erreur sauvegarde : " + Error, 0);
    return false;
  }
  if (!WritePicture(Encoded, Path, "Erreur sauvegarde : ", "", "Fichier manquant : ", Outcome)) {
    return false;
  }
  LogDebug(kCatResize, "Sauvegardé 100% → " + ExtractFileName(Path));
  return true;
}

void LogGenerated(TAlertBorderType Border, const std::string& OutputPath,
                  const TCassetteGroup& Group) {
  const std::string Name = ExtractFileName(OutputPath);
  const std::string Wells = BuildWellsString(Group);
  LogInfo(kCat,
          Format(Border == abtRed ? "Image générée — %s [Cassette: %s Puits: %s Alerte: ROUGE]"
                 : Border == abtYellow ? "Image générée — %s [Cassette: %s Puits: %s Alerte: JAUNE]"
                                       : "Image générée — %s [Cassette: %s Puits: %s]",
                 Name.c_str(), Group.CassetteID.c_str(), Wells.c_str()));
}

}  // namespace

int ReducedSide(int Side, int ResizeFactor) {
  // Side * ResizeFactor / 100 rounded to the nearest, halves to even.
  const int64_t Scaled = int64_t{Side} * ResizeFactor;
  int64_t Result = Scaled / 100;
  const int64_t Rest = Scaled % 100;
  if (Rest > 50 || (Rest == 50 && Result % 2 != 0)) ++Result;
  return static_cast<int>(std::max<int64_t>(Result, 1));
}

bool ResizeAndSave(const TRaster& SourceBmp, const std::string& Path, int ResizeFactor,
                   platform::TStageOutcome* Outcome) {
  std::string Jpeg;
  if (ResizeFactor >= 100) return SaveFullSize(SourceBmp, Path, Jpeg, Outcome);
  // The copy is reduced from the pixels themselves: going through a JPEG
  // of them first would only add a generation of compression loss.
  std::string Error;
  TRaster Reduced;
  if (!ShrinkRaster(SourceBmp, Reduced, ReducedSide(SourceBmp.Width, ResizeFactor),
                    ReducedSide(SourceBmp.Height, ResizeFactor), Error) ||
      !EncodeJpeg(Reduced, Jpeg, Error)) {
    LogError(kCatResize, "Erreur resize : " + Error + " → " + Path, 0);
    return false;
  }
  FreeRaster(Reduced);
  if (!WritePicture(Jpeg, Path, "Erreur resize : ", " → " + Path,
                    "Fichier manquant après sauvegarde : ", Outcome)) {
    return false;
  }
  LogDebug(kCatResize,
           Format("Redimensionné %d%% → %s", ResizeFactor, ExtractFileName(Path).c_str()));
  return true;
}

bool MoveToWrongImages(const std::string& LogFolder, std::string& OutputPath) {
  const std::string WrongFolder = platform::JoinPath(LogFolder, "wrong_images");
  (void)platform::MakeFolders(WrongFolder);
  if (!platform::FileExists(OutputPath)) return false;
  const std::string Name = ExtractFileName(OutputPath);
  const std::string Target = platform::JoinPath(WrongFolder, Name);
  platform::TMoveHow How = platform::TMoveHow::renamed;
  const platform::TOsResult Moved = platform::MoveFileReplacing(OutputPath, Target, How);
  if (!Moved.Ok()) {
    LogError(kCat, "Erreur déplacement wrong_images : " + Moved.Text, 0);
    return false;
  }
  OutputPath = Target;
  // The second line marks a picture that replaced one of the same name, or
  // one copied across file systems.
  LogInfo(kCat, (How == platform::TMoveHow::renamed ? "Image déplacée vers wrong_images : "
                                                    : "Image copiée vers wrong_images : ") +
                    Name);
  return true;
}

bool GenerateCompositeImage(const TASTMMessage& Msg, const TCassetteGroup& Group,
                            const TAppConfig& Config, const std::string& ImagesPath,
                            const std::string& Validation, TImageResult& Result,
                            platform::TStageOutcome* Outcome) {
  Result = TImageResult{};
  const bool HasOrder = Msg.OrderCount() > 0;
  const std::string SampleID = HasOrder ? Msg.Orders[0].SampleID : std::string();
  const std::string PanelName = HasOrder ? Msg.Orders[0].TestName : std::string();
  const std::string& ColorFile = Group.ColorImageFile;

  // A photograph name that would lead out of the images folder is missing,
  // and so is anything but a regular file of that name: a link could lead
  // anywhere, a FIFO would block the reading.
  const std::string RawColorPath = platform::IsPlainFileName(ColorFile)
                                       ? platform::JoinPath(ImagesPath, ColorFile)
                                       : std::string();
  if (RawColorPath.empty() || !platform::IsRegularFile(RawColorPath)) {
    Result.ErrorDetail = "Image brute Color introuvable : " + ColorFile;
    LogError(kCat, Result.ErrorDetail, EVT_PROCESSING_ERROR);
    SetFlag(FLAG_PROCESSING_ERROR, "Image brute introuvable : " + ColorFile);
    return false;
  }

  std::string Error;
  TCanvas Dest;
  if (!LoadCanvasFonts(Error)) {
    Result.ErrorDetail = "Police Arial introuvable : " + Error;
    LogError(kCat, Result.ErrorDetail, EVT_PROCESSING_ERROR);
    return false;
  }
  // The whole photograph is decoded here, so that a damaged or truncated
  // one fails this cassette only.
  {
    std::string Bytes;
    const platform::TOsResult Read = platform::ReadFileBytes(RawColorPath, Bytes);
    if (!Read.Ok()) Error = Read.Text;
    if (!Read.Ok() || !CropAndAssembleFromJpeg(Bytes, Dest, Error)) {
      Result.ErrorDetail = "Erreur chargement image : " + Error;
      LogError(kCat, Result.ErrorDetail + " [" + ColorFile + "]", EVT_PROCESSING_ERROR);
      return false;
    }
  }
  const int Width = Dest.Bmp.Width;
  const int Height = Dest.Bmp.Height;
  MaskUnusedWells(Dest, Width, Group);
  DrawHeader(Dest, Width, Msg, Group, Config.Language, Config.BagStart, Config.BagLength);
  DrawReagentGrid(Dest, Width, Group, Config.BagStart, Config.BagLength);
  DrawFooter(Dest, Width, Group, Validation, Config.Language, PanelName);

  std::string OutputPath =
      BuildImageFileName(Config.ImageDestFolder, SampleID, PanelName, Group, Config.ImageFormat);
  const TAlertBorderType AlertBorder = GetAlertBorderType(Group.ResultFlags);

  // The JPEG bytes of the picture as saved: the border is drawn on them
  // decoded, exactly what reading the file back would give.
  std::string Saved;
  if (!SaveFullSize(Dest.Bmp, OutputPath, Saved, Outcome)) {
    Result.ErrorDetail = "Sauvegarde composite échouée : " + OutputPath;
    return false;
  }

  Result.Cassette = Group.CassetteID;
  Result.VerifResult = CheckBarcode(Dest.Bmp, Group.CassetteID, Result.BarcodeRead);
  const bool Passed = Result.VerifResult == bvrOK || Result.VerifResult == bvrSkipped;
  if (!Passed && !MoveToWrongImages(Config.LogFolder, OutputPath)) {
    // A picture whose barcode failed never stays where the laboratory system
    // takes pictures from: it is removed, and the set-aside is made again
    // with the whole message once the log folder can take it.
    (void)platform::RemoveFile(OutputPath);
    if (Outcome != nullptr) Outcome->MachineFault("wrong_images : " + ExtractFileName(OutputPath));
    Result.ErrorDetail = "Mise à l'écart impossible : " + ExtractFileName(OutputPath);
    return false;
  }

  // False once Dest no longer holds the picture saved (a failed reload):
  // the full-size file then stays as it is, without a reduced copy.
  bool PixelsValid = true;
  if (AlertBorder != abtNone && Passed) {
    // The border goes onto the picture as saved (its JPEG decoded), like a
    // reload of the file, then the file is saved again.
    PixelsValid = DecodeJpeg(Saved, Dest.Bmp, Error);
    if (PixelsValid) {
      DrawAlertBorder(Dest, Width, Height, AlertBorder);
      SaveFullSize(Dest.Bmp, OutputPath, Saved, Outcome);
    } else {
      LogError(kCat,
               "Erreur chargement image : " + Error + " [" + ExtractFileName(OutputPath) + "]",
               EVT_PROCESSING_ERROR);
    }
  }
  Result.OutputPath = OutputPath;

  if (Passed && PixelsValid && Config.ResizeFactor < 100 && !Config.ResizedImageDest.empty()) {
    const std::string ResizedPath =
        platform::JoinPath(Config.ResizedImageDest, ExtractFileName(OutputPath));
    if (ResizeAndSave(Dest.Bmp, ResizedPath, Config.ResizeFactor, Outcome)) {
      Result.ResizedPath = ResizedPath;
      if (!platform::SameTextAscii(ResizedPath, OutputPath)) {
        (void)platform::RemoveFile(OutputPath);
      }
      Result.OutputPath = ResizedPath;
    }
  }

  Result.Success = true;
  LogGenerated(AlertBorder, OutputPath, Group);
  return true;
}

int ProcessASTMMessage(const TASTMMessage& Msg, const TAppConfig& Config,
                       const std::string& ImagesFolder, const std::string& Validation,
                       TImageResult* Results, int ResultCapacity,
                       platform::TStageOutcome* Outcome) {
  if (Results == nullptr) ResultCapacity = 0;
  for (int i = 0; i < ResultCapacity; ++i) Results[i] = TImageResult{};
  if (!Msg.IsValid) {
    LogWarning(kCat, "Message ASTM invalide — traitement ignoré", 0);
    return 0;
  }
  LogDebug(
      "IMAGE",
      Format("ProcessASTMMessage — ImageDestFolder=[%s] ResizedImageDest=[%s] ResizeFactor=%d",
             Config.ImageDestFolder.c_str(), Config.ResizedImageDest.c_str(), Config.ResizeFactor));
  std::vector<TCassetteGroup> Groups(MAX_CASSETTES);
  int GroupCount = 0;
  GroupByCassette(Msg, Groups.data(), GroupCount);
  LogInfo(kCat, Format("Traitement %d cassette(s) depuis : %s", GroupCount,
                       ExtractFileName(Msg.SourceFile).c_str()));
  int Count = 0;
  for (int i = 0; i < GroupCount; ++i) {
    TImageResult One;
    if (GenerateCompositeImage(Msg, Groups[i], Config, ImagesFolder, Validation, One, Outcome)) {
      if (Count < ResultCapacity) Results[Count] = std::move(One);
      ++Count;
    } else {
      LogError(kCat,
               Format("Échec génération cassette %s : %s", Groups[i].CassetteID.c_str(),
                      One.ErrorDetail.c_str()),
               EVT_PROCESSING_ERROR);
    }
    FreeCassetteGroup(Groups[i]);
  }
  LogInfo(kCat, Format("%d/%d image(s) générée(s) avec succès", Count, GroupCount));
  return Count;
}

void SetBarcodeCheckForTesting(
    std::function<TBarcodeVerifResult(const TRasterView&, const std::string&)> Check) {
  GBarcodeCheck = std::move(Check);
}
