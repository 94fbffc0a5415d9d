#pragma once

// The system event log: where warnings and errors that carry an event id are
// reported for the administrators (the systemd journal on Linux).

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

// Opens the system's event log under `identifier`: the systemd journal
// (MESSAGE, PRIORITY 6/4/3, SYSLOG_IDENTIFIER, VELMAR_EVENT_ID), each entry
// falling back to syslog when the journal cannot be reached. Never null.
std::unique_ptr<TEventSink> OpenSystemEventSink(const std::string& identifier);

}  // namespace platform
