#include "CQIRDate.h"

#include "CQIRServiceLog.h"

#include <gtest/gtest.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>

namespace {

class ScopedTZ {
 public:
  explicit ScopedTZ(const char* _tz) {
    const char* old = getenv("TZ");
    had_ = old != nullptr;
    if (had_) old_ = old;
    setenv("TZ", _tz, 1);
    tzset();
  }
  ~ScopedTZ() {
    if (had_) setenv("TZ", old_.c_str(), 1); else unsetenv("TZ");
    tzset();
  }
 private:
  bool had_;
  std::string old_;
};

std::string Text(const char* _p) { return _p ? _p : "(null)"; }

// Standard output of _fn, with the service log open.
template <typename F>
std::string Logged(F _fn) {
  QIR_OPEN_SERVICE_LOG(QIR_LOG_ALL);
  testing::internal::CaptureStdout();
  _fn();
  return testing::internal::GetCapturedStdout();
}

void ExpectInvalid(CQIRDate& _d) {
  char buf[CQIRDate::QIR_DATE_TEXT_SIZE];
  EXPECT_FALSE(_d.IsValid());
  EXPECT_EQ(-1, _d.Get());
  EXPECT_EQ(-1, _d.GetYear());
  EXPECT_EQ(-1, _d.GetMonth());
  EXPECT_EQ(-1, _d.GetDay());
  EXPECT_EQ(-1, _d.GetDayOfWeek());
  EXPECT_FALSE(_d.GetDate(buf));
  EXPECT_STREQ("", _d());
  std::string out = Logged([&] { EXPECT_EQ(nullptr, _d.AscDate("CCYYMMDD")); });
  EXPECT_NE(std::string::npos, out.find("invalid date value...")) << out;
}

}  // namespace

// Day numbers and weekdays from an independent proleptic Gregorian calendar.
TEST(CQIRDateTest, JulianDayNumbersAndWeekdays) {
  const struct { const char* text; long julian; int dow; } cases[] = {
      {"20000101", 2451545, 6}, {"19700101", 2440588, 4}, {"20240229", 2460370, 4},
      {"00010101", 1721426, 1}, {"99991231", 5373484, 5}, {"15821015", 2299161, 5},
      {"20250305", 2460740, 3}};
  for (const auto& c : cases) {
    CQIRDate d(c.text);
    ASSERT_TRUE(d.IsValid()) << c.text;
    EXPECT_EQ(c.julian, d.GetJulian()) << c.text;
    EXPECT_EQ(c.dow, d.GetDayOfWeek()) << c.text;
    char buf[CQIRDate::QIR_DATE_TEXT_SIZE];
    ASSERT_TRUE(d.GetDate(buf));
    EXPECT_STREQ(c.text, buf);
    EXPECT_STREQ(c.text, d());
    EXPECT_EQ(atoi(std::string(c.text, 4).c_str()), d.GetYear());
    EXPECT_EQ(atoi(std::string(c.text + 4, 2).c_str()), d.GetMonth());
    EXPECT_EQ(atoi(c.text + 6), d.GetDay());
  }
}

TEST(CQIRDateTest, LeapDays) {
  const struct { const char* text; const char* stored; } cases[] = {
      {"20240229", "20240229"}, {"20000229", "20000229"},
      // The day is not checked against the month: it rolls on.
      {"20230229", "20230301"}, {"19000229", "19000301"}, {"20250231", "20250303"}};
  for (const auto& c : cases) EXPECT_STREQ(c.stored, CQIRDate(c.text)()) << c.text;
}

TEST(CQIRDateTest, DayArithmetic) {
  CQIRDate d("20241231");
  ++d;
  EXPECT_STREQ("20250101", d());
  d = "20240301";
  d--;
  EXPECT_STREQ("20240229", d());
  EXPECT_STREQ("20240301", (d++)());  // postfix answers the changed date
  EXPECT_STREQ("20240229", (--d)());
  d += 366;
  EXPECT_STREQ("20250301", d());
  d -= 365;
  EXPECT_STREQ("20240301", d());
  d.AddDate(-1);
  EXPECT_STREQ("20240229", d());

  CQIRDate base("20250305");
  EXPECT_STREQ("20250310", (base + 5L)());
  EXPECT_STREQ("20250310", (5L + base)());
  EXPECT_STREQ("20250228", (base - 5L)());
  EXPECT_STREQ("20250228", (5L - base)());  // both forms subtract the days
  EXPECT_STREQ("20250305", base());

  CQIRDate later = base + 1L;
  EXPECT_TRUE(base < later && base <= later && later > base && later >= base && base != later);
  EXPECT_TRUE(base == CQIRDate("20250305"));
  d = 2451545L;
  EXPECT_STREQ("20000101", d());
}

TEST(CQIRDateTest, BadTextIsInvalidWithMessage) {
  const char* const bad[] = {"2024022", "2024AB29", "202402291", "", "2024 229", nullptr};
  for (const char* text : bad) {
    std::string out = Logged([&] { CQIRDate d(text); EXPECT_FALSE(d.IsValid()) << Text(text); });
    EXPECT_NE(std::string::npos, out.find("invalid date string")) << Text(text);
  }
  // Digits, but no such month or day, or the year 0.
  const char* const impossible[] = {"20241301", "20240001", "20240100", "00000101"};
  for (const char* text : impossible) {
    CQIRDate d(text);
    ExpectInvalid(d);
  }
}

