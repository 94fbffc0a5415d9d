// Cassette grouping and the small naming rules of the pictures.
#include "imaging/UCassetteRules.h"

#include <algorithm>

#include "logging/ULogger.h"
#include "platform/Files.h"
#include "platform/Text.h"

using platform::Trim;

const TReagentColorEntry REAGENT_COLORS[REAGENT_COLOR_COUNT] = {
    {"Anti-A", {116, 180, 207}},    {"Anti-B", {228, 233, 89}},
    {"Anti-C", {238, 152, 135}},    {"Anti-C 2nd", {238, 152, 135}},
    {"Anti-c", {186, 140, 166}},    {"Anti-c 2nd", {186, 140, 166}},
    {"Anti-D", {174, 164, 155}},    {"Anti-D 2nd", {174, 164, 155}},
    {"Anti-E", {134, 99, 88}},      {"Anti-E 2nd", {134, 99, 88}},
    {"Anti-e", {82, 238, 93}},      {"Anti-e 2nd", {82, 238, 93}},
    {"Anti-K", {255, 255, 255}},    {"Anti-K 3rd", {255, 255, 255}},
    {"Ctrl", {255, 255, 255}},      {"A1-Cells", {255, 127, 127}},
    {"B-Cells", {255, 127, 127}},   {"IgG", {143, 217, 188}},
    {"0.8-Surg1", {252, 130, 127}}, {"0.8-Surg2", {252, 130, 127}},
    {"0.8-Surg3", {252, 130, 127}}, {"C3b C3d", {255, 255, 255}},
};

namespace {

constexpr const char* kCat = "IMAGE";

constexpr TRgbColor DS_REAGENT_COLOR{246, 225, 110};

TCassetteGroup* FindGroup(TCassetteGroup* Groups, int Count, const std::string& CassID) {
  for (int i = 0; i < Count; ++i) {
    if (Groups[i].CassetteID == CassID) return &Groups[i];
  }
  return nullptr;
}

void StartGroup(TCassetteGroup& Group, const std::string& CassID, const TMRecord& M,
                const TRRecord& R) {
  Group = TCassetteGroup{};
  Group.CassetteID = CassID;
  Group.CassetteName = M.CassetteName;
  Group.BWImageFile = M.BWImageFile;
  Group.ColorImageFile = M.ColorImageFile;
  Group.ExpDate = M.ExpDate;
  Group.CassetteLot = M.CassetteLot;
  Group.InstrumentID = R.InstrumentID;
}

void AddRecord(TCassetteGroup& Group, const TMRecord& M, const TRRecord& R) {
  if (!Group.WellUsed[M.WellNr]) {
    Group.Wells[M.WellNr] = M;
    Group.WellUsed[M.WellNr] = true;
    ++Group.WellCount;
  }
  if (!R.TestCode.empty() &&
      std::none_of(Group.TestNames.begin(), Group.TestNames.end(), [&](const std::string& Name) {
        return platform::SameTextAscii(Name, R.TestCode);
      })) {
    Group.TestNames.push_back(R.TestCode);
  }
  // A flag already present anywhere in the text, even inside a longer one,
  // is not added again.
  if (!R.ResultFlag.empty() && !platform::Contains(Group.ResultFlags, R.ResultFlag)) {
    if (!Group.ResultFlags.empty()) Group.ResultFlags += '/';
    Group.ResultFlags += R.ResultFlag;
  }
  if (Group.ReagentLot.empty() && !M.ReagentLot.empty()) {
    Group.ReagentLot = M.ReagentLot;
    Group.ReagentName = M.ReagentName;
  }
}

bool IsAsciiNameChar(char C) {
  return (C >= 'A' && C <= 'Z') || (C >= 'a' && C <= 'z') || (C >= '0' && C <= '9') || C == '+' ||
         C == '-' || C == '_';
}

}  // namespace

void GroupByCassette(const TASTMMessage& Msg, TCassetteGroup* Groups, int& Count) {
  Count = 0;
  if (Groups == nullptr) return;
  for (const TOrderRecord& Order : Msg.Orders) {
    for (const TRRecord& R : Order.RRecords) {
      for (const TMRecord& M : R.MRecords) {
        const std::string CassID = Trim(M.CassetteID);
        if (CassID.empty() || M.WellNr < 1 || M.WellNr > WELLS_PER_CASSETTE) continue;
        TCassetteGroup* Group = FindGroup(Groups, Count, CassID);
        if (Group == nullptr) {
          if (Count >= MAX_CASSETTES) {
            LogWarning(kCat,
                       platform::Format("Max cassettes atteint (%d) — CassID ignoré: %s",
                                        MAX_CASSETTES, CassID.c_str()),
                       0);
            continue;
          }
          Group = &Groups[Count++];
          StartGroup(*Group, CassID, M, R);
        }
        AddRecord(*Group, M, R);
      }
    }
  }
}

