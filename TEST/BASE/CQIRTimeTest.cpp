#include "CQIRTime.h"

#include "CQIRServiceLog.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <string>

namespace {

// 2025-03-05 09:04:03 UTC.
const time_t kMoment = 1741165443;

// Central European time with its summer rule, spelled out so that no zone
// database is needed.
const char* const kCET = "CET-1CEST,M3.5.0,M10.5.0/3";

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

CQIRTime At(time_t _sec, unsigned short _ms) {
  timeb tb;
  memset(&tb, 0, sizeof(tb));
  tb.time = _sec;
  tb.millitm = _ms;
  CQIRTime t(0);
  t = tb;
  return t;
}

std::string Text(const char* _p) { return _p ? _p : "(null)"; }

}  // namespace

TEST(CQIRTimeTest, ArithmeticCarriesAndBorrowsMilliseconds) {
  CQIRTime a = At(5, 900);
  a += At(0, 200);
  EXPECT_EQ(6, a.GetTime());
  EXPECT_EQ(100, a.GetMilliSec());
  a -= At(0, 200);
  EXPECT_EQ(5, a.GetTime());
  EXPECT_EQ(900, a.GetMilliSec());
  a += At(1, 100);  // exactly 1000 ms carries
  EXPECT_EQ(7, a.GetTime());
  EXPECT_EQ(0, a.GetMilliSec());
  a += static_cast<time_t>(10);
  a -= static_cast<time_t>(3);
  EXPECT_EQ(14, a.GetTime());
  a = static_cast<time_t>(42);
  EXPECT_EQ(0, a.GetMilliSec());
}

TEST(CQIRTimeTest, ComparesSecondsThenMilliseconds) {
  const struct { time_t s1; int ms1; time_t s2; int ms2; int less; } cases[] = {
      {5, 100, 5, 200, 1}, {5, 200, 5, 100, 0}, {4, 999, 5, 0, 1}, {6, 0, 5, 999, 0},
      {5, 100, 5, 100, 0}};
  for (const auto& c : cases) {
    CQIRTime a = At(c.s1, c.ms1), b = At(c.s2, c.ms2);
    const bool equal = c.s1 == c.s2 && c.ms1 == c.ms2;
    EXPECT_EQ(c.less, a < b) << c.s1 << "." << c.ms1;
    EXPECT_EQ(!c.less && !equal, a > b) << c.s1 << "." << c.ms1;
    EXPECT_EQ(c.less || equal, a <= b) << c.s1 << "." << c.ms1;
    EXPECT_EQ(!c.less, a >= b) << c.s1 << "." << c.ms1;
  }
}

TEST(CQIRTimeTest, FieldsAreLocalTime) {
  ScopedTZ tz("JST-9");
  CQIRTime t = At(kMoment, 42);
  EXPECT_EQ(2025, t.GetYear());
  EXPECT_EQ(3, t.GetMonth());
  EXPECT_EQ(5, t.GetDay());
  EXPECT_EQ(18, t.GetHour());
  EXPECT_EQ(4, t.GetMin());
  EXPECT_EQ(3, t.GetSec());
  EXPECT_EQ(42, t.GetMilliSec());
}

TEST(CQIRTimeTest, PictureFormatting) {
  ScopedTZ tz("UTC0");
  CQIRTime t = At(kMoment, 42);
  const struct { const char* picture; const char* text; } cases[] = {
      {"CCYYMMDDhhmmss", "20250305090403"},
      {"YYYY-MM-DD hh:mm:ss.XXX", "2025-03-05 09:04:03.042"},
      {"hh:mm:ss", "09:04:03"},
      {"YY/MM/DD", "25/03/05"},
      {"ccc", "042"},
      {"XcX", "042"},  // both letters walk the same three digits
      {"D.M", "0.0"},
      {"", ""},
      {"YYYYYY", nullptr},  // after CCYY, Y is used four times
      {"CCC", nullptr},
      {"hhh", nullptr},
      {"XXXX", nullptr},
      {"sss", nullptr}};
  for (const auto& c : cases) {
    EXPECT_EQ(Text(c.text), Text(t.AscTime(c.picture))) << c.picture;
  }
  char dest[CQIRTime::QIR_TIME_TEXT_SIZE];
  EXPECT_EQ(dest, t._AscTime("DD.MM.", dest));
  EXPECT_STREQ("05.03.", dest);
  EXPECT_STREQ("Wed Mar  5 09:04:03 2025\n", t.AscTime(nullptr));
}

