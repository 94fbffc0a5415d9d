#include "platform/Clock.h"

#include <gtest/gtest.h>

using namespace platform;

namespace {
TDateTime Make(int y, int mo, int d, int h = 0, int mi = 0, int s = 0) {
  TDateParts p;
  p.Year = y, p.Month = mo, p.Day = d, p.Hour = h, p.Minute = mi, p.Second = s;
  TDateTime v = -1;
  EXPECT_TRUE(TryEncodeDateTime(p, v));
  return v;
}
}  // namespace

TEST(Clock, DayZeroIsThe30thOfDecember1899) {
  EXPECT_DOUBLE_EQ(Make(1899, 12, 30), 0.0);
  EXPECT_DOUBLE_EQ(Make(1900, 1, 1), 2.0);
  EXPECT_DOUBLE_EQ(Make(2000, 1, 1, 12), 36526.5);
  EXPECT_EQ(FormatDateTime("dd/mm/yyyy hh:nn:ss", 0), "30/12/1899 00:00:00");
}

TEST(Clock, EncodingRefusesDatesThatDoNotExist) {
  TDateTime v;
  EXPECT_FALSE(TryEncodeDate(2025, 2, 30, v));
  EXPECT_FALSE(TryEncodeDate(2023, 2, 29, v));
  EXPECT_TRUE(TryEncodeDate(2024, 2, 29, v));
  EXPECT_FALSE(TryEncodeDate(2100, 2, 29, v));
  EXPECT_TRUE(TryEncodeDate(2000, 2, 29, v));
  TDateParts p;
  p.Year = 2025, p.Month = 1, p.Day = 1, p.Hour = 24;
  EXPECT_FALSE(TryEncodeDateTime(p, v));
  p.Hour = 0, p.Minute = 60;
  EXPECT_FALSE(TryEncodeDateTime(p, v));
}

TEST(Clock, FormatsEveryPatternTheServiceUses) {
  const TDateTime t = Make(2025, 3, 14, 9, 5, 7);
  EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn:ss", t), "2025-03-14 09:05:07");
  EXPECT_EQ(FormatDateTime("dd/mm/yyyy", t), "14/03/2025");
  EXPECT_EQ(FormatDateTime("hh:nn:ss", t), "09:05:07");
  EXPECT_EQ(FormatDateTime("yyyymmddhhnnss", t), "20250314090507");
  EXPECT_EQ(FormatDateTime("yyyy-mm-dd_hh-nn-ss", t), "2025-03-14_09-05-07");
}

TEST(Clock, DecodeRoundsToTheMillisecond) {
  // 23:59:59.9996 rounds up into the next day rather than showing 24:00.
  const TDateTime t = Make(2025, 12, 31) + (86400 - 0.0004) / 86400.0;
  const TDateParts p = DecodeDateTime(t);
  EXPECT_EQ(p.Year, 2026);
  EXPECT_EQ(p.Hour, 0);
  EXPECT_EQ(FormatDateTime("yyyymmdd", Make(2024, 2, 29, 23, 59, 59)), "20240229");
}

TEST(Clock, ParsesDayMonthYearWithOptionalTime) {
  TDateTime v;
  ASSERT_TRUE(TryParseDayMonthYearTime("14/03/2025 09:30:00", v));
  EXPECT_EQ(FormatDateTime("yyyy-mm-dd hh:nn:ss", v), "2025-03-14 09:30:00");
  ASSERT_TRUE(TryParseDayMonthYearTime("30/12/1899 00:00:00", v));
  EXPECT_DOUBLE_EQ(v, 0.0);
  EXPECT_FALSE(TryParseDayMonthYearTime("31/02/2025 00:00:00", v));
  EXPECT_FALSE(TryParseDayMonthYearTime("garbage", v));
  EXPECT_FALSE(TryParseDayMonthYearTime("14/03/2025 9h", v));
}

TEST(Clock, TestSeamReplacesTheLocalClock) {
  const TDateTime fixed = Make(2030, 6, 1, 8);
  SetNowForTesting([fixed] { return fixed; });
  EXPECT_DOUBLE_EQ(Now(), fixed);
  SetNowForTesting(nullptr);
  EXPECT_GT(Now(), Make(2020, 1, 1));
}
