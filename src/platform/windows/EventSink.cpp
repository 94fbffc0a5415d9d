// The Windows event log: entries go to the Application log under the
// service's event source, registered at install with the executable's
// message table as its message file, so Event Viewer shows each entry's own
// text under its event id. A critical error is an error entry (the log has
// no higher level). Searchable fields follow the message, one per line.
// When the source cannot be opened (no event log service), entries are
// dropped: the service's own log files hold every message.
#include "platform/EventSink.h"

#include <windows.h>

#include "platform/windows/WideText.h"

namespace platform {

namespace {

WORD EventType(TEventKind kind) {
  switch (kind) {
    case TEventKind::information:
      return EVENTLOG_INFORMATION_TYPE;
    case TEventKind::warning:
      return EVENTLOG_WARNING_TYPE;
    case TEventKind::error:
      return EVENTLOG_ERROR_TYPE;
  }
  return EVENTLOG_ERROR_TYPE;
}

class TEventLogSink : public TEventSink {
 public:
  explicit TEventLogSink(const std::string& identifier)
      : FSource(::RegisterEventSourceW(nullptr, windows::Widen(identifier).c_str())) {}
  ~TEventLogSink() override {
    if (FSource != nullptr) ::DeregisterEventSource(FSource);
  }
  TEventLogSink(const TEventLogSink&) = delete;
  TEventLogSink& operator=(const TEventLogSink&) = delete;

  void Report(TEventKind kind, uint32_t eventId, const std::string& message,
              const TEventDetails& details) override {
    if (FSource == nullptr) return;
    std::string text = message;
    for (const auto& [name, value] : details.Fields) text += "\r\n" + name + "=" + value;
    const std::wstring wide = windows::Widen(text);
    const wchar_t* strings[] = {wide.c_str()};
    ::ReportEventW(FSource, EventType(kind), 0, eventId, nullptr, 1, 0, strings, nullptr);
  }

 private:
  HANDLE FSource;
};

}  // namespace

std::unique_ptr<TEventSink> OpenSystemEventSink(const std::string& identifier) {
  return std::make_unique<TEventLogSink>(identifier);
}

}  // namespace platform
