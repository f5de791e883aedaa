#include "CQIRWriteFile.h"

#include "QIRLogTestUtil.h"

#include <gtest/gtest.h>

#include <atomic>
#include <string>

using qirtest::Exists, qirtest::LocalNoon, qirtest::ReadAll, qirtest::SetMtime, qirtest::TempDir;
using qirtest::WriteAll;

namespace {

std::atomic<time_t> g_now{0};
time_t FakeNow() { return g_now.load(); }

typedef CQIRWriteFile WF;

// The calendar is driven through the writer's clock; it starts on 5 March 2025.
class CQIRWriteFileTest : public testing::Test {
 protected:
  void SetUp() override {
    SetDay(2025, 3, 5);
    CQIRWriteFile::SetClock(&FakeNow);
  }
  void TearDown() override { CQIRWriteFile::SetClock(nullptr); }
  static void SetDay(int _y, int _m, int _d) { g_now = LocalNoon(_y, _m, _d); }
  static bool Put(CQIRWriteFile& _f, const std::string& _text) {
    return _f.Write(reinterpret_cast<const unsigned char*>(_text.data()), _text.size());
  }

  TempDir tmp_;
};

}  // namespace

// Each full file takes the next suffix, the day's last file one more at the
// day change, and the numbering starts again for the new day.
TEST_F(CQIRWriteFileTest, SizeLimitAndDayChangeNumberFinishedFiles) {
  for (auto type : {WF::QIR_WF_DAILY_CHANGE, WF::QIR_WF_DAILY_DIR_CHANGE}) {
    TempDir tmp;
    const bool dirs = type == WF::QIR_WF_DAILY_DIR_CHANGE;
    const std::string d5 = dirs ? "20250305/" : "", d6 = dirs ? "20250306/" : "";
    SetDay(2025, 3, 5);
    {
      CQIRWriteFile f(tmp.path().c_str(), "app", "LOG");
      f.SetChange(type, 1);
      f.SetSize(1000);
      for (char c : std::string("12345")) ASSERT_TRUE(Put(f, std::string(599, c) + "\n"));
      SetDay(2025, 3, 6);
      for (char c : std::string("678")) ASSERT_TRUE(Put(f, std::string(599, c) + "\n"));
    }
    const struct { const char* ids; std::string file; } files[] = {  // records by their character
        {"12", d5 + "app.LOG.20250305.1"}, {"34", d5 + "app.LOG.20250305.2"},
        {"5", d5 + "app.LOG.20250305.3"}, {"67", d6 + "app.LOG.20250306.1"},
        {"8", d6 + "app.LOG.20250306"}};
    for (const auto& f : files) {
      std::string recs;
      for (const char* c = f.ids; *c != '\0'; ++c) recs += std::string(599, *c) + "\n";
      EXPECT_EQ(recs, ReadAll(tmp / f.file)) << f.file;
    }
    EXPECT_FALSE(Exists(tmp / (d5 + "app.LOG.20250305")));
  }
}

// A finished file is never overwritten: after a restart the numbering goes
// on from today's finished files. Without a size limit the suffix search
// never ran, so a day change renamed the day's file onto one of them.
TEST_F(CQIRWriteFileTest, FinishedFilesAreNeverOverwritten) {
  for (int i = 1; i <= 12; ++i) WriteAll(tmp_ / ("app.LOG.20250305." + std::to_string(i)), "old");
  for (auto other : {"app.LOG.20250305.x", "app.LOG.20250304.40", "app.T.LOG.20250305.50"}) {
    WriteAll(tmp_ / other, "not today's, or not this log's");
  }
  for (unsigned long limit : {10ul, 0ul}) {
    CQIRWriteFile f(tmp_.path().c_str(), "app", "LOG");
    f.SetChange(WF::QIR_WF_DAILY_CHANGE, 1);
    if (limit != 0) f.SetSize(limit);
    EXPECT_EQ(12 + (limit == 0), f.GetFileSeq());
    ASSERT_TRUE(Put(f, "0123456789ab\n"));
    if (limit == 0) SetDay(2025, 3, 6);
    ASSERT_TRUE(Put(f, "next\n"));
    f.Close();
    EXPECT_EQ(limit != 0 ? "0123456789ab\n" : "next\n0123456789ab\n",
              ReadAll(tmp_ / ("app.LOG.20250305." + std::to_string(13 + (limit == 0)))));
  }
  EXPECT_EQ("old", ReadAll(tmp_ / "app.LOG.20250305.12"));
}