TEST(CQIRTimeTest, PictureLengthIsBounded) {
  ScopedTZ tz("UTC0");
  CQIRTime t = At(kMoment, 0);
  QIR_OPEN_SERVICE_LOG(QIR_LOG_ALL);
  std::string at(32, '-'), over(33, '-');
  at.replace(0, 2, "hh");
  EXPECT_EQ("09" + std::string(30, '-'), Text(t.AscTime(at.c_str())));

  testing::internal::CaptureStdout();
  EXPECT_EQ(nullptr, t.AscTime(over.c_str()));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(std::string::npos, out.find("invalid argument...(picture)")) << out;

  // The sized form never writes past the caller's buffer.
  char small[8];
  memset(small, '#', sizeof(small));
  testing::internal::CaptureStdout();
  EXPECT_EQ(nullptr, t._AscTime("CCYYMMDD", small, sizeof(small)));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(std::string(8, '#'), std::string(small, 8));
  EXPECT_EQ(small, t._AscTime("CCYYMMD", small, sizeof(small)));
  EXPECT_STREQ("2025030", small);
  EXPECT_EQ(nullptr, t._AscTime(nullptr, small, sizeof(small)));  // asctime needs 26
}

TEST(CQIRTimeTest, YearBeyondFourDigitsIsRefusedNotShifted) {
  ScopedTZ tz("UTC0");
  CQIRTime t = At(253402300800 + 400L * 86400, 0);  // in the year 10001
  EXPECT_EQ(10001, t.GetYear());
  testing::internal::CaptureStdout();
  EXPECT_EQ(nullptr, t.AscTime("CCYYMMDD"));
  testing::internal::GetCapturedStdout();
}

TEST(CQIRTimeTest, GMTimeIgnoresTheZone) {
  ScopedTZ tz("JST-9");
  CQIRTime t = At(kMoment, 500);
  EXPECT_STREQ("2025-03-05T09:04:03Z", t.AscGMTime());
  char buf[32];
  memset(buf, '#', sizeof(buf));
  EXPECT_EQ(buf, t.AscGMTime(buf, 21));
  EXPECT_STREQ("2025-03-05T09:04:03Z", buf);
  memset(buf, '#', sizeof(buf));
  EXPECT_EQ(buf, t.AscGMTime(buf, 20));  // one byte short: left empty
  EXPECT_STREQ("", buf);
  EXPECT_EQ('#', buf[20]);
}

TEST(CQIRTimeTest, MakeTimeReadsPictures) {
  ScopedTZ tz("UTC0");
  const struct { const char* picture; const char* value; time_t expect; } cases[] = {
      {"CCYYMMDDhhmmss", "20250305090403", kMoment},
      {"YYYY-MM-DD hh:mm:ss", "2025-03-05 09:04:03", kMoment},
      {"hhmmss DDMMCCYY", "090403 05032025", kMoment},
      {"CCYYMMDDhhmmss.XXX", "20250305090403.999", kMoment},  // milliseconds ignored
      {"CCYYMMDD", "2025030", 0},                              // lengths differ
      {"CCYYMMDDD", "202503050", 0},                           // third D
      {"CCYYMMDDhhmmss", "2025030509040x", 0}};
  for (const auto& c : cases) EXPECT_EQ(c.expect, CQIRTime::MakeTime(c.picture, c.value)) << c.value;
  EXPECT_EQ(0, CQIRTime::MakeTime(nullptr, "1"));

  CQIRTime t(CQIRTime::MakeTime("CCYYMMDDhhmmss", "20240229235959"));
  EXPECT_STREQ("20240229235959", t.AscTime("CCYYMMDDhhmmss"));
}

// Summer-time text used to come out one hour late: mktime was told that no
// summer time applied.
TEST(CQIRTimeTest, MakeTimeSummerTimeIsNotAnHourLate) {
  ScopedTZ tz(kCET);
  EXPECT_EQ(1751709600, CQIRTime::MakeTime("CCYYMMDDhhmmss", "20250705120000"));
  EXPECT_EQ(1736074800, CQIRTime::MakeTime("CCYYMMDDhhmmss", "20250105120000"));
  CQIRTime t(CQIRTime::MakeTime("CCYYMMDDhhmmss", "20250705120000"));
  EXPECT_STREQ("20250705120000", t.AscTime("CCYYMMDDhhmmss"));
}

// A non-digit used to be added as if it were one, moving the time silently.
TEST(CQIRTimeTest, MakeTimeRefusesNonDigits) {
  ScopedTZ tz("UTC0");
  EXPECT_EQ(0, CQIRTime::MakeTime("CCYYMMDD", "2025O305"));
  EXPECT_EQ(0, CQIRTime::MakeTime("hh:mm", "0 :04"));
}

TEST(CQIRTimeTest, NowHasMilliseconds) {
  time_t before = time(nullptr);
  CQIRTime t;
  EXPECT_GE(t.GetTime(), before);
  EXPECT_LE(t.GetTime(), time(nullptr));
  EXPECT_GE(t.GetMilliSec(), 0);
  EXPECT_LT(t.GetMilliSec(), 1000);
}
