#pragma once

// Test fixtures shared by every module's tests: a fresh temporary folder per
// test (kept when the test fails, for a look afterwards), small file helpers,
// and an event sink that records what would reach the system event log.

#include <gtest/gtest.h>

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/EventSink.h"

namespace testing_support {

// Creates a unique folder under $TMPDIR (or /tmp); returns its path without
// a trailing separator.
std::string MakeUniqueTempFolder(const std::string& tag = "velmar");

std::string ReadAll(const std::string& path);
void WriteAll(const std::string& path, const std::string& bytes);
// Lines of a file split at CR LF (the last empty piece dropped).
std::vector<std::string> ReadCrLfLines(const std::string& path);
// The same for a Windows-1252 file (logs, flags), converted to UTF-8.
std::vector<std::string> ReadAnsiLines(const std::string& path);
// The lines of a log file, converted to UTF-8, each without its leading
// "[yyyy-mm-dd hh:nn:ss] " time stamp (a line too short for one is kept whole).
std::vector<std::string> ReadLogLines(const std::string& path);
// The whole of a Windows-1252 file, converted to UTF-8.
std::string ReadAnsiText(const std::string& path);
// True when one of the lines contains `part`.
bool AnyLineHas(const std::vector<std::string>& lines, const std::string& part);

class TempFolderTest : public ::testing::Test {
 protected:
  void SetUp() override;
  void TearDown() override;
  // Absolute path of `name` inside the test folder, "/" in `name` written as
  // the system's separator.
  std::string Path(const std::string& name) const;

  std::string dir_;
};

struct TRecordedEvent {
  platform::TEventKind Kind;
  uint32_t EventId;
  std::string Message;
  platform::TEventDetails Details;
};

class TRecordingEventSink : public platform::TEventSink {
 public:
  void Report(platform::TEventKind kind, uint32_t eventId, const std::string& message,
              const platform::TEventDetails& details = {}) override;
  std::vector<TRecordedEvent> Events() const;

 private:
  mutable std::mutex mutex_;  // guards events_
  std::vector<TRecordedEvent> events_;
};

}  // namespace testing_support
