#include "CQIRDate.h"

#include "CQIRServiceLog.h"
#include "QIRLogTestUtil.h"

#include <gtest/gtest.h>
#include <limits.h>

#include <string>

using qirtest::ScopedTZ;

namespace {

// Every answer of an invalid date says so, and no text comes out.
void ExpectInvalid(CQIRDate& _d, const std::string& _what) {
  char buf[CQIRDate::QIR_DATE_TEXT_SIZE];
  EXPECT_TRUE(!_d.IsValid() && _d.Get() == -1 && _d.GetYear() == -1 && _d.GetDayOfWeek() == -1 &&
              !_d.GetDate(buf) && *_d() == '\0') << _what;
  QIR_OPEN_SERVICE_LOG(QIR_LOG_ALL);
  qirtest::Captured([&] { EXPECT_EQ(nullptr, _d.AscDate("CCYYMMDD")) << _what; });
}

}  // namespace

// Day numbers and weekdays from an independent proleptic Gregorian calendar;
// the day is not checked against the month: it rolls on.
TEST(CQIRDateTest, JulianDayNumbersWeekdaysAndArithmetic) {
  const struct { const char *text, *normal; long julian; int dow; } cases[] = {
      {"20240229", "20240229", 2460370, 4}, {"00010101", "00010101", 1721426, 1},
      {"99991231", "99991231", 5373484, 5}, {"15821015", "15821015", 2299161, 5},
      {"19000229", "19000301", 2415080, 4}, {"20250231", "20250303", 2460738, 1}};
  for (const auto& c : cases) {
    CQIRDate d(c.text);
    EXPECT_EQ(c.julian, d.GetJulian()) << c.text;
    EXPECT_EQ(c.dow, d.GetDayOfWeek()) << c.text;
    EXPECT_STREQ(c.normal, d()) << c.text;
    EXPECT_EQ(atoi(c.normal), d.GetYear() * 10000 + d.GetMonth() * 100 + d.GetDay());
  }
  CQIRDate d("20241231");
  EXPECT_STREQ("20250101", (d++)());  // postfix answers the changed date
  EXPECT_STREQ("20241231", (--d)());
  EXPECT_STREQ("20241226", (5L - d)());  // both forms subtract the days
  EXPECT_TRUE(d < d + 1L && d == CQIRDate("20241231") && d != d + 1L);
  EXPECT_STREQ("[2024-12-31]", d.AscDate("[CCYY-MM-DD]"));
  ScopedTZ tz("JST-9");
  EXPECT_STREQ("20250306", CQIRDate(static_cast<time_t>(1741205043))());  // 20:04 UTC the 5th
}

TEST(CQIRDateTest, BadTextAndPicturesAreRefused) {
  QIR_OPEN_SERVICE_LOG(QIR_LOG_ALL);
  CQIRDate d("20250305");
  const char* const none = nullptr;
  qirtest::Captured([&] {
    for (const char* text : {"2024022", "2024AB29", "202402291", "", none}) {
      EXPECT_FALSE(CQIRDate(text).IsValid()) << (text ? text : "null");
    }
    for (const char* picture : {"YYYY", "CCYYMMDDD", "CCC", "CCYY-MM-DD--x", none}) {
      EXPECT_EQ(nullptr, d.AscDate(picture)) << (picture ? picture : "null");
    }
  });
  // Digits, but no such month or day, or the year 0; assignment never reads
  // past a short text.
  for (const char* text : {"20241301", "20240100", "00000101", "2025", "abcdefgh"}) {
    CQIRDate bad("20250305");
    bad = text;
    ExpectInvalid(bad, text);
  }
}

// Midnight used to come out as 01:00 in summer: mktime was told that no
// summer time applied.
TEST(CQIRDateTest, GetIsMidnightInSummerTime) {
  ScopedTZ tz(QIR_TEST_TZ_CET);
  EXPECT_EQ(1751666400, CQIRDate("20250705").Get());  // 2025-07-04 22:00 UTC
  EXPECT_EQ(1736031600, CQIRDate("20250105").Get());  // 2025-01-04 23:00 UTC
}

// The operators used to move an invalid date's marker, turning it into a
// date about 5.8 million years ahead; day numbers beyond 9999-12-31 used to
// print more than eight digits into nine-byte buffers.
TEST(CQIRDateTest, InvalidAndOutOfRangeDatesStayInvalid) {
  CQIRDate d;
  d = 0L;
  ++d;
  d += 1;
  d -= -3;
  d.AddDate(2);
  ExpectInvalid(d, "moved");
  CQIRDate e = 1L - d;
  ExpectInvalid(e, "copy");
  d = "99991231";
  ExpectInvalid(++d, "10000-01-01");
  d = "00010101";
  d -= 366;  // 0000-01-01 still has a four-digit year; one day before has not
  EXPECT_STREQ("00000101", d());
  ExpectInvalid(--d, "-0001-12-31");
  const long max = CQIRDate::QIR_DATE_MAX_JULIAN;
  for (long v : {LONG_MAX, LONG_MIN, max + 1, -max - 1}) {
    d = v;
    ExpectInvalid(d, std::to_string(v));
    d = "20250305";
    EXPECT_FALSE((d += v).IsValid()) << v;
    d = "20250305";
    EXPECT_FALSE((d -= v).IsValid()) << v;
  }
}