TEST(CQIRDateTest, AssignedTextIsReadFieldByField) {
  CQIRDate d("20000101");
  d = "20250305";
  EXPECT_STREQ("20250305", d());
  d = "2025 3 5";  // each field is read like atoi
  EXPECT_STREQ("20250305", d());
  const char* const bad[] = {"2025", "202503", "", "abcdefgh", nullptr};
  for (const char* text : bad) {
    d = "20000101";
    d = text;  // short text must not be read past its end
    EXPECT_FALSE(d.IsValid()) << Text(text);
  }
}

TEST(CQIRDateTest, PictureFormatting) {
  CQIRDate d("20250305");
  const struct { const char* picture; const char* text; } cases[] = {
      {"CCYY/MM/DD", "2025/03/05"}, {"CCYYMMDD", "20250305"}, {"DD.MM.YY", "05.03.25"},
      {"MMDD", "0305"},             {"[CCYY-MM-DD]", "[2025-03-05]"},
      {"YYYY", nullptr},            {"CCYYMMDDD", nullptr}, {"CCC", nullptr}, {"MMM", nullptr}};
  for (const auto& c : cases) EXPECT_EQ(Text(c.text), Text(d.AscDate(c.picture))) << c.picture;

  std::string out = Logged([&] { EXPECT_EQ(nullptr, d.AscDate("CCYY-MM-DD--x")); });
  EXPECT_NE(std::string::npos, out.find("invalid arguments...")) << out;
  out = Logged([&] { EXPECT_EQ(nullptr, d.AscDate(nullptr)); });
  EXPECT_NE(std::string::npos, out.find("invalid arguments...")) << out;
}

TEST(CQIRDateTest, LocalDateOfATime) {
  ScopedTZ tz("JST-9");
  const time_t evening = 1741165443 + 11 * 3600;  // 2025-03-05 20:04 UTC
  EXPECT_STREQ("20250306", CQIRDate(evening)());
  CQIRDate d("20000101");
  d.SetDate(1741165443);
  EXPECT_STREQ("20250305", d());
  struct tm t;
  memset(&t, 0, sizeof(t));
  t.tm_year = 124;
  t.tm_mon = 1;
  t.tm_mday = 29;
  EXPECT_STREQ("20240229", CQIRDate(&t)());
  EXPECT_FALSE(CQIRDate(static_cast<const struct tm*>(nullptr)).IsValid());
  EXPECT_EQ(1741100400, CQIRDate("20250305").Get());  // 2025-03-05 00:00 JST
  EXPECT_TRUE(CQIRDate().IsValid());
}

// Midnight used to come out as 01:00 in summer: mktime was told that no
// summer time applied.
TEST(CQIRDateTest, GetIsMidnightInSummerTime) {
  ScopedTZ tz("CET-1CEST,M3.5.0,M10.5.0/3");
  EXPECT_EQ(1751666400, CQIRDate("20250705").Get());  // 2025-07-04 22:00 UTC
  EXPECT_EQ(1736031600, CQIRDate("20250105").Get());  // 2025-01-04 23:00 UTC
}

// The operators used to move an invalid date's marker, turning it into a
// date about 5.8 million years ahead.
TEST(CQIRDateTest, InvalidDateStaysInvalidUnderArithmetic) {
  CQIRDate d;
  d = 0L;
  ++d;
  d++;
  d += 1;
  d -= -3;
  d.AddDate(2);
  ExpectInvalid(d);
  CQIRDate e = d + 1L;
  ExpectInvalid(e);
  e = 1L - d;
  ExpectInvalid(e);
}

// Day numbers beyond 9999-12-31 used to print more than eight digits into
// nine-byte buffers.
TEST(CQIRDateTest, OutOfRangeDateNeverOverrunsText) {
  CQIRDate d("99991231");
  ++d;
  ExpectInvalid(d);
  d = "00010101";
  d -= 366;  // 0000-01-01 still has a four-digit year; one day before has not
  EXPECT_STREQ("00000101", d());
  --d;
  ExpectInvalid(d);

  const long huge[] = {LONG_MAX, LONG_MIN, CQIRDate::QIR_DATE_INVALID - 1,
                       CQIRDate::QIR_DATE_MAX_JULIAN + 1, -CQIRDate::QIR_DATE_MAX_JULIAN - 1};
  for (long v : huge) {
    d = v;
    ExpectInvalid(d);
    d = "20250305";
    d += v;
    EXPECT_FALSE(d.IsValid()) << v;
    d = "20250305";
    d -= v;
    EXPECT_FALSE(d.IsValid()) << v;
  }
  const long outside[] = {-1, 0, CQIRDate::QIR_DATE_MIN_JULIAN - 1};
  for (long v : outside) {
    d = v;
    ExpectInvalid(d);
  }
}
