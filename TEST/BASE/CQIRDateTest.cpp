#include "CQIRDate.h"

#include "CQIRServiceLog.h"
#include "BASE/ScopedTZ.h"

#include <gtest/gtest.h>
#include <limits.h>

#include <string>

namespace {

std::string Text(const char* _p) { return _p ? _p : "(null)"; }

// Every answer of an invalid date says so, and no text comes out.
void ExpectInvalid(CQIRDate& _d, const std::string& _what) {
  char buf[CQIRDate::QIR_DATE_TEXT_SIZE];
  EXPECT_FALSE(_d.IsValid()) << _what;
  const long answers[] = {_d.Get(), _d.GetYear(), _d.GetMonth(), _d.GetDay(), _d.GetDayOfWeek()};
  for (long a : answers) EXPECT_EQ(-1, a) << _what;
  EXPECT_FALSE(_d.GetDate(buf)) << _what;
  EXPECT_STREQ("", _d()) << _what;
  QIR_OPEN_SERVICE_LOG(QIR_LOG_ALL);
  qirtest::Captured([&] { EXPECT_EQ(nullptr, _d.AscDate("CCYYMMDD")) << _what; });
}

}  // namespace

// Day numbers and weekdays from an independent proleptic Gregorian calendar.
TEST(CQIRDateTest, JulianDayNumbersAndWeekdays) {
  const struct { const char* text; long julian; int dow; } cases[] = {
      {"20000101", 2451545, 6}, {"20240229", 2460370, 4}, {"00010101", 1721426, 1},
      {"99991231", 5373484, 5}, {"15821015", 2299161, 5}};
  for (const auto& c : cases) {
    CQIRDate d(c.text);
    EXPECT_EQ(c.julian, d.GetJulian()) << c.text;
    EXPECT_EQ(c.dow, d.GetDayOfWeek()) << c.text;
    EXPECT_STREQ(c.text, d()) << c.text;
    EXPECT_EQ(atoi(c.text), d.GetYear() * 10000 + d.GetMonth() * 100 + d.GetDay());
  }
  // The day is not checked against the month: it rolls on.
  const char* const leap[][2] = {
      {"20230229", "20230301"}, {"19000229", "19000301"}, {"20250231", "20250303"}};
  for (const auto& c : leap) EXPECT_STREQ(c[1], CQIRDate(c[0])()) << c[0];
}

TEST(CQIRDateTest, DayArithmetic) {
  CQIRDate d("20241231");
  EXPECT_STREQ("20250101", (d++)());  // postfix answers the changed date
  EXPECT_STREQ("20241231", (--d)());
  CQIRDate base("20250305");
  EXPECT_STREQ("20250310", (5L + base)());
  EXPECT_STREQ("20250228", (5L - base)());  // both forms subtract the days
  EXPECT_TRUE(base < base + 1L && base == CQIRDate("20250305") && base != base + 1L);
}

TEST(CQIRDateTest, BadTextAndPicturesAreRefused) {
  QIR_OPEN_SERVICE_LOG(QIR_LOG_ALL);
  CQIRDate d("20250305");
  qirtest::Captured([&] {
    const char* const none = nullptr;
    for (const char* text : {"2024022", "2024AB29", "202402291", "", none}) {
      EXPECT_FALSE(CQIRDate(text).IsValid()) << Text(text);
    }
    for (const char* picture : {"YYYY", "CCYYMMDDD", "CCC", "CCYY-MM-DD--x", none}) {
      EXPECT_EQ(nullptr, d.AscDate(picture)) << Text(picture);
    }
  });
  EXPECT_STREQ("[2025-03-05]", d.AscDate("[CCYY-MM-DD]"));
  // Digits, but no such month or day, or the year 0; assignment never reads
  // past a short text.
  for (const char* text : {"20241301", "20240001", "20240100", "00000101"}) {
    CQIRDate bad(text);
    ExpectInvalid(bad, text);
  }
  for (const char* text : {"2025", "202503", "", "abcdefgh"}) {
    d = text;
    EXPECT_FALSE(d.IsValid()) << text;
  }
}

TEST(CQIRDateTest, LocalDateOfATime) {
  ScopedTZ tz("JST-9");
  EXPECT_STREQ("20250306", CQIRDate(static_cast<time_t>(1741205043))());  // 20:04 UTC the 5th
}

// Midnight used to come out as 01:00 in summer: mktime was told that no
// summer time applied.
TEST(CQIRDateTest, GetIsMidnightInSummerTime) {
  ScopedTZ tz(QIR_TEST_TZ_CET);
  EXPECT_EQ(1751666400, CQIRDate("20250705").Get());  // 2025-07-04 22:00 UTC
  EXPECT_EQ(1736031600, CQIRDate("20250105").Get());  // 2025-01-04 23:00 UTC
}

// The operators used to move an invalid date's marker, turning it into a
// date about 5.8 million years ahead.
TEST(CQIRDateTest, InvalidDateStaysInvalidUnderArithmetic) {
  CQIRDate d;
  d = 0L;
  ++d;
  d += 1;
  d -= -3;
  d.AddDate(2);
  ExpectInvalid(d, "moved");
  CQIRDate e = 1L - d;
  ExpectInvalid(e, "copy");
}

// Day numbers beyond 9999-12-31 used to print more than eight digits into
// nine-byte buffers.
TEST(CQIRDateTest, OutOfRangeDateNeverOverrunsText) {
  CQIRDate d("99991231");
  ++d;
  ExpectInvalid(d, "10000-01-01");
  d = "00010101";
  d -= 366;  // 0000-01-01 still has a four-digit year; one day before has not
  EXPECT_STREQ("00000101", d());
  --d;
  ExpectInvalid(d, "-0001-12-31");
  const long max = CQIRDate::QIR_DATE_MAX_JULIAN;
  for (long v : {LONG_MAX, LONG_MIN, max + 1, -max - 1}) {
    d = v;
    ExpectInvalid(d, std::to_string(v));
    d = "20250305";
    d += v;
    EXPECT_FALSE(d.IsValid()) << v;
    d = "20250305";
    d -= v;
    EXPECT_FALSE(d.IsValid()) << v;
  }
}
