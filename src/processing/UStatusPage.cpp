#include "processing/UStatusPage.h"

#include <algorithm>

#include "export/UXMLExport.h"
#include "imaging/UImageCanvas.h"
#include "imaging/UImageShrink.h"
#include "imaging/UJpegCodec.h"
#include "platform/CodePages.h"
#include "platform/Files.h"
#include "platform/Text.h"

namespace {

constexpr const char* kTimeFormat = "dd/mm/yyyy hh:nn:ss";
// A flag's last line is read from the end of its file only.
constexpr size_t kFlagTailBytes = 4096;

std::string Time(TDateTime Value) {
  return Value > 0 ? platform::FormatDateTime(kTimeFormat, Value) : "—";
}

// The page's look: plain, readable from afar, one colour per state.
constexpr const char* kStyle =
    R"(body{font-family:Arial,Helvetica,sans-serif;margin:16px;color:#222}
h1{font-size:22px;margin:0 0 4px}
h2{font-size:17px;margin:18px 0 6px;border-bottom:1px solid #ccc}
.written{font-size:14px;background:#fff3cd;border:1px solid #e0c36a;padding:4px 8px;display:inline-block}
table{border-collapse:collapse}
td,th{padding:3px 8px;text-align:left;font-size:14px;border-bottom:1px solid #eee}
.ok{background:#2e7d32;color:#fff}
.down{background:#c62828;color:#fff}
.bad{color:#c62828}
.aside td{vertical-align:top}
.thumb{border:3px solid #ff6f00;display:block}
.none{color:#777;font-style:italic}
)";

void Row(std::string& Html, std::initializer_list<std::string> Cells, const char* Class = nullptr) {
  Html += Class ? std::string("<tr class=\"") + Class + "\">" : std::string("<tr>");
  for (const std::string& Cell : Cells) Html += "<td>" + Cell + "</td>";
  Html += "</tr>\n";
}

// A file name as one segment of a relative link: everything but ASCII
// letters, digits and "-._~" percent-encoded, and "." and ".." themselves
// too, so that no name can leave the folder it is linked in or end the
// attribute.
std::string LinkSegment(const std::string& Name) {
  static const char* kHex = "0123456789ABCDEF";
  const bool Dots = Name == "." || Name == "..";
  std::string Out;
  for (const char c : Name) {
    const bool Plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                       c == '-' || c == '_' || c == '~' || (c == '.' && !Dots);
    if (Plain) {
      Out += c;
      continue;
    }
    const unsigned char u = static_cast<unsigned char>(c);
    Out += '%';
    Out += kHex[u >> 4];
    Out += kHex[u & 15];
  }
  return Out;
}

void Nothing(std::string& Html, const char* Text) {
  Html += std::string("<p class=\"none\">") + Text + "</p>\n";
}

}  // namespace

std::string BuildStatusPage(const TStatusPageData& Data) {
  // XML's escaping is HTML's too: text and quoted attribute values.
  const auto E = XMLEscape;
  std::string Html;
  Html.reserve(16384);
  Html += "<!DOCTYPE html>\n<html lang=\"fr\">\n<head>\n<meta charset=\"utf-8\">\n";
  // Reloaded by the browser once a cycle: still no script.
  Html += "<meta http-equiv=\"refresh\" content=\"" +
          std::to_string(std::max(Data.CycleSeconds, 5)) + "\">\n";
  Html += "<title>Velmar Image Service — état</title>\n<style>\n";
  Html += kStyle;
  Html += "</style>\n</head>\n<body>\n";
  Html += "<h1>Velmar Image Service — " + E(Data.State) + "</h1>\n";
  Html += "<p class=\"written\">page écrite à " + Time(Data.Written) + " — cycle " +
          std::to_string(Data.CycleSeconds) +
          " s : une heure plus ancienne que deux cycles veut dire que le service "
          "n'écrit plus cette page</p>\n";
  Html += "<p>Cycle " + std::to_string(Data.Cycle) + " terminé à " + Time(Data.CycleTime) +
          " — fichiers traités depuis le démarrage : " + std::to_string(Data.Processed) +
          ", en échec : " + std::to_string(Data.Failed) + "</p>\n";

  Html += "<h2>Instruments</h2>\n";
  if (Data.Instruments.empty()) {
    Nothing(Html, "Aucun instrument visité pour l'instant.");
  } else {
    Html += "<table class=\"instruments\">\n";
    for (const TStatusPageInstrument& I : Data.Instruments) {
      const std::string State =
          I.Reachable ? "accessible" : "inaccessible depuis " + Time(I.UnreachableSince);
      Row(Html,
          {"Instrument " + std::to_string(I.Number), State,
           std::to_string(I.Waiting) + " fichier(s) en attente", E(I.Folder)},
          I.Reachable ? "ok" : "down");
    }
    Html += "</table>\n";
  }

  Html += "<h2>Derniers fichiers</h2>\n";
  if (Data.RecentFiles.empty()) {
    Nothing(Html, "Aucun fichier traité depuis le démarrage.");
  } else {
    Html +=
        "<table class=\"files\">\n<tr><th>Heure</th><th>Fichier</th><th>Échantillon</th>"
        "<th>Résultat</th></tr>\n";
    for (const TStatusPageFile& F : Data.RecentFiles) {
      Row(Html, {Time(F.Time), E(F.Name), E(F.SampleID), E(F.Outcome)}, F.Good ? nullptr : "bad");
    }
    Html += "</table>\n";
  }

  Html += "<h2>Images mises de côté (log/wrong_images)</h2>\n";
  if (Data.SetAside.empty()) {
    Nothing(Html, "Aucune image mise de côté depuis le démarrage.");
  } else {
    Html += "<table class=\"aside\">\n";
    for (const TStatusPageSetAside& A : Data.SetAside) {
      // Relative links that stay in the install folder.
      const std::string Picture = "log/wrong_images/" + LinkSegment(A.Picture);
      const std::string Thumb =
          A.Thumbnail.empty() ? std::string("<span class=\"none\">pas de vignette</span>")
                              : "<a href=\"" + Picture + "\"><img class=\"thumb\" src=\"log/" +
                                    STATUS_PAGE_THUMB_SUBFOLDER + "/" + LinkSegment(A.Thumbnail) +
                                    "\" width=\"" + std::to_string(STATUS_PAGE_THUMB_WIDTH) +
                                    "\" alt=\"" + E(A.Picture) + "\"></a>";
      Row(Html, {Thumb, Time(A.Time) + "<br>" + E(A.Picture) + "<br>échantillon " + E(A.SampleID) +
                            "<br><span class=\"bad\">" + E(A.Reason) + "</span>"});
    }
    Html += "</table>\n";
  }

  Html += "<h2>Lots QC</h2>\n";
  if (Data.Lots.empty()) {
    Nothing(Html, "Aucun rapport de lot dû ni écrit au dernier contrôle.");
  } else {
    Html += "<table class=\"lots\">\n<tr><th>Lot</th><th>Péremption</th><th>Rapport</th></tr>\n";
    for (const TStatusPageLot& L : Data.Lots) Row(Html, {E(L.Lot), E(L.Expiry), E(L.State)});
    Html += "</table>\n";
  }

  Html += "<h2>Drapeaux</h2>\n";
  if (Data.Flags.empty()) {
    Nothing(Html, "Aucun drapeau levé.");
  } else {
    Html += "<table class=\"flags\">\n";
    for (const TStatusPageFlag& F : Data.Flags) Row(Html, {E(F.Name), E(F.LastLine)}, "bad");
    Html += "</table>\n";
  }
  Html += "</body>\n</html>\n";
  return Html;
}

std::vector<TStatusPageFlag> ReadFlagLines(const std::string& ExeFolder,
                                           const std::vector<std::string>& FlagFiles) {
  std::vector<TStatusPageFlag> Flags;
  for (const std::string& Name : FlagFiles) {
    std::string Tail;
    (void)platform::ReadFileTail(platform::JoinPath(ExeFolder, Name), kFlagTailBytes, Tail);
    while (!Tail.empty() && (Tail.back() == '\n' || Tail.back() == '\r')) Tail.pop_back();
    const size_t Start = Tail.find_last_of("\r\n");
    Flags.push_back(
        {Name, platform::AnsiToUtf8(Start == std::string::npos ? Tail : Tail.substr(Start + 1))});
  }
  return Flags;
}

bool MakeStatusThumbnail(const std::string& PicturePath, const std::string& LogFolder,
                         const std::string& Thumbnail) {
  std::string Jpeg;
  std::string Error;
  if (!platform::ReadFileBytes(PicturePath, Jpeg).Ok()) return false;
  TRaster Picture;
  if (!DecodeJpeg(Jpeg, Picture, Error) || Picture.Width <= 0) return false;
  const int Height = std::max(1, static_cast<int>(static_cast<int64_t>(Picture.Height) *
                                                  STATUS_PAGE_THUMB_WIDTH / Picture.Width));
  TRaster Small;
  const bool Shrunk = ShrinkRaster(Picture, Small, STATUS_PAGE_THUMB_WIDTH, Height, Error);
  FreeRaster(Picture);
  std::string Out;
  const bool Encoded = Shrunk && EncodeJpeg(Small, Out, Error);
  FreeRaster(Small);
  if (!Encoded) return false;
  const std::string Folder = platform::JoinPath(LogFolder, STATUS_PAGE_THUMB_SUBFOLDER);
  return platform::MakeFolders(Folder).Ok() &&
         platform::WriteFileReplacing(platform::JoinPath(Folder, Thumbnail), Out).Ok();
}
