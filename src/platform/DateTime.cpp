// Calendar arithmetic of Clock.h (no system call).
#include <cmath>
#include <cstdio>

#include "platform/Clock.h"
#include "platform/Text.h"

namespace platform {

namespace {

constexpr int64_t kMsPerDay = 86400000;

bool IsLeap(int y) {
  return (y % 4 == 0 && y % 100 != 0) || y % 400 == 0;
}

int DaysInMonth(int y, int m) {
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  return (m == 2 && IsLeap(y)) ? 29 : kDays[m - 1];
}

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

void CivilFromDays(int64_t z, int& y, int& m, int& d) {
  z += 719468;
  const int64_t era = (z >= 0 ? z : z - 146096) / 146097;
  const auto doe = static_cast<unsigned>(z - era * 146097);
  const unsigned yoe = (doe - doe / 1460 + doe / 36524 - doe / 146096) / 365;
  const int64_t yy = static_cast<int64_t>(yoe) + era * 400;
  const unsigned doy = doe - (365 * yoe + yoe / 4 - yoe / 100);
  const unsigned mp = (5 * doy + 2) / 153;
  d = static_cast<int>(doy - (153 * mp + 2) / 5 + 1);
  m = static_cast<int>(mp < 10 ? mp + 3 : mp - 9);
  y = static_cast<int>(yy + (m <= 2));
}

// Day 0 of TDateTime is 1899-12-30.
const int64_t kEpochOffset = DaysFromCivil(1899, 12, 30);

void Append2(std::string& out, int v) {
  char buf[8];
  std::snprintf(buf, sizeof buf, "%02d", v % 100);
  out += buf;
}

}  // namespace

bool TryEncodeDateTime(const TDateParts& p, TDateTime& value) {
  if (p.Year < 1 || p.Year > 9999 || p.Month < 1 || p.Month > 12 || p.Day < 1 ||
      p.Day > DaysInMonth(p.Year, p.Month) || p.Hour < 0 || p.Hour > 23 || p.Minute < 0 ||
      p.Minute > 59 || p.Second < 0 || p.Second > 59 || p.Millisecond < 0 || p.Millisecond > 999) {
    return false;
  }
  const int64_t days =
      DaysFromCivil(p.Year, static_cast<unsigned>(p.Month), static_cast<unsigned>(p.Day)) -
      kEpochOffset;
  const int64_t ms = ((p.Hour * 60LL + p.Minute) * 60 + p.Second) * 1000 + p.Millisecond;
  value = static_cast<double>(days) + static_cast<double>(ms) / kMsPerDay;
  return true;
}

bool TryEncodeDate(int year, int month, int day, TDateTime& value) {
  TDateParts p;
  p.Year = year, p.Month = month, p.Day = day;
  return TryEncodeDateTime(p, value);
}

TDateParts DecodeDateTime(TDateTime value) {
  TDateParts p;
  if (!std::isfinite(value) || value > 3e6 || value < -7e5) return p;
  int64_t total = std::llround(value * kMsPerDay);
  int64_t days = total / kMsPerDay;
  int64_t ms = total % kMsPerDay;
  if (ms < 0) {
    ms += kMsPerDay;
    --days;
  }
  CivilFromDays(days + kEpochOffset, p.Year, p.Month, p.Day);
  p.Hour = static_cast<int>(ms / 3600000);
  p.Minute = static_cast<int>(ms / 60000 % 60);
  p.Second = static_cast<int>(ms / 1000 % 60);
  p.Millisecond = static_cast<int>(ms % 1000);
  return p;
}

TDateTime DateOf(TDateTime value) {
  const TDateParts p = DecodeDateTime(value);
  TDateTime d = 0;
  TryEncodeDate(p.Year, p.Month, p.Day, d);
  return d;
}

std::string FormatDateTime(std::string_view pattern, TDateTime value) {
  const TDateParts p = DecodeDateTime(value);
  std::string out;
  size_t i = 0;
  while (i < pattern.size()) {
    const std::string_view rest = pattern.substr(i);
    if (StartsWith(rest, "yyyy")) {
      char buf[8];
      std::snprintf(buf, sizeof buf, "%04d", p.Year);
      out += buf;
      i += 4;
    } else if (StartsWith(rest, "mm")) {
      Append2(out, p.Month), i += 2;
    } else if (StartsWith(rest, "dd")) {
      Append2(out, p.Day), i += 2;
    } else if (StartsWith(rest, "hh")) {
      Append2(out, p.Hour), i += 2;
    } else if (StartsWith(rest, "nn")) {
      Append2(out, p.Minute), i += 2;
    } else if (StartsWith(rest, "ss")) {
      Append2(out, p.Second), i += 2;
    } else {
      out += pattern[i++];
    }
  }
  return out;
}

bool TryParseDayMonthYear(std::string_view text, TDateParts& parts) {
  const std::vector<std::string> pieces = SplitKeepEmpty(text, '/');
  if (pieces.size() != 3) return false;
  int32_t values[3];
  for (size_t k = 0; k < 3; ++k) {
    const std::string piece = Trim(pieces[k]);
    const size_t sign = StartsWith(piece, "+") || StartsWith(piece, "-") ? 1 : 0;
    if (!IsDigits(std::string_view(piece).substr(sign)) || !TryStrToInt(piece, values[k])) {
      return false;
    }
  }
  parts.Day = values[0], parts.Month = values[1], parts.Year = values[2];
  return true;
}

bool TryParseDayMonthYearTime(std::string_view text, TDateTime& value) {
  const std::string t = Trim(text);
  // The date runs to the first blank or control character, the time follows.
  size_t end = 0;
  while (end < t.size() && static_cast<unsigned char>(t[end]) > 32) ++end;
  TDateParts p;
  if (!TryParseDayMonthYear(std::string_view(t).substr(0, end), p)) return false;
  const std::string rest = t.substr(end);
  if (!rest.empty()) {
    int used = 0;
    if (std::sscanf(rest.c_str(), " %2d:%2d:%2d%n", &p.Hour, &p.Minute, &p.Second, &used) != 3 ||
        static_cast<size_t>(used) != rest.size()) {
      return false;
    }
  }
  return TryEncodeDateTime(p, value);
}

}  // namespace platform
