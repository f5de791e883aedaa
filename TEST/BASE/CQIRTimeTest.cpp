#include "CQIRTime.h"

#include "CQIRServiceLog.h"
#include "QIRLogTestUtil.h"

#include <gtest/gtest.h>
#include <string.h>

#include <string>

using qirtest::ScopedTZ;

namespace {

const time_t kMoment = 1741165443;  // 2025-03-05 09:04:03 UTC

CQIRTime At(time_t _sec, unsigned short _ms) {
  timeb tb = {};
  tb.time = _sec;
  tb.millitm = _ms;
  CQIRTime t(0);
  t = tb;
  return t;
}

std::string Text(const char* _p) { return _p ? _p : "(null)"; }

}  // namespace

TEST(CQIRTimeTest, PictureFormatting) {
  ScopedTZ tz("UTC0");
  CQIRTime t = At(kMoment, 42);
  const struct { const char* picture; const char* text; } cases[] = {
      {"YYYY-MM-DD hh:mm:ss.XXX", "2025-03-05 09:04:03.042"}, {"YY/MM/DD", "25/03/05"}, {"D.M", "0.0"},
      {"XcX", "042"},       // X and c share the digits
      {"YYYYYY", nullptr},  // after CCYY, Y is used four times
      {"CCC", nullptr}, {"hhh", nullptr}, {"cccc", nullptr}};
  for (const auto& c : cases) EXPECT_EQ(Text(c.text), Text(t.AscTime(c.picture))) << c.picture;
  EXPECT_STREQ("Wed Mar  5 09:04:03 2025\n", t.AscTime(nullptr));
  ScopedTZ jst("JST-9");  // calendar fields are local
  EXPECT_EQ(18, t.GetHour());
  EXPECT_STREQ("2025-03-05T09:04:03Z", t.AscGMTime());
}

TEST(CQIRTimeTest, PictureLengthIsBounded) {
  ScopedTZ tz("UTC0");
  CQIRTime t = At(kMoment, 0);
  QIR_OPEN_SERVICE_LOG(QIR_LOG_ALL);
  std::string at = "hh" + std::string(30, '-'), over(33, '-');
  EXPECT_EQ("09" + std::string(30, '-'), Text(t.AscTime(at.c_str())));
  char buf[32];
  memset(buf, '#', sizeof(buf));
  qirtest::Captured([&] {
    EXPECT_EQ(nullptr, t.AscTime(over.c_str()));
    EXPECT_EQ(nullptr, t._AscTime("CCYYMMDD", buf, 8));  // the sized form never writes past
    EXPECT_EQ(std::string(8, '#'), std::string(buf, 8));
    EXPECT_STREQ("2025030", t._AscTime("CCYYMMD", buf, 8));
    EXPECT_EQ(nullptr, t._AscTime(nullptr, buf, 8));  // asctime needs 26
    memset(buf, '#', sizeof(buf));
    EXPECT_STREQ("", t.AscGMTime(buf, 20));  // one byte short: left empty
    EXPECT_EQ('#', buf[20]);
    EXPECT_STREQ("2025-03-05T09:04:03Z", t.AscGMTime(buf, 21));
    t = static_cast<time_t>(253402300800 + 400L * 86400);  // in the year 10001: no CCYY
    EXPECT_EQ(nullptr, t.AscTime("CCYYMMDD"));
  });
}

TEST(CQIRTimeTest, MakeTimeReadsPictures) {
  ScopedTZ tz("UTC0");
  const struct { const char* picture; const char* value; time_t expect; } cases[] = {
      {"YYYY-MM-DD hh:mm:ss", "2025-03-05 09:04:03", kMoment},
      {"hhmmss DDMMCCYY", "090403 05032025", kMoment},
      {"CCYYMMDDhhmmss.XXX", "20250305090403.999", kMoment},  // milliseconds ignored
      {"CCYYMMDD", "2025030", 0},                              // lengths differ
      {"CCYYMMDDD", "202503050", 0},                           // third D
      {nullptr, "1", 0}};
  for (const auto& c : cases) EXPECT_EQ(c.expect, CQIRTime::MakeTime(c.picture, c.value)) << c.value;
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
