#pragma once

// The rules that regroup a message's wells by cassette and name the
// pictures: shared by the drawing and the picture pipeline. All are pure
// functions of their arguments except GroupByCassette, which also logs.

#include <array>
#include <string>
#include <vector>

#include "astm/UASTMParser.h"
#include "imaging/URgbColor.h"

constexpr int MAX_CASSETTES = 20;
constexpr int WELLS_PER_CASSETTE = 6;

// One cassette of one message. Wells and WellUsed are indexed by well number
// 1..6 (entry 0 is unused).
struct TCassetteGroup {
  std::string CassetteID;  // trimmed; the key of the group
  std::string CassetteName;
  std::string CassetteLot;
  std::string BWImageFile;
  std::string ColorImageFile;  // the photograph the composite is built from
  TDateTime ExpDate = 0;
  std::string InstrumentID;  // of the R record holding the first M record
  std::string ReagentName;
  std::string ReagentLot;
  std::string ResultFlags;             // distinct R flags joined with "/"
  std::vector<std::string> TestNames;  // distinct R test codes (case ignored)
  std::array<TMRecord, WELLS_PER_CASSETTE + 1> Wells{};
  std::array<bool, WELLS_PER_CASSETTE + 1> WellUsed{};
  int FirstWell = 0;
  int WellCount = 0;
};

enum TAlertBorderType { abtNone = 0, abtYellow = 1, abtRed = 2 };

struct TReagentColorEntry {
  const char* Name;
  TRgbColor Color;
};

constexpr int REAGENT_COLOR_COUNT = 22;
extern const TReagentColorEntry REAGENT_COLORS[REAGENT_COLOR_COUNT];

// Fills Groups[0..Count-1] from the message's M records, in message order.
// Groups must have room for MAX_CASSETTES groups; a further cassette is
// refused with a warning.
void GroupByCassette(const TASTMMessage& Msg, TCassetteGroup* Groups, int& Count);
void FreeCassetteGroup(TCassetteGroup& Group);

// For a value starting with "=", its BagLength characters from position
// BagStart (1-based); any other value unchanged.
std::string ApplyBagRule(const std::string& Value, int BagStart, int BagLength);
// The short reagent-cell lot label of the footer ("8SSL5", "BLISS: 9" ...).
std::string ExtractCellsLot(const std::string& ReagentName, const std::string& ReagentLot,
                            const std::string& PanelName);
TRgbColor GetReagentColor(const std::string& ReagentName);
TAlertBorderType GetAlertBorderType(const std::string& FlagField);
// The used well numbers in order, without separator ("125").
std::string BuildWellsString(const TCassetteGroup& Group);
std::string SanitizePanelName(const std::string& PanelName);
// DestFolder + "Sample_Panel_Cassette_Wells.ext"; the name is one file name
// (see platform::MakeSafeFileName), so hostile values cannot leave DestFolder.
std::string BuildImageFileName(const std::string& DestFolder, const std::string& SampleID,
                               const std::string& PanelName, const TCassetteGroup& Group,
                               const std::string& ImageFormat);
