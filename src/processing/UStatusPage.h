#pragma once

// The status page: status.html beside status.txt, one self-contained static
// page (no script, no outside resource) that a person opens from a shared
// folder or with file://. It is built from what the processing thread knows
// at the end of a cycle and from bounded lists of recent events, never from
// the logs or a listing of a folder that grows: its size and the time it
// takes stay the same whatever the history.

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/Clock.h"

constexpr const char* STATUS_PAGE_FILE_NAME = "status.html";
// The thumbnails of the set-aside pictures, under the log folder.
constexpr const char* STATUS_PAGE_THUMB_SUBFOLDER = "status";
// How many recent files and set-aside pictures the page shows.
constexpr size_t STATUS_PAGE_RECENT_FILES = 20;
constexpr size_t STATUS_PAGE_SET_ASIDE = 20;
// How many due QC lots it shows.
constexpr size_t STATUS_PAGE_LOTS = 20;
// The width of a thumbnail, in pixels.
constexpr int STATUS_PAGE_THUMB_WIDTH = 160;

struct TStatusPageInstrument {
  int Number = 0;
  bool Reachable = true;
  TDateTime UnreachableSince = 0;  // when the outage began, while unreachable
  std::string Folder;
  int64_t Waiting = 0;  // result files left in the folder by the cycle
};

struct TStatusPageFile {
  std::string Name;
  std::string SampleID;
  TDateTime Time = 0;
  std::string Outcome;  // "traité", "classé incomplet", "en attente : ..."
  bool Good = false;
};

struct TStatusPageSetAside {
  std::string Picture;  // its name in log/wrong_images
  std::string SampleID;
  TDateTime Time = 0;
  std::string Reason;     // "code-barres non lu", "code-barres différent : lu [..], attendu [..]"
  std::string Thumbnail;  // its name in log/status, empty when none was made
};

struct TStatusPageLot {
  std::string Lot;
  std::string Expiry;  // as the QC log writes it
  std::string State;   // "rapport écrit", "rapport dû", ...
};

struct TStatusPageFlag {
  std::string Name;
  std::string LastLine;
};

struct TStatusPageData {
  std::string State;  // "en marche", "démarrage", "arrêté"
  TDateTime Written = 0;
  int64_t Cycle = 0;
  TDateTime CycleTime = 0;
  int CycleSeconds = 0;
  std::vector<TStatusPageInstrument> Instruments;
  int64_t Processed = 0;
  int64_t Failed = 0;
  std::deque<TStatusPageFile> RecentFiles;   // newest first
  std::deque<TStatusPageSetAside> SetAside;  // newest first
  std::vector<TStatusPageLot> Lots;          // from the last QC check
  std::vector<TStatusPageFlag> Flags;        // present flags
};

// The page, in UTF-8.
std::string BuildStatusPage(const TStatusPageData& Data);
// The flag files of ExeFolder named by FlagFiles with the last line of each
// (read from the file's last 4 KiB).
std::vector<TStatusPageFlag> ReadFlagLines(const std::string& ExeFolder,
                                           const std::vector<std::string>& FlagFiles);
// Makes LogFolder/status/<Thumbnail> from the picture at PicturePath: a
// reduced copy STATUS_PAGE_THUMB_WIDTH pixels wide. False when the picture
// cannot be read or the copy written (the page then shows no thumbnail).
bool MakeStatusThumbnail(const std::string& PicturePath, const std::string& LogFolder,
                         const std::string& Thumbnail);
