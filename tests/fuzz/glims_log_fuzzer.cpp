// libFuzzer target: the GLIMS export log (Glims_log.csv), read before every
// export. Beyond crashes it aborts when an entry read breaks the rules of
// the reader (no empty identifier, untrimmed fields, too many entries), or
// when the log written back from what was read reads back differently or
// is written differently the second time.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "FuzzSupport.h"
#include "export/UGlimsExport.h"
#include "platform/Clock.h"
#include "platform/Files.h"
#include "platform/Strings.h"

using fuzz_support::Check;

namespace {

bool SameEntries(const std::vector<TGlimsLogEntry>& a, const std::vector<TGlimsLogEntry>& b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (a[i].OID != b[i].OID || a[i].TestCode != b[i].TestCode || a[i].JPGName != b[i].JPGName ||
        a[i].Index != b[i].Index || a[i].EntryDate != b[i].EntryDate) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // A clock before every date the log can hold: no entry is purged, so the
  // log written back holds every entry read.
  static const bool clockSet = [] {
    platform::SetNowForTesting([] { return 1.0; });
    return true;
  }();
  (void)clockSet;
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  std::vector<TGlimsLogEntry> entries;
  int count = -1;
  Check(LoadGlimsLog(fuzz_support::WriteScratch("Glims_log.csv", bytes), entries, count));
  Check(count == static_cast<int>(entries.size()) && count <= GLIMS_LOG_MAX_ENTRIES);
  for (const TGlimsLogEntry& e : entries) {
    Check(!e.OID.empty() && e.OID == platform::Trim(e.OID));
    Check(e.TestCode == platform::Trim(e.TestCode) && e.JPGName == platform::Trim(e.JPGName));
  }

  const std::string saved = platform::JoinPath(fuzz_support::ScratchFolder(), "saved.csv");
  Check(SaveGlimsLog(saved, entries, count));
  std::vector<TGlimsLogEntry> back;
  int backCount = -1;
  Check(LoadGlimsLog(saved, back, backCount) && SameEntries(back, entries));
  std::string first, second;
  Check(platform::ReadFileBytes(saved, first).Ok());
  const std::string again = platform::JoinPath(fuzz_support::ScratchFolder(), "again.csv");
  Check(SaveGlimsLog(again, back, backCount));
  Check(platform::ReadFileBytes(again, second).Ok() && first == second);
  return 0;
}