void FreeCassetteGroup(TCassetteGroup& Group) {
  Group.TestNames.clear();
  Group.TestNames.shrink_to_fit();
}

std::string ApplyBagRule(const std::string& Value, int BagStart, int BagLength) {
  if (Value.empty() || Value[0] != '=' || BagStart <= 0 || BagLength <= 0 ||
      static_cast<size_t>(BagStart) > platform::Utf8Length(Value)) {
    return Value;
  }
  return platform::Utf8Mid(Value, static_cast<size_t>(BagStart - 1),
                           static_cast<size_t>(BagLength));
}

std::string ExtractCellsLot(const std::string& ReagentName, const std::string& ReagentLot,
                            const std::string& PanelName) {
  const std::string CLot = Trim(ReagentLot);
  std::string CTyp = Trim(ReagentName);
  if (CTyp.empty() || CLot.empty()) return {};
  std::string CLotLabel;
  std::string SurgNum;
  const size_t Surg = CTyp.find("Surg");
  if (Surg != std::string::npos) {
    const size_t After = Surg + 4;
    if (After < CTyp.size() && CTyp[After] >= '1' && CTyp[After] <= '9') {
      SurgNum = CTyp.substr(After, 1);
    }
    CTyp = "8SS";
  } else if (platform::Contains(CTyp, "C Cell")) {
    CTyp = "R8C";
  } else if (platform::Contains(CTyp, "C Enz")) {
    CTyp = "R8E";
  } else if ((platform::Contains(CTyp, "A1") || platform::Contains(CTyp, "B")) &&
             !platform::Contains(CTyp, "BLISS")) {
    CTyp = "8A";
  } else if (platform::Contains(CTyp, "BLISS")) {
    CTyp.clear();
    CLotLabel = "BLISS: ";
  }
  std::string Result = CLotLabel + CTyp + CLot;
  if (platform::Contains(platform::UpperAscii(PanelName), "TITRATION") && !SurgNum.empty()) {
    Result += " c:" + SurgNum;
  }
  return Result;
}

TRgbColor GetReagentColor(const std::string& ReagentName) {
  const std::string Name = Trim(ReagentName);
  if (Name.empty()) return COLOR_WHITE;
  if (platform::StartsWith(platform::UpperAscii(Name), "DS-")) return DS_REAGENT_COLOR;
  for (const TReagentColorEntry& Entry : REAGENT_COLORS) {
    if (Name == Entry.Name) return Entry.Color;
  }
  return COLOR_WHITE;
}

TAlertBorderType GetAlertBorderType(const std::string& FlagField) {
  static const char* const RED_FLAGS[] = {"M", "Q", "S", "T", "X", "E", "I", "F", "C", "NA", "R"};
  const std::string Field = Trim(FlagField);
  if (Field.empty()) return abtNone;
  bool Yellow = false;
  for (const std::string& Piece : platform::SplitKeepEmpty(Field, '/')) {
    const std::string Item = platform::UpperAscii(Trim(Piece));
    if (Item == "P") Yellow = true;
    for (const char* Red : RED_FLAGS) {
      if (Item == Red) return abtRed;
    }
  }
  return Yellow ? abtYellow : abtNone;
}

std::string BuildWellsString(const TCassetteGroup& Group) {
  std::string Wells;
  for (int Well = 1; Well <= WELLS_PER_CASSETTE; ++Well) {
    if (Group.WellUsed[Well]) Wells += static_cast<char>('0' + Well);
  }
  return Wells;
}

std::string SanitizePanelName(const std::string& PanelName) {
  std::string Name;
  for (char C : PanelName) Name += IsAsciiNameChar(C) ? C : '_';
  std::string Collapsed;
  for (char C : Name) {
    if (C == '_' && !Collapsed.empty() && Collapsed.back() == '_') continue;
    Collapsed += C;
  }
  while (!Collapsed.empty() && Collapsed.back() == '_') Collapsed.pop_back();
  return Collapsed;
}

std::string BuildImageFileName(const std::string& DestFolder, const std::string& SampleID,
                               const std::string& PanelName, const TCassetteGroup& Group,
                               const std::string& ImageFormat) {
  const std::string Name = SampleID + "_" + SanitizePanelName(PanelName) + "_" + Group.CassetteID +
                           "_" + BuildWellsString(Group) + "." + platform::LowerAscii(ImageFormat);
  return platform::JoinPath(DestFolder, platform::MakeSafeFileName(Name));
}
