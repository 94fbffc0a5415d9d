// libFuzzer target: the date fields the service reads from files it did not
// write: "dd/mm/yyyy[ hh:nn:ss]" (QC log, GLIMS log, status file) and the
// result files' "yyyymmdd[hhnnss]". Beyond crashes it aborts when a date
// read is out of its range or reads back as another date from its own text.
#include <cstddef>
#include <cstdint>
#include <string>

#include "FuzzSupport.h"
#include "astm/UASTMParser.h"
#include "platform/Clock.h"

using fuzz_support::Check;

namespace {

// Day 1 of year 1 and the last second of year 9999, in TDateTime days.
constexpr TDateTime kFirstDay = -693593.0;
constexpr TDateTime kAfterLastDay = 2958466.0;

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string text(reinterpret_cast<const char*>(data), size);

  platform::TDateParts parts;
  if (platform::TryParseDayMonthYear(text, parts)) {
    TDateTime day = 0;
    if (platform::TryEncodeDateTime(parts, day)) {
      Check(day >= kFirstDay && day < kAfterLastDay && day == platform::DateOf(day));
      const platform::TDateParts back = platform::DecodeDateTime(day);
      Check(back.Year == parts.Year && back.Month == parts.Month && back.Day == parts.Day);
    }
  }

  TDateTime value = 0;
  if (platform::TryParseDayMonthYearTime(text, value)) {
    Check(value >= kFirstDay && value < kAfterLastDay);
    const platform::TDateParts p = platform::DecodeDateTime(value);
    if (p.Year >= 1000) {  // four digits: the written form reads back
      TDateTime again = 0;
      Check(platform::TryParseDayMonthYearTime(
                platform::FormatDateTime("dd/mm/yyyy hh:nn:ss", value), again) &&
            again == value);
    }
  }

  const TDateTime astm = ASTMDateToDateTime(text);
  if (astm != 0) {
    const platform::TDateParts p = platform::DecodeDateTime(astm);
    Check(ASTMDateToDateTime(platform::FormatDateTime("yyyymmddhhnnss", astm)) == astm);
    Check(ASTMDateToDateTime(platform::FormatDateTime("yyyymmdd", astm)) == platform::DateOf(astm));
    Check(p.Year >= 1900 && p.Year <= 2100);
  }
  return 0;
}
