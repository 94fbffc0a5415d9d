#include "barcode/UZBar.h"

#include <zbar.h>

#include <algorithm>
#include <cstring>

#include "logging/ULogger.h"
#include "platform/Clock.h"
#include "platform/DynLib.h"
#include "platform/Files.h"
#include "platform/SystemNames.h"
#include "platform/Text.h"

using platform::Format;
using namespace zbar;

namespace {

constexpr const char* kCat = "ZBAR";
constexpr const char* kPerf = "PERF";

// Mean grey under which a row or a column counts as dark (and is blanked).
constexpr int kDarkMean = 40;

// Entry point types, taken from the library's own declarations.
using TImageScannerCreate = decltype(&zbar_image_scanner_create);
using TImageScannerDestroy = decltype(&zbar_image_scanner_destroy);
using TImageScannerSetCfg = decltype(&zbar_image_scanner_set_config);
using TImageCreate = decltype(&zbar_image_create);
using TImageDestroy = decltype(&zbar_image_destroy);
using TImageSetSize = decltype(&zbar_image_set_size);
using TImageSetFormat = decltype(&zbar_image_set_format);
using TImageSetData = decltype(&zbar_image_set_data);
using TScanImage = decltype(&zbar_scan_image);
using TImageFirstSymbol = decltype(&zbar_image_first_symbol);
using TSymbolGetData = decltype(&zbar_symbol_get_data);
using TSymbolNext = decltype(&zbar_symbol_next);

// Module state. Set by InitZBar during the service start, before the
// processing thread reads barcodes; read by that thread only afterwards.
platform::TDynLib* GHLib = nullptr;
bool GInitialized = false;
std::string GSystemLibraryForTesting;  // empty: the platform's names

TImageScannerCreate FImageScannerCreate = nullptr;
TImageScannerDestroy FImageScannerDestroy = nullptr;
TImageScannerSetCfg FImageScannerSetCfg = nullptr;
TImageCreate FImageCreate = nullptr;
TImageDestroy FImageDestroy = nullptr;
TImageSetSize FImageSetSize = nullptr;
TImageSetFormat FImageSetFormat = nullptr;
TImageSetData FImageSetData = nullptr;
TScanImage FScanImage = nullptr;
TImageFirstSymbol FImageFirstSymbol = nullptr;
TSymbolGetData FSymbolGetData = nullptr;
TSymbolNext FSymbolNext = nullptr;

// The entry point `ExportName` of the loaded library, or null (then logs the
// warning "Fonction introuvable dans DLL : <name>").
platform::TDynProc LoadProc(const char* ExportName) {
  platform::TDynProc Proc = platform::DynLibProc(GHLib, ExportName);
  if (Proc == nullptr)
    LogWarning(kCat, std::string("Fonction introuvable dans DLL : ") + ExportName, 0);
  return Proc;
}

template <typename T>
void Bind(T& Entry, const char* Name) {
  Entry = reinterpret_cast<T>(LoadProc(Name));
}

void UnbindAll() {
  FImageScannerCreate = nullptr;
  FImageScannerDestroy = nullptr;
  FImageScannerSetCfg = nullptr;
  FImageCreate = nullptr;
  FImageDestroy = nullptr;
  FImageSetSize = nullptr;
  FImageSetFormat = nullptr;
  FImageSetData = nullptr;
  FScanImage = nullptr;
  FImageFirstSymbol = nullptr;
  FSymbolGetData = nullptr;
  FSymbolNext = nullptr;
}

void ReleaseLibrary() {
  UnbindAll();
  platform::CloseDynLib(GHLib);
  GHLib = nullptr;
}

bool IsFullCode(const std::string& Text) {
  return Text.size() >= 16 && Text.size() <= 22 && platform::IsDigits(Text);
}

int ElapsedMs(int64_t Start) {
  return static_cast<int>(platform::MonotonicMs() - Start);
}

// The copy beside the executable goes by the first of the library's names;
// empty when the platform names none.
std::string LocalLibraryPath(const std::string& Folder) {
  const std::vector<std::string> Names = platform::BarcodeLibraryNames();
  if (Names.empty()) return {};
  return platform::JoinPath(Folder, Names.front());
}

// Opens the first of the library's names the system can load, searched the
// system's way: GHLib is set and LoadedPath names the file loaded. Each
// failure is logged in debug; false when none loads.
bool OpenSystemLibrary(std::string& LoadedPath) {
  const std::vector<std::string> Names = GSystemLibraryForTesting.empty()
                                             ? platform::BarcodeLibraryNames()
                                             : std::vector<std::string>{GSystemLibraryForTesting};
  for (const std::string& Name : Names) {
    const platform::TOsResult Opened = platform::OpenDynLib(Name, GHLib);
    if (Opened.Ok()) {
      LoadedPath = platform::DynLibPath(GHLib);
      if (LoadedPath.empty()) LoadedPath = Name;
      return true;
    }
    LogDebug(kCat, Opened.Text);
  }
  return false;
}

}  // namespace

