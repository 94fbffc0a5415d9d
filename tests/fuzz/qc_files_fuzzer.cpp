// libFuzzer target: the QC files a person may edit or a crash may damage.
// The same bytes are read as the QC targets file, as QC log lines and as the
// whole QC log. Beyond crashes it aborts when a log line read and written
// back reads differently or is written differently the second time, when
// the fast raw field reader and the line reader disagree, when a line's lot
// is not found again by the lot extraction, or when a lot date read back
// from its own text gives another date.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "platform/Clock.h"
#include "platform/Strings.h"
#include "platform/Text.h"
#include "qc/UQCInternal.h"
#include "qc/UQCLog.h"
#include "qc/UQCLotReports.h"
#include "qc/UQCTarget.h"

using fuzz_support::Check;

namespace {

constexpr int kLotChecks = 4;  // lines whose lot is looked up again, per input

void CheckLotDate(const std::string& text) {
  const TDateTime date = ParseQCDate(text);
  if (date == 0) return;
  Check(date == platform::DateOf(date));
  const platform::TDateParts parts = platform::DecodeDateTime(date);
  Check(parts.Year >= 2000 && parts.Year <= 2200);
  Check(ParseQCDate(platform::FormatDateTime("dd/mm/yyyy", date)) == date);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);

  const int targets = LoadQCTargets(fuzz_support::WriteScratch("QC_Target_qual.csv", bytes));
  Check(targets >= 0);
  Check(GetQCTargetValue("5", "A").empty());

  const std::string log = fuzz_support::WriteScratch("log.txt", bytes);
  int lotChecks = 0;
  for (const std::string& raw : platform::SplitLines(bytes)) {
    const TQCLine line = qc::internal::ParseRawLine(raw);
    const std::string written = platform::Utf8ToAnsi(SerializeQCLine(line));
    const TQCLine back = qc::internal::ParseRawLine(written);
    Check(SerializeQCLine(back) == SerializeQCLine(line));
    Check(platform::Utf8ToAnsi(SerializeQCLine(back)) == written);

    std::string_view fields[QC_FIELD_COUNT];
    std::string scratch[QC_FIELD_COUNT];
    qc::internal::ReadRawFields(raw, QC_FIELD_COUNT, fields, scratch);
    TQCLine fast;
    fast.Lot = platform::AnsiToUtf8(fields[3]);
    fast.QCPerDate = platform::AnsiToUtf8(fields[4]);
    fast.K7Lot = platform::AnsiToUtf8(fields[7]);
    fast.User = platform::AnsiToUtf8(fields[19]);
    Check(fast.Lot == line.Lot && fast.QCPerDate == line.QCPerDate && fast.K7Lot == line.K7Lot &&
          fast.User == line.User);

    CheckLotDate(line.QCPerDate);
    if (!line.K7Lot.empty() && !qc::internal::IsBlankLine(raw) && lotChecks++ < kLotChecks) {
      std::vector<TQCLine> lotLines;
      Check(ExtractLotLines(log, line.K7Lot, lotLines) > 0);
    }
  }
  const TUniqueStringList lots = CollectLots(log);
  Check(lots.Count() <= static_cast<int>(platform::SplitLines(bytes).size()));
  return 0;
}