TEST_F(CQIRWriteFileTest, KeepDaysRemovesOldFilesAtOpen) {
  const struct { const char* name; int day; bool kept; } files[] = {
      {"app.LOG.20250301", 1, false},  // 1 March + 7 days is before the 9th
      {"app.LOG.20250302", 2, true}, {"other.LOG.20250101", 1, true}};  // another base name
  for (const auto& f : files) {
    WriteAll(tmp_ / f.name, "x");
    ASSERT_TRUE(SetMtime(tmp_ / f.name, LocalNoon(2025, 3, f.day)));
  }
  SetDay(2025, 3, 9);
  CQIRWriteFile f(tmp_.path().c_str(), "app", "LOG");
  f.SetChange(WF::QIR_WF_DAILY_CHANGE, 1);
  ASSERT_TRUE(f.Open());
  EXPECT_TRUE(Exists(tmp_ / "app.LOG.20250301"));  // keep days 0 removes nothing
  f.SetKeepDays(7);
  ASSERT_TRUE(f.ReOpen());
  for (const auto& file : files) EXPECT_EQ(file.kept, Exists(tmp_ / file.name)) << file.name;
}

// Only day directories of the current year qualified, so after New Year the
// directories of December stayed for ever.
TEST_F(CQIRWriteFileTest, KeepDaysRemovesDayDirectoriesAcrossTheYearEnd) {
  const struct { const char* name; int y, m, d; bool kept; } dirs[] = {
      {"20241220", 2024, 12, 20, false}, {"20250110", 2025, 1, 10, false},
      {"20250115", 2025, 1, 15, true}, {"keep", 2024, 1, 1, true}};  // not a day directory
  for (const auto& d : dirs) {
    ASSERT_EQ(0, mkdir((tmp_ / d.name).c_str(), 0700));
    WriteAll(tmp_ / (std::string(d.name) + "/app.LOG"), "x");
    ASSERT_TRUE(SetMtime(tmp_ / d.name, LocalNoon(d.y, d.m, d.d)));
  }
  SetDay(2025, 1, 20);
  CQIRWriteFile f(tmp_.path().c_str(), "app", "LOG");
  f.SetChange(WF::QIR_WF_DAILY_DIR_CHANGE, 1);
  f.SetKeepDays(7);
  ASSERT_TRUE(f.Open());
  for (const auto& d : dirs) EXPECT_EQ(d.kept, Exists(tmp_ / d.name)) << d.name;
}

TEST_F(CQIRWriteFileTest, SizeAndRecordCountTypesNumberTheirFiles) {
  for (auto c : {std::make_pair(WF::QIR_WF_SIZE_CHANGE, 10), {WF::QIR_WF_RECORD_COUNT_CHANGE, 2}}) {
    TempDir tmp;
    CQIRWriteFile f(tmp.path().c_str(), "app", "DAT");
    f.SetChange(c.first, c.second);
    for (const char* r : {"aaaaaa", "bbbbbb", "cccccc"}) ASSERT_TRUE(Put(f, r));
    f.Close();
    // Both change after two records; the finished file is suffixed like any.
    EXPECT_EQ("aaaaaabbbbbb", ReadAll(tmp / "app.DAT.00000001.1")) << c.first;
    EXPECT_EQ("cccccc", ReadAll(tmp / "app.DAT.00000002")) << c.first;
  }
}
