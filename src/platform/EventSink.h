#pragma once

// The system event log: where warnings and errors that carry an event id are
// reported for the administrators.

#include <cstdint>
#include <memory>
#include <string>

namespace platform {

enum class TEventKind { information, warning, error };

class TEventSink {
 public:
  virtual ~TEventSink() = default;
  // Reports one entry; failures are swallowed.
  virtual void Report(TEventKind kind, uint32_t eventId, const std::string& message) = 0;
};

// Opens the system's event log under `identifier`: each entry carries its
// kind as the log's severity and its event id, and goes to the system's
// fallback log when the event log cannot be reached. Never null.
std::unique_ptr<TEventSink> OpenSystemEventSink(const std::string& identifier);

}  // namespace platform