bool InitZBar(const std::string& Folder) {
  if (GInitialized && GHLib != nullptr) return true;

  const std::string LocalPath = LocalLibraryPath(Folder);
  std::string LoadedPath;
  if (LocalPath.empty() || !platform::FileExists(LocalPath)) {
    // No copy beside the executable: the system's library, when installed.
    if (!OpenSystemLibrary(LoadedPath)) {
      // The executable carries no copy of the library to write out: the
      // reader is unavailable, announced by its usual three lines.
      LogInfo(kCat, "libzbar-32.dll absente — extraction depuis ressources...");
      LogWarning(kCat, "Ressource LIBZBAR32 introuvable dans l'exe — DLL non embarquée ?", 0);
      LogWarning(kCat, "Impossible d'extraire libzbar-32.dll — vérification barcode désactivée", 0);
      return false;
    }
  } else {
    const platform::TOsResult Opened = platform::OpenDynLib(LocalPath, GHLib);
    if (!Opened.Ok()) {
      LogDebug(kCat, Opened.Text);
      LogWarning(kCat,
                 Format("LoadLibrary échoué pour %s (erreur %d) — vérification barcode désactivée",
                        LocalPath.c_str(), Opened.Code),
                 0);
      return false;
    }
    LoadedPath = LocalPath;
  }

  Bind(FImageScannerCreate, "zbar_image_scanner_create");
  Bind(FImageScannerDestroy, "zbar_image_scanner_destroy");
  Bind(FImageScannerSetCfg, "zbar_image_scanner_set_config");
  Bind(FImageCreate, "zbar_image_create");
  Bind(FImageDestroy, "zbar_image_destroy");
  Bind(FImageSetSize, "zbar_image_set_size");
  Bind(FImageSetFormat, "zbar_image_set_format");
  Bind(FImageSetData, "zbar_image_set_data");
  Bind(FScanImage, "zbar_scan_image");
  Bind(FImageFirstSymbol, "zbar_image_first_symbol");
  Bind(FSymbolGetData, "zbar_symbol_get_data");
  Bind(FSymbolNext, "zbar_symbol_next");

  if (FImageScannerCreate == nullptr || FScanImage == nullptr || FImageFirstSymbol == nullptr ||
      FSymbolGetData == nullptr) {
    LogWarning(kCat, "Fonctions ZBar essentielles manquantes — vérification barcode désactivée", 0);
    ReleaseLibrary();
    return false;
  }
  // Every entry point is called on the way to a read, so a reader missing
  // any of them is as unavailable as one without the library.
  if (FImageScannerDestroy == nullptr || FImageScannerSetCfg == nullptr ||
      FImageCreate == nullptr || FImageDestroy == nullptr || FImageSetSize == nullptr ||
      FImageSetFormat == nullptr || FImageSetData == nullptr || FSymbolNext == nullptr) {
    LogWarning(kCat, "Fonctions ZBar manquantes — vérification barcode désactivée", 0);
    ReleaseLibrary();
    return false;
  }

  GInitialized = true;
  LogInfo(kCat, "ZBar initialisé avec succès — " + LoadedPath);
  return true;
}

void FinalizeZBar() {
  ReleaseLibrary();
  GInitialized = false;
}

bool ZBarAvailable() {
  return GInitialized && GHLib != nullptr;
}

void SetZBarSystemLibraryForTesting(const std::string& Name) {
  GSystemLibraryForTesting = Name;
}

