#pragma once

// The system event log: where warnings and errors that carry an event id are
// reported for the administrators.

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

namespace platform {

enum class TEventKind { information, warning, error };

// What an entry says beyond its text: searchable fields (name in capitals,
// "VELMAR_INSTRUMENT" say, and value), and whether an error is critical.
struct TEventDetails {
  bool Critical = false;
  std::vector<std::pair<std::string, std::string>> Fields;
};

class TEventSink {
 public:
  virtual ~TEventSink() = default;
  // Reports one entry; failures are swallowed.
  virtual void Report(TEventKind kind, uint32_t eventId, const std::string& message,
                      const TEventDetails& details = {}) = 0;
};

// Opens the system's event log under `identifier`: each entry carries its
// kind as the log's severity (a critical error its own, higher one), its
// event id and its fields, and goes to the system's fallback log when the
// event log cannot be reached. The message is entered as given: the event
// log keeps its own time, so callers leave theirs out. Never null.
std::unique_ptr<TEventSink> OpenSystemEventSink(const std::string& identifier);

}  // namespace platform
