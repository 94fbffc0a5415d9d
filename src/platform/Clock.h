#pragma once

// Date-times and clocks. A TDateTime is a real number of days since
// 30 December 1899 00:00, the time of day being the fraction; 0 means "no
// date" where records carry dates.

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

using TDateTime = double;

namespace platform {

struct TDateParts {
  int Year = 1899, Month = 12, Day = 30;
  int Hour = 0, Minute = 0, Second = 0, Millisecond = 0;
};

// Builds a date-time from its parts; false when the combination does not
// exist (30 February, hour 24, minute 60 ...). Years 1..9999.
bool TryEncodeDateTime(const TDateParts& parts, TDateTime& value);
bool TryEncodeDate(int year, int month, int day, TDateTime& value);
// Splits a date-time into its parts (milliseconds rounded).
TDateParts DecodeDateTime(TDateTime value);
// The date part (midnight of the same day).
TDateTime DateOf(TDateTime value);

// Formats with the tokens yyyy, mm (month), dd, hh (00-23), nn (minutes),
// ss; every other character is copied. Examples: "yyyy-mm-dd hh:nn:ss",
// "dd/mm/yyyy", "yyyymmddhhnnss", "yyyy-mm-dd_hh-nn-ss".
std::string FormatDateTime(std::string_view pattern, TDateTime value);

// Reads "dd/mm/yyyy": exactly three numbers separated by "/", each an
// optional sign and decimal digits with blanks around it allowed. Sets the
// day, month and year of `parts` only; whether that day exists is left to
// TryEncodeDateTime.
bool TryParseDayMonthYear(std::string_view text, TDateParts& parts);

// Reads "dd/mm/yyyy hh:nn:ss" (the time may be missing); false when the text
// is not such a date.
bool TryParseDayMonthYearTime(std::string_view text, TDateTime& value);

// The current local time.
TDateTime Now();
// Milliseconds of a monotonic clock, for durations only.
int64_t MonotonicMs();

// Test seam: replaces the local clock (an empty function restores it).
void SetNowForTesting(std::function<TDateTime()> now);

}  // namespace platform