std::vector<uint8_t> BitmapZoneToY800(const TRasterView* Raster, int Y1, int Y2, int& Width,
                                      int& Height) {
  Width = 0;
  Height = 0;
  if (Raster == nullptr) return {};
  const int W = Raster->Width;
  if (Y1 < 0) Y1 = 0;
  if (Y2 >= Raster->Height) Y2 = Raster->Height - 1;
  if (Y1 >= Y2 || W <= 0) return {};
  // A view that does not hold whole rows of W pixels is not read at all.
  if (Raster->Pixels == nullptr || Raster->Stride < 0 ||
      static_cast<int64_t>(Raster->Stride) < static_cast<int64_t>(W) * 4)
    return {};

  const size_t RowCount = static_cast<size_t>(Y2 - Y1);
  const size_t PaddedWidth = static_cast<size_t>(W) + 2 * ZBAR_MARGIN;
  auto RowAt = [&](int Y) { return Raster->Pixels + static_cast<size_t>(Y) * Raster->Stride; };
  auto Grey = [](const uint8_t* Px) {
    // Pixels are stored B, G, R, X.
    return static_cast<uint8_t>((77u * Px[2] + 150u * Px[1] + 29u * Px[0]) >> 8);
  };

  // First pass: the grey rows between their white margins, the mean of each
  // row, and the column sums over the rows that are not dark.
  std::vector<uint8_t> Buffer(PaddedWidth * RowCount, 0);
  std::vector<bool> IsBlackRow(RowCount, false);
  std::vector<uint64_t> ColSum(static_cast<size_t>(W), 0);
  uint64_t NLines = 0;
  for (size_t R = 0; R < RowCount; ++R) {
    const uint8_t* Row = RowAt(Y1 + static_cast<int>(R));
    uint8_t* Out = Buffer.data() + R * PaddedWidth;
    std::memset(Out, 255, ZBAR_MARGIN);
    std::memset(Out + ZBAR_MARGIN + W, 255, ZBAR_MARGIN);
    Out += ZBAR_MARGIN;
    uint64_t Sum = 0;
    for (int X = 0; X < W; ++X) {
      Out[X] = Grey(Row + 4 * static_cast<size_t>(X));
      Sum += Out[X];
    }
    IsBlackRow[R] = Sum / static_cast<uint64_t>(W) < kDarkMean;
    if (IsBlackRow[R]) continue;
    ++NLines;
    for (int X = 0; X < W; ++X) ColSum[static_cast<size_t>(X)] += Out[X];
  }
  std::vector<bool> WhiteCol(static_cast<size_t>(W), false);
  if (NLines > 0)
    for (size_t X = 0; X < static_cast<size_t>(W); ++X)
      WhiteCol[X] = ColSum[X] / NLines < kDarkMean;

  // Second pass: dark rows and dark columns are blanked to white.
  for (size_t R = 0; R < RowCount; ++R) {
    uint8_t* Out = Buffer.data() + R * PaddedWidth + ZBAR_MARGIN;
    if (IsBlackRow[R]) {
      std::memset(Out, 255, static_cast<size_t>(W));
      continue;
    }
    for (size_t X = 0; X < static_cast<size_t>(W); ++X)
      if (WhiteCol[X]) Out[X] = 255;
  }
  Width = static_cast<int>(PaddedWidth);
  Height = static_cast<int>(RowCount);
  return Buffer;
}

void BinarizeBuffer(uint8_t* Buffer, size_t Size, int Threshold) {
  if (Buffer == nullptr) return;
  for (size_t I = 0; I < Size; ++I) Buffer[I] = Buffer[I] >= Threshold ? 255 : 0;
}

int ComputeP10Threshold(const uint8_t* Buffer, size_t Size) {
  size_t Histogram[256] = {};
  if (Buffer != nullptr)
    for (size_t I = 0; I < Size; ++I) ++Histogram[Buffer[I]];
  const size_t Target = Size / 10;
  size_t Cumul = 0;
  for (int L = 0; L < 256; ++L) {
    Cumul += Histogram[L];
    if (Cumul >= Target) return std::min(L + 30, 200);
  }
  return 200;
}

void InvertY800(uint8_t* Buffer, size_t Size) {
  if (Buffer == nullptr) return;
  for (size_t I = 0; I < Size; ++I) Buffer[I] = static_cast<uint8_t>(255 - Buffer[I]);
}

bool IsAcceptedBarcode(const std::string& Text) {
  if (Text.empty()) return false;
  if (platform::IsDigits(Text)) return Text.size() >= 16 && Text.size() <= 22;
  return Text.size() >= 5 && Text.size() <= 12;
}

