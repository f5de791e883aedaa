#include "CQIRTime.h"

#include "CQIRServiceLog.h"
#include "BASE/ScopedTZ.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>

namespace {

const time_t kMoment = 1741165443;  // 2025-03-05 09:04:03 UTC

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
}

TEST(CQIRTimeTest, ComparesSecondsThenMilliseconds) {
  const CQIRTime a = At(5, 100), b = At(5, 200), c = At(4, 999), same = At(5, 100);
  EXPECT_TRUE(a < b && a <= b && b > a && b >= a && !(b < a) && !(a > b));
  EXPECT_TRUE(c < a && !(c >= a));
  EXPECT_TRUE(a <= same && a >= same && !(a < same) && !(a > same));
}

TEST(CQIRTimeTest, FieldsAndGMTime) {
  ScopedTZ tz("JST-9");
  CQIRTime t = At(kMoment, 42);
  const int fields[] = {t.GetYear(), t.GetMonth(), t.GetDay(), t.GetHour(), t.GetMin(), t.GetSec()};
  const int local[] = {2025, 3, 5, 18, 4, 3};
  for (int i = 0; i < 6; ++i) EXPECT_EQ(local[i], fields[i]) << i;

  EXPECT_STREQ("2025-03-05T09:04:03Z", t.AscGMTime());
  char buf[32];
  memset(buf, '#', sizeof(buf));
  EXPECT_STREQ("2025-03-05T09:04:03Z", t.AscGMTime(buf, 21));
  memset(buf, '#', sizeof(buf));
  EXPECT_STREQ("", t.AscGMTime(buf, 20));  // one byte short: left empty
  EXPECT_EQ('#', buf[20]);
}

TEST(CQIRTimeTest, PictureFormatting) {
  ScopedTZ tz("UTC0");
  CQIRTime t = At(kMoment, 42);
  const struct { const char* picture; const char* text; } cases[] = {
      {"CCYYMMDDhhmmss", "20250305090403"}, {"YYYY-MM-DD hh:mm:ss.XXX", "2025-03-05 09:04:03.042"},
      {"hh:mm:ss", "09:04:03"}, {"YY/MM/DD", "25/03/05"}, {"XcX", "042"},  // X, c share digits
      {"D.M", "0.0"}, {"", ""},
      {"YYYYYY", nullptr},  // after CCYY, Y is used four times
      {"CCC", nullptr}, {"hhh", nullptr}, {"cccc", nullptr}};
  for (const auto& c : cases) EXPECT_EQ(Text(c.text), Text(t.AscTime(c.picture))) << c.picture;
  EXPECT_STREQ("Wed Mar  5 09:04:03 2025\n", t.AscTime(nullptr));
}

TEST(CQIRTimeTest, PictureLengthIsBounded) {
  ScopedTZ tz("UTC0");
  CQIRTime t = At(kMoment, 0);
  QIR_OPEN_SERVICE_LOG(QIR_LOG_ALL);
  std::string at = "hh" + std::string(30, '-'), over(33, '-');
  EXPECT_EQ("09" + std::string(30, '-'), Text(t.AscTime(at.c_str())));
  testing::internal::CaptureStdout();
  EXPECT_EQ(nullptr, t.AscTime(over.c_str()));
  EXPECT_NE(std::string::npos,
            testing::internal::GetCapturedStdout().find("invalid argument...(picture)"));

  // The sized form never writes past the caller's buffer.
  char small[8];
  memset(small, '#', sizeof(small));
  testing::internal::CaptureStdout();
  EXPECT_EQ(nullptr, t._AscTime("CCYYMMDD", small, sizeof(small)));
  testing::internal::GetCapturedStdout();
  EXPECT_EQ(std::string(8, '#'), std::string(small, 8));
  EXPECT_STREQ("2025030", t._AscTime("CCYYMMD", small, sizeof(small)));
  EXPECT_EQ(nullptr, t._AscTime(nullptr, small, sizeof(small)));  // asctime needs 26

  // A five-digit year cannot be spelled CCYY: refused, not shifted.
  t = static_cast<time_t>(253402300800 + 400L * 86400);  // in the year 10001
  testing::internal::CaptureStdout();
  EXPECT_EQ(nullptr, t.AscTime("CCYYMMDD"));
  testing::internal::GetCapturedStdout();
}

TEST(CQIRTimeTest, MakeTimeReadsPictures) {
  ScopedTZ tz("UTC0");
  const struct { const char* picture; const char* value; time_t expect; } cases[] = {
      {"CCYYMMDDhhmmss", "20250305090403", kMoment},
      {"YYYY-MM-DD hh:mm:ss", "2025-03-05 09:04:03", kMoment},
      {"hhmmss DDMMCCYY", "090403 05032025", kMoment},
      {"CCYYMMDDhhmmss.XXX", "20250305090403.999", kMoment},  // milliseconds ignored
      {"CCYYMMDD", "2025030", 0},                              // lengths differ
      {"CCYYMMDDD", "202503050", 0}};                          // third D
  for (const auto& c : cases) EXPECT_EQ(c.expect, CQIRTime::MakeTime(c.picture, c.value)) << c.value;
  EXPECT_EQ(0, CQIRTime::MakeTime(nullptr, "1"));
  CQIRTime t(CQIRTime::MakeTime("CCYYMMDDhhmmss", "20240229235959"));
  EXPECT_STREQ("20240229235959", t.AscTime("CCYYMMDDhhmmss"));
}

// Summer-time text used to come out one hour late: mktime was told that no
// summer time applied.
TEST(CQIRTimeTest, MakeTimeSummerTimeIsNotAnHourLate) {
  ScopedTZ tz(QIR_TEST_TZ_CET);
  EXPECT_EQ(1751709600, CQIRTime::MakeTime("CCYYMMDDhhmmss", "20250705120000"));  // 10:00 UTC
  EXPECT_EQ(1736074800, CQIRTime::MakeTime("CCYYMMDDhhmmss", "20250105120000"));  // 11:00 UTC
}

// A non-digit used to be added as if it were one, moving the time silently.
TEST(CQIRTimeTest, MakeTimeRefusesNonDigits) {
  ScopedTZ tz("UTC0");
  EXPECT_EQ(0, CQIRTime::MakeTime("CCYYMMDD", "2025O305"));
  EXPECT_EQ(0, CQIRTime::MakeTime("hh:mm", "0 :04"));
}
