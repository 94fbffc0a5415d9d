#include "platform/EventSink.h"

#include <syslog.h>
#include <systemd/sd-journal.h>

namespace platform {

namespace {

int Priority(TEventKind kind) {
  switch (kind) {
    case TEventKind::warning:
      return LOG_WARNING;  // 4
    case TEventKind::error:
      return LOG_ERR;  // 3
    case TEventKind::information:
      break;
  }
  return LOG_INFO;  // 6
}

// The systemd journal (MESSAGE, PRIORITY 6/4/3, SYSLOG_IDENTIFIER,
// VELMAR_EVENT_ID), each entry falling back to syslog when the journal
// cannot be reached.
class TJournalSink : public TEventSink {
 public:
  explicit TJournalSink(std::string identifier) : FIdentifier(std::move(identifier)) {}
  ~TJournalSink() override {
    if (FSyslogOpen) ::closelog();
  }

  void Report(TEventKind kind, uint32_t eventId, const std::string& message) override {
    const int priority = Priority(kind);
    const int r = ::sd_journal_send("MESSAGE=%s", message.c_str(), "PRIORITY=%d", priority,
                                    "SYSLOG_IDENTIFIER=%s", FIdentifier.c_str(),
                                    "VELMAR_EVENT_ID=%u", static_cast<unsigned>(eventId), nullptr);
    if (r >= 0) return;
    if (!FSyslogOpen) {
      ::openlog(FIdentifier.c_str(), LOG_PID, LOG_DAEMON);
      FSyslogOpen = true;
    }
    ::syslog(priority, "[%u] %s", static_cast<unsigned>(eventId), message.c_str());
  }

 private:
  std::string FIdentifier;  // kept alive: openlog() keeps the pointer
  bool FSyslogOpen = false;
};

}  // namespace

std::unique_ptr<TEventSink> OpenSystemEventSink(const std::string& identifier) {
  return std::make_unique<TJournalSink>(identifier);
}

}  // namespace platform