std::string ScanY800Buffer(zbar::zbar_image_scanner_s* Scanner, const uint8_t* Buffer, int Width,
                           int Height, const std::string& Tag) {
  if (!ZBarAvailable() || Scanner == nullptr || Buffer == nullptr || Width <= 0 || Height <= 0)
    return {};
  zbar_image_t* Image = FImageCreate();
  if (Image == nullptr) return {};
  FImageSetSize(Image, static_cast<unsigned>(Width), static_cast<unsigned>(Height));
  FImageSetFormat(Image, ZBAR_FMT_Y800);
  // No cleanup handler: the buffer stays ours.
  FImageSetData(Image, Buffer,
                static_cast<unsigned long>(Width) * static_cast<unsigned long>(Height), nullptr);

  const int64_t Start = platform::MonotonicMs();
  const int NSym = FScanImage(Scanner, Image);
  LogInfo(kPerf, Format("FScanImage [%s] = %dms (NSym=%d)", Tag.c_str(), ElapsedMs(Start), NSym));

  std::string Result;
  if (NSym > 0) {
    for (const zbar_symbol_t* Sym = FImageFirstSymbol(Image); Sym != nullptr;
         Sym = FSymbolNext(Sym)) {
      const char* Data = FSymbolGetData(Sym);
      const std::string Text = Data != nullptr ? Data : "";
      if (IsFullCode(Text)) {
        Result = Text;
        break;
      }
      if (Text.size() > Result.size()) Result = Text;
    }
  }
  if (!Result.empty()) LogDebug(kCat, Format("Barcode lu : %s (%s)", Result.c_str(), Tag.c_str()));
  FImageDestroy(Image);
  return Result;
}

std::string ZBarReadBarcode(const TRasterView* Raster, int Y1, int Y2) {
  if (!ZBarAvailable() || Raster == nullptr) return {};

  int W = 0;
  int H = 0;
  const int64_t Start = platform::MonotonicMs();
  std::vector<uint8_t> GrayBuf = BitmapZoneToY800(Raster, Y1, Y2, W, H);
  LogInfo(kPerf, Format("BitmapToY800=%dms (Y=%d..%d W=%d H=%d)", ElapsedMs(Start), Y1, Y2, W, H));
  if (GrayBuf.empty()) {
    LogWarning(kCat,
               Format("Conversion Y800 échouée (bitmap H=%d Y=%d..%d)", Raster->Height, Y1, Y2), 0);
    return {};
  }

  const size_t Size = GrayBuf.size();
  std::vector<uint8_t> WorkBuf(Size);
  zbar_image_scanner_t* Scanner = FImageScannerCreate();
  if (Scanner == nullptr) {
    LogWarning(kCat, "zbar_image_scanner_create échoué", 0);
    return {};
  }
  // Check digits are verified for every symbology (Code 128 and Code 39
  // named too) and kept in the data read.
  FImageScannerSetCfg(Scanner, ZBAR_NONE, ZBAR_CFG_ADD_CHECK, 0);
  FImageScannerSetCfg(Scanner, ZBAR_CODE128, ZBAR_CFG_ADD_CHECK, 1);
  FImageScannerSetCfg(Scanner, ZBAR_CODE39, ZBAR_CFG_ADD_CHECK, 1);
  FImageScannerSetCfg(Scanner, ZBAR_NONE, ZBAR_CFG_ADD_CHECK, 1);
  FImageScannerSetCfg(Scanner, ZBAR_NONE, ZBAR_CFG_EMIT_CHECK, 1);

  // Each pass prepares a fresh copy of the grey band.
  auto Pass = [&](int Threshold, bool Invert, const std::string& Tag) {
    std::memcpy(WorkBuf.data(), GrayBuf.data(), Size);
    BinarizeBuffer(WorkBuf.data(), Size, Threshold);
    if (Invert) InvertY800(WorkBuf.data(), Size);
    return ScanY800Buffer(Scanner, WorkBuf.data(), W, H, Tag);
  };

  std::string Result = Pass(ZBAR_FIXED_THRESHOLD, false, "f83");
  if (!IsAcceptedBarcode(Result)) Result = Pass(ZBAR_FIXED_THRESHOLD, true, "f83i");
  if (!IsAcceptedBarcode(Result)) {
    const int T = ComputeP10Threshold(GrayBuf.data(), Size);
    LogDebug(kCat, Format("Fallback P10=%d (Y=%d..%d)", T, Y1, Y2));
    Result = Pass(T, false, Format("p%d", T));
    if (!IsAcceptedBarcode(Result)) Result = Pass(T, true, Format("p%di", T));
  }
  FImageScannerDestroy(Scanner);

  if (!IsAcceptedBarcode(Result)) {
    LogWarning(kCat, Format("Échec lecture Y=%d..%d", Y1, Y2), 0);
    return {};
  }
  return Result;
}
