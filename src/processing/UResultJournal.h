#pragma once

// The journal of result files in progress: one small text file per result
// file between its first output and its arrival in the done folder, under
// the log folder. It names the file (name, size, a hash of its bytes) and,
// after each stage that wrote outside the service, what that stage wrote.
// Its first line names its format and its last line seals it with a
// checksum of the lines before it (entries of earlier versions have neither).
// Each change rewrites the whole entry under a temporary name, flushed to
// disk and renamed into place, so an entry is always whole. A result file
// found again whose identity matches its entry skips the stages already
// done; one without an entry is processed in full.

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "imaging/UImageResult.h"
#include "platform/OsResult.h"

constexpr const char* JOURNAL_SUBFOLDER = "journal";

// Who a result file is.
struct TResultIdentity {
  std::string Name;  // bare file name
  int64_t Size = 0;
  uint64_t Hash = 0;  // ContentHash of its bytes

  bool operator==(const TResultIdentity&) const = default;
};

// 64-bit FNV-1a of the bytes.
uint64_t ContentHash(std::string_view Bytes);

// One finished stage and what it wrote.
struct TStageRecord {
  std::string Stage;   // "qc", "images", "xml" or "glims"
  std::string Output;  // qc and images: the count; xml and glims: the path (empty: none)
  std::vector<TImageResult> Images;  // images: the pictures as the exports need them
};

struct TJournalEntry {
  TResultIdentity Identity;
  std::vector<TStageRecord> Stages;  // in the order they were done

  // The record of that stage, or null when it is not done.
  const TStageRecord* Find(const std::string& Stage) const;
};

class TResultJournal {
 public:
  explicit TResultJournal(std::string Folder) : FFolder(std::move(Folder)) {}

  // The entry file of a result file: its name (shortened) and a hash of its
  // whole path, so that files of the same name in two folders never share one.
  std::string EntryPath(const std::string& FilePath) const;
  // The entry of the result file; false when there is none or it is not one
  // (its seal missing or not matching, or a line this service never writes).
  bool Load(const std::string& FilePath, TJournalEntry& Entry) const;
  // The same, from the path of an entry file.
  bool LoadEntryFile(const std::string& EntryFile, TJournalEntry& Entry) const;
  // The paths of every entry file in the journal folder.
  std::vector<std::string> EntryFiles() const;
  // Writes the entry whole and durably, creating the journal folder when it
  // is missing.
  [[nodiscard]] platform::TOsResult Save(const std::string& FilePath,
                                         const TJournalEntry& Entry) const;
  // Removes the entry, durably: a power loss never brings it back.
  void Remove(const std::string& FilePath) const;
  void RemoveEntryFile(const std::string& EntryFile) const;

 private:
  std::string FFolder;
};
