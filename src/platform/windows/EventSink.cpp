// The event log comes with the Windows service: until the service registers
// its event source, this sink takes each entry and writes nothing. The
// service's own log files still hold every message.
#include "platform/EventSink.h"

namespace platform {

namespace {

class TSilentSink : public TEventSink {
 public:
  void Report(TEventKind /*kind*/, uint32_t /*eventId*/, const std::string& /*message*/,
              const TEventDetails& /*details*/) override {}
};

}  // namespace

std::unique_ptr<TEventSink> OpenSystemEventSink(const std::string& /*identifier*/) {
  return std::make_unique<TSilentSink>();
}

}  // namespace platform
