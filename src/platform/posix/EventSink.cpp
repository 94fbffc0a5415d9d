#include "platform/EventSink.h"

#include <sys/uio.h>
#include <syslog.h>

// Without this, every entry would carry the source path of this file as it
// was on the build machine (CODE_FILE), which tells an administrator nothing.
#define SD_JOURNAL_SUPPRESS_LOCATION
#include <systemd/sd-journal.h>

namespace platform {

namespace {

int Priority(TEventKind kind, bool critical) {
  switch (kind) {
    case TEventKind::warning:
      return LOG_WARNING;  // 4
    case TEventKind::error:
      return critical ? LOG_CRIT : LOG_ERR;  // 2 or 3
    case TEventKind::information:
      break;
  }
  return LOG_INFO;  // 6
}

// The systemd journal (MESSAGE, PRIORITY 6/4/3/2, SYSLOG_IDENTIFIER,
// VELMAR_EVENT_ID and the entry's own fields), each entry falling back to
// syslog when the journal cannot be reached.
class TJournalSink : public TEventSink {
 public:
  explicit TJournalSink(std::string identifier) : FIdentifier(std::move(identifier)) {}
  ~TJournalSink() override {
    if (FSyslogOpen) ::closelog();
  }

  void Report(TEventKind kind, uint32_t eventId, const std::string& message,
              const TEventDetails& details) override {
    const int priority = Priority(kind, details.Critical);
    std::vector<std::string> fields{
        "MESSAGE=" + message, "PRIORITY=" + std::to_string(priority),
        "SYSLOG_IDENTIFIER=" + FIdentifier,
        "VELMAR_EVENT_ID=" + std::to_string(static_cast<unsigned>(eventId))};
    for (const auto& [name, value] : details.Fields) fields.push_back(name + "=" + value);
    std::vector<iovec> iov;
    iov.reserve(fields.size());
    for (std::string& f : fields) iov.push_back({f.data(), f.size()});
    if (::sd_journal_sendv(iov.data(), static_cast<int>(iov.size())) >= 0) return;
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
