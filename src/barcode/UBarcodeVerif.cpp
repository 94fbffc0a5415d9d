#include "barcode/UBarcodeVerif.h"

#include "barcode/UZBar.h"
#include "logging/ULogger.h"
#include "platform/Text.h"

using platform::Format;

namespace {

constexpr const char* kCat = "VERIF";

// The trimmed value without its blanks and "-".
std::string WithoutBlanksAndDashes(const std::string& Value) {
  std::string Clean;
  for (char C : platform::Trim(Value)) {
    if (C != ' ' && C != '-') Clean += C;
  }
  return Clean;
}

}  // namespace

std::string NormalizeCassetteID(const std::string& Value) {
  const std::string Clean = WithoutBlanksAndDashes(Value);
  if (platform::Utf8Length(Clean) >= static_cast<size_t>(CASSETTE_ID_LENGTH)) {
    return platform::Utf8Right(Clean, CASSETTE_ID_LENGTH);
  }
  return Clean;
}

bool VerifyBarcodeOnImage(const TRasterView& Raster, const std::string& CassetteID,
                          TBarcodeVerifResult& VerifResult, std::string* BarcodeRead) {
  VerifResult = bvrSkipped;
  if (!ZBarAvailable()) {
    LogDebug(kCat, "ZBar non disponible — vérification barcode ignorée");
    return true;
  }
  if (CassetteID.empty()) return true;

  std::string BarcodeRaw;
  int ZoneHit = -1;
  for (int ZoneIdx = 0; ZoneIdx < BARCODE_SCAN_ZONE_COUNT; ++ZoneIdx) {
    const TBarcodeScanZone& Zone = BARCODE_SCAN_ZONES[ZoneIdx];
    BarcodeRaw = ZBarReadBarcode(&Raster, Zone.FirstRow, Zone.EndRow);
    if (BarcodeRaw.empty()) {
      LogDebug(kCat, Format("Zone %d : aucun barcode", ZoneIdx));
      continue;
    }
    if (BarcodeRaw.size() < 3) {
      BarcodeRaw.clear();
      continue;
    }
    ZoneHit = ZoneIdx;
    LogDebug(kCat, Format("Zone %d : barcode lu [%s]", ZoneIdx, BarcodeRaw.c_str()));
    break;
  }

  if (BarcodeRaw.empty()) {
    VerifResult = bvrNotFound;
    LogError(kCat,
             Format("BARCODE NON LU — aucun barcode détecté sur %d zone(s) — Cassette ASTM: [%s]",
                    BARCODE_SCAN_ZONE_COUNT, CassetteID.c_str()),
             EVT_PROCESSING_ERROR);
    SetFlag(FLAG_PROCESSING_ERROR, Format("Barcode non lu — Cassette: [%s]", CassetteID.c_str()));
    return false;
  }

  // An identifier made only of blanks and dashes matches no barcode.
  const std::string AssignedID = NormalizeCassetteID(CassetteID);
  std::string BarcodeID = WithoutBlanksAndDashes(BarcodeRaw);
  if (!AssignedID.empty() && BarcodeID.find(AssignedID) != std::string::npos) {
    VerifResult = bvrOK;
    LogDebug(kCat, Format("OK — [%s] dans [%s]", AssignedID.c_str(), BarcodeRaw.c_str()));
    return true;
  }
  BarcodeID = NormalizeCassetteID(BarcodeRaw);
  if (!AssignedID.empty() && platform::SameTextAscii(BarcodeID, AssignedID)) {
    VerifResult = bvrOK;
    LogDebug(kCat, Format("OK normalisé — [%s]", BarcodeID.c_str()));
    return true;
  }

  VerifResult = bvrMismatch;
  if (BarcodeRead != nullptr) *BarcodeRead = BarcodeID;
  LogError(kCat,
           Format("DISCORDANCE BARCODE — brut: [%s] normalisé: [%s] ASTM: [%s] (zone %d)",
                  BarcodeRaw.c_str(), BarcodeID.c_str(), AssignedID.c_str(), ZoneHit),
           EVT_PROCESSING_ERROR);
  SetFlag(FLAG_PROCESSING_ERROR, Format("Discordance barcode — lu: [%s] ASTM: [%s]",
                                        BarcodeID.c_str(), AssignedID.c_str()));
  return false;
}
