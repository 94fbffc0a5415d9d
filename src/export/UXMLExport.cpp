#include "export/UXMLExport.h"

#include "logging/ULogger.h"
#include "platform/Files.h"
#include "platform/Text.h"

using platform::Contains;
using platform::Format;
using platform::Trim;

namespace {

constexpr const char* kCat = "XML";
constexpr const char* kUtf8Bom = "\xEF\xBB\xBF";
constexpr const char* kCrLf = "\r\n";

// The first M record of the result that names a screening reagent, or null.
const TMRecord* FirstScreeningWell(const TRRecord& r) {
  for (const TMRecord& m : r.MRecords) {
    if (GetSurgURClassID(m.Reagent) != 0) return &m;
  }
  return nullptr;
}

void AddLine(std::string& doc, const std::string& line) {
  doc += line;
  doc += kCrLf;
}

}  // namespace

int GetSurgURClassID(const std::string& ReagentName) {
  const std::string name = Trim(ReagentName);
  if (Contains(name, "Surg1") || Contains(name, "surg1")) return UR_SURG1_ID;
  if (Contains(name, "Surg2") || Contains(name, "surg2")) return UR_SURG2_ID;
  if (Contains(name, "Surg3") || Contains(name, "surg3")) return UR_SURG3_ID;
  return 0;
}

bool IsSurgiscreenMessage(const TASTMMessage& Msg) {
  if (!Msg.IsValid) return false;
  for (const TOrderRecord& o : Msg.Orders) {
    for (const TRRecord& r : o.RRecords) {
      if (FirstScreeningWell(r) != nullptr) return true;
    }
  }
  return false;
}

std::string XMLEscape(const std::string& S) {
  std::string out;
  out.reserve(S.size() + S.size() / 8);
  for (const char c : S) {
    switch (c) {
      case '&':
        out += "&amp;";
        break;
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        // Control characters make the document ill-formed: the reader would
        // reject it whole, so they are left out.
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n' && c != '\r') break;
        out += c;
    }
  }
  return out;
}

std::string FormatASTMDateForXML(const std::string& DateStr, bool ShortForm) {
  const std::string s = Trim(DateStr);
  // Cut by characters so that a stray multi-byte character is never split.
  const size_t length = platform::Utf8Length(s);
  if (ShortForm) return length < 8 ? std::string() : platform::Utf8Left(s, 8);
  return length > 14 ? platform::Utf8Left(s, 14) : s;
}

std::string BuildXMLContent(const TASTMMessage& Msg) {
  std::string doc;
  AddLine(doc, "<?xml version=\"1.0\"?>");
  AddLine(doc, "<doc>");
  // The name components go crosswise: FirstName carries the second component
  // of the received name, FamilyName the first. The dates are escaped too, so
  // that a damaged date field can never break the document.
  AddLine(doc,
          Format(" <Patient PID=\"%s\" FirstName=\"%s\" FamilyName=\"%s\" BirthDate=\"%s\">",
                 XMLEscape(Msg.Patient.PatientID).c_str(), XMLEscape(Msg.Patient.LastName).c_str(),
                 XMLEscape(Msg.Patient.FirstName).c_str(),
                 XMLEscape(FormatASTMDateForXML(Msg.Patient.BirthDateStr, true)).c_str()));
  for (const TOrderRecord& o : Msg.Orders) {
    AddLine(doc, Format("  <Sample SampleID=\"%s\" SampleType=\"%s\">",
                        XMLEscape(o.SampleID).c_str(), XMLEscape(o.SampleType).c_str()));
    const std::string date =
        FormatASTMDateForXML(platform::FormatDateTime("yyyymmddhhnnss", o.ReportDate), false);
    for (const TRRecord& r : o.RRecords) {
      const TMRecord* panel = FirstScreeningWell(r);
      if (panel == nullptr) continue;
      AddLine(doc, Format("    <Test Program=\"%s\" PanelClass=\"%s\" PanelLot=\"%s\" "
                          "PanelExpirationDate=\"%s\" Date=\"%s\">",
                          XML_PROGRAM, XMLEscape(panel->ReagentName).c_str(),
                          XMLEscape(panel->ReagentLot).c_str(),
                          XMLEscape(FormatASTMDateForXML(panel->ReagentExpDate, true)).c_str(),
                          XMLEscape(date).c_str()));
      for (const TMRecord& m : r.MRecords) {
        const int classID = GetSurgURClassID(m.Reagent);
        if (classID == 0) continue;
        AddLine(doc,
                Format("    <Result Hole=\"%d\" ImageName=\"%s\" URClassID=\"%d\" "
                       "URClassName=\"%s\" URValue=\"%d\" />",
                       m.WellNr, XML_IMAGE_NAME, classID, XMLEscape(m.Reagent).c_str(), m.Grade));
      }
      AddLine(doc, "   </Test>");
    }
    AddLine(doc, "    </Sample>");
  }
  AddLine(doc, " </Patient>");
  AddLine(doc, "</doc>");
  return doc;
}

std::string ExportToXML(const TASTMMessage& Msg, const std::string& DestFolder,
                        platform::TStageOutcome* Outcome) {
  if (!Msg.IsValid) {
    LogWarning(kCat, "Message ASTM invalide — export XML ignoré", 0);
    return {};
  }
  const std::string fileName = platform::ExtractFileName(Msg.SourceFile);
  if (!IsSurgiscreenMessage(Msg)) {
    LogDebug(kCat, "Pas de réactif Surg — export XML non requis : " + fileName);
    return {};
  }
  if (Trim(DestFolder).empty()) {
    LogWarning(kCat, "Dossier destination XML non configuré", 0);
    return {};
  }
  const std::string target = platform::JoinPath(DestFolder, fileName);
  if (!platform::FolderExists(DestFolder)) {
    const platform::TOsResult made = platform::MakeFolders(DestFolder);
    if (!made.Ok()) {
      LogError(kCat, "Impossible de créer dossier XML : " + DestFolder, EVT_PROCESSING_ERROR);
      platform::AddToOutcome(Outcome, made);
      return {};
    }
  }
  // The reader takes documents from the folder as they appear: the document
  // is written under a hidden temporary name and renamed over any older one
  // only once complete, so neither a half-written file nor a gap is seen.
  const std::string bytes = kUtf8Bom + BuildXMLContent(Msg);
  const platform::TOsResult written = platform::WriteFileReplacing(target, bytes, true);
  if (!written.Ok()) {
    LogError(kCat, "Erreur écriture XML : " + written.Text + " → " + target, EVT_PROCESSING_ERROR);
    platform::AddToOutcome(Outcome, written);
    return {};
  }
  LogInfo(kCat, Format("Export XML généré — %s [%s]", fileName.c_str(),
                       ("Patient: " + Msg.Patient.PatientID).c_str()));
  return target;
}
