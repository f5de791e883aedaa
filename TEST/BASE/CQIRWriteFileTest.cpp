#include "CQIRWriteFile.h"

#include "CQIRServiceLog.h"
#include "QIRLogTestUtil.h"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <atomic>
#include <string>
#include <vector>

using qirtest::Exists;
using qirtest::ListDir;
using qirtest::LocalNoon;
using qirtest::ReadAll;
using qirtest::SetMtime;
using qirtest::TempDir;
using qirtest::WriteAll;

namespace {

std::atomic<time_t> g_now{0};
time_t FakeNow() { return g_now.load(); }

typedef CQIRWriteFile WF;

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
  // Standard output of _fn, with the service log on the console.
  template <typename F>
  static std::string Output(F _fn) {
    EXPECT_EQ(1, QIR_OPEN_SERVICE_LOG(QIR_LOG_ALL));
    testing::internal::CaptureStdout();
    _fn();
    return testing::internal::GetCapturedStdout();
  }

  TempDir tmp_;
};

}  // namespace

TEST_F(CQIRWriteFileTest, FileNameFollowsChangeTypeAndExtension) {
  const struct {
    WF::e4changeType type;
    const char* extension;
    const char* name;  // relative to the path
  } cases[] = {
      {WF::QIR_WF_DAILY_CHANGE, "LOG", "app.LOG.20250305"},
      {WF::QIR_WF_DAILY_CHANGE, nullptr, "app.20250305"},
      {WF::QIR_WF_CHANGE_NONE, "LOG", "app.LOG.20250305"},
      {WF::QIR_WF_DAILY_DIR_CHANGE, "LOG", "20250305/app.LOG.20250305"},
      {WF::QIR_WF_DAILY_DIR_CHANGE, nullptr, "20250305/app.20250305"},
      {WF::QIR_WF_SIZE_CHANGE, "DAT", "app.DAT.00000001"},
      {WF::QIR_WF_RECORD_COUNT_CHANGE, "DAT", "app.DAT.00000001"},
  };
  int n = 0;
  for (const auto& c : cases) {
    std::string dir = tmp_ / std::to_string(n++);
    ASSERT_EQ(0, mkdir(dir.c_str(), 0700));
    CQIRWriteFile f(dir.c_str(), "app", c.extension);
    f.SetChange(c.type, 1);
    ASSERT_TRUE(f.Open()) << c.name;
    EXPECT_EQ(dir + "/" + c.name, f.GetFileInfo()->fileNm);
    struct stat st;
    ASSERT_EQ(0, stat(f.GetFileInfo()->fileNm, &st)) << c.name;
    EXPECT_EQ(0666u, st.st_mode & 0777u) << c.name;
  }
}

TEST_F(CQIRWriteFileTest, DayChangeRenamesTheDaysFileAndOpensTheNewDay) {
  for (auto type : {WF::QIR_WF_DAILY_CHANGE, WF::QIR_WF_DAILY_DIR_CHANGE}) {
    TempDir tmp;
    std::string day5 = type == WF::QIR_WF_DAILY_CHANGE ? "" : "20250305/";
    std::string day6 = type == WF::QIR_WF_DAILY_CHANGE ? "" : "20250306/";
    SetDay(2025, 3, 5);
    {
      CQIRWriteFile f(tmp.path().c_str(), "app", "LOG");
      f.SetChange(type, 1);
      ASSERT_TRUE(Put(f, "a\n"));
      ASSERT_TRUE(Put(f, "b\n"));
      SetDay(2025, 3, 6);
      ASSERT_TRUE(Put(f, "c\n"));
    }
    EXPECT_EQ("a\nb\n", ReadAll(tmp / (day5 + "app.LOG.20250305.1")));
    EXPECT_FALSE(Exists(tmp / (day5 + "app.LOG.20250305")));
    EXPECT_EQ("c\n", ReadAll(tmp / (day6 + "app.LOG.20250306")));
  }
}

TEST_F(CQIRWriteFileTest, ChangeUnitOfTwoDaysWaitsForTheSecondDay) {
  CQIRWriteFile f(tmp_.path().c_str(), "app", "LOG");
  f.SetChange(WF::QIR_WF_DAILY_CHANGE, 2);
  ASSERT_TRUE(Put(f, "a\n"));
  SetDay(2025, 3, 6);
  ASSERT_TRUE(Put(f, "b\n"));
  SetDay(2025, 3, 7);
  ASSERT_TRUE(Put(f, "c\n"));
  f.Close();
  EXPECT_EQ(std::vector<std::string>({"app.LOG.20250305.1", "app.LOG.20250307"}),
            ListDir(tmp_.path()));
  EXPECT_EQ("a\nb\n", ReadAll(tmp_ / "app.LOG.20250305.1"));
}

// Each full file gets the next suffix, the day's last file one more at the
// day change, and numbering starts again for the new day.
TEST_F(CQIRWriteFileTest, SizeLimitNumbersFullFilesThroughTheDay) {
  CQIRWriteFile f(tmp_.path().c_str(), "app", "LOG");
  f.SetChange(WF::QIR_WF_DAILY_CHANGE, 1);
  f.SetSize(1000);
  for (char c : std::string("12345")) ASSERT_TRUE(Put(f, std::string(599, c) + "\n"));
  SetDay(2025, 3, 6);
  for (char c : std::string("678")) ASSERT_TRUE(Put(f, std::string(599, c) + "\n"));
  f.Close();
  EXPECT_EQ(std::vector<std::string>({"app.LOG.20250305.1", "app.LOG.20250305.2",
                                      "app.LOG.20250305.3", "app.LOG.20250306",
                                      "app.LOG.20250306.1"}),
            ListDir(tmp_.path()));
  auto recs = [](const char* _ids) {
    std::string out;
    for (const char* p = _ids; *p; ++p) out += std::string(599, *p) + "\n";
    return out;
  };
  EXPECT_EQ(recs("12"), ReadAll(tmp_ / "app.LOG.20250305.1"));
  EXPECT_EQ(recs("34"), ReadAll(tmp_ / "app.LOG.20250305.2"));
  EXPECT_EQ(recs("5"), ReadAll(tmp_ / "app.LOG.20250305.3"));
  EXPECT_EQ(recs("67"), ReadAll(tmp_ / "app.LOG.20250306.1"));
  EXPECT_EQ(recs("8"), ReadAll(tmp_ / "app.LOG.20250306"));
}

TEST_F(CQIRWriteFileTest, SuffixNumberingSurvivesARestart) {
  for (auto type : {WF::QIR_WF_DAILY_CHANGE, WF::QIR_WF_DAILY_DIR_CHANGE}) {
    TempDir tmp;
    std::string dir = tmp.path();
    if (type == WF::QIR_WF_DAILY_DIR_CHANGE) {
      dir += "/20250305";
      ASSERT_EQ(0, mkdir(dir.c_str(), 0700));
    }
    for (int i = 1; i <= 12; ++i) WriteAll(dir + "/app.LOG.20250305." + std::to_string(i), "old");
    WriteAll(dir + "/app.LOG.20250305.x", "not a number");
    WriteAll(dir + "/app.LOG.20250304.40", "another day");
    WriteAll(dir + "/app.T.LOG.20250305.50", "another log");
    CQIRWriteFile f(tmp.path().c_str(), "app", "LOG");
    f.SetChange(type, 1);
    f.SetSize(10);
    EXPECT_EQ(12, f.GetFileSeq());
    ASSERT_TRUE(Put(f, "0123456789ab\n"));
    ASSERT_TRUE(Put(f, "next\n"));
    f.Close();
    EXPECT_EQ("0123456789ab\n", ReadAll(dir + "/app.LOG.20250305.13"));
    EXPECT_EQ("old", ReadAll(dir + "/app.LOG.20250305.12"));
    EXPECT_EQ("next\n", ReadAll(dir + "/app.LOG.20250305"));
  }
}

// Without a size limit the suffix search never ran, so a day change renamed
// the day's file onto a finished file left by an earlier run of that day.
TEST_F(CQIRWriteFileTest, DayChangeNeverOverwritesAFinishedFile) {
  WriteAll(tmp_ / "app.LOG.20250305.1", "earlier run\n");
  CQIRWriteFile f(tmp_.path().c_str(), "app", "LOG");
  f.SetChange(WF::QIR_WF_DAILY_CHANGE, 1);
  ASSERT_TRUE(Put(f, "today\n"));
  SetDay(2025, 3, 6);
  ASSERT_TRUE(Put(f, "tomorrow\n"));
  f.Close();
  EXPECT_EQ("earlier run\n", ReadAll(tmp_ / "app.LOG.20250305.1"));
  EXPECT_EQ("today\n", ReadAll(tmp_ / "app.LOG.20250305.2"));
}

TEST_F(CQIRWriteFileTest, SizeAndRecordCountTypesNumberTheirFiles) {
  const struct {
    WF::e4changeType type;
    unsigned long unit;
  } cases[] = {{WF::QIR_WF_SIZE_CHANGE, 10}, {WF::QIR_WF_RECORD_COUNT_CHANGE, 2}};
  for (const auto& c : cases) {
    TempDir tmp;
    CQIRWriteFile f(tmp.path().c_str(), "app", "DAT");
    f.SetChange(c.type, c.unit);
    for (const char* r : {"aaaaaa", "bbbbbb", "cccccc"}) ASSERT_TRUE(Put(f, r));
    f.Close();
    // Both change after two records; a finished file keeps its number and
    // gets a suffix like every finished file.
    EXPECT_EQ("aaaaaabbbbbb", ReadAll(tmp / "app.DAT.00000001.1")) << c.type;
    EXPECT_EQ("cccccc", ReadAll(tmp / "app.DAT.00000002")) << c.type;
  }
}

TEST_F(CQIRWriteFileTest, KeepDaysRemovesFilesOlderThanTheKeptDays) {
  const std::string old1 = tmp_ / "app.LOG.20250301", old2 = tmp_ / "app.LOG.20250302";
  const std::string other = tmp_ / "other.LOG.20250101";
  for (const auto& p : {old1, old2, other}) WriteAll(p, "x");
  SetMtime(old1, LocalNoon(2025, 3, 1));
  SetMtime(old2, LocalNoon(2025, 3, 2));
  SetMtime(other, LocalNoon(2025, 1, 1));
  SetDay(2025, 3, 9);

  CQIRWriteFile f(tmp_.path().c_str(), "app", "LOG");
  f.SetChange(WF::QIR_WF_DAILY_CHANGE, 1);
  ASSERT_TRUE(f.Open());  // keep days 0: nothing is removed
  EXPECT_TRUE(Exists(old1));
  f.SetKeepDays(7);
  ASSERT_TRUE(f.ReOpen());
  EXPECT_FALSE(Exists(old1));  // 1 March + 7 days is before 9 March
  EXPECT_TRUE(Exists(old2));   // 2 March + 7 days is not
  EXPECT_TRUE(Exists(other));  // another base name
  EXPECT_TRUE(Exists(tmp_ / "app.LOG.20250309"));
}

// Only day directories of the current year qualified, so after New Year the
// directories of December stayed for ever.
TEST_F(CQIRWriteFileTest, KeepDaysRemovesDayDirectoriesAcrossTheYearEnd) {
  SetDay(2025, 1, 20);
  const struct {
    const char* name;
    int y, m, d;
    bool removed;
  } dirs[] = {{"20241220", 2024, 12, 20, true},
              {"20250110", 2025, 1, 10, true},
              {"20250115", 2025, 1, 15, false},
              {"keep", 2024, 1, 1, false},
              {"2024122", 2024, 1, 1, false}};
  for (const auto& d : dirs) {
    std::string p = tmp_ / d.name;
    ASSERT_EQ(0, mkdir(p.c_str(), 0700));
    WriteAll(p + "/app.LOG." + d.name, "x");
    SetMtime(p, LocalNoon(d.y, d.m, d.d));
  }
  CQIRWriteFile f(tmp_.path().c_str(), "app", "LOG");
  f.SetChange(WF::QIR_WF_DAILY_DIR_CHANGE, 1);
  f.SetKeepDays(7);
  ASSERT_TRUE(f.Open());
  for (const auto& d : dirs) EXPECT_EQ(!d.removed, Exists(tmp_ / d.name)) << d.name;
  EXPECT_TRUE(Exists(tmp_ / "20250120/app.LOG.20250120"));
}

TEST_F(CQIRWriteFileTest, DeletedFileIsNoticedAndReopened) {
  CQIRWriteFile f(tmp_.path().c_str(), "app", "LOG");
  f.SetChange(WF::QIR_WF_DAILY_CHANGE, 1);
  EXPECT_FALSE(f.CheckFile());  // never opened
  EXPECT_FALSE(f.FFlush());
  for (const char* r : {"one\n", "two\n", "three\n"}) ASSERT_TRUE(Put(f, r));
  ASSERT_TRUE(f.FFlush());
  EXPECT_TRUE(f.CheckFile());
  ASSERT_EQ(0, unlink(f.GetFileInfo()->fileNm));
  EXPECT_FALSE(f.CheckFile());
  f.Close();
  EXPECT_EQ(14u, f.GetFileInfo()->size);
  EXPECT_EQ(3u, f.GetFileInfo()->recCount);
  ASSERT_TRUE(f.ReOpen());
  EXPECT_EQ(0u, f.GetFileInfo()->size);
  ASSERT_TRUE(Put(f, "four\n"));
  f.Close();
  EXPECT_EQ("four\n", ReadAll(tmp_ / "app.LOG.20250305"));
}

TEST_F(CQIRWriteFileTest, UnusableNamesFailOpenWithAMessage) {
  WriteAll(tmp_ / "plainfile", "");
  const std::string tooLongPath = "/tmp/" + std::string(123, 'p');  // 128 characters
  const struct {
    std::string path, name;
    const char* extension;
    WF::e4changeType type;
    const char* message;
  } cases[] = {
      {tooLongPath, "app", "LOG", WF::QIR_WF_DAILY_CHANGE, "file name too long"},
      {tmp_.path(), std::string(64, 'n'), "LOG", WF::QIR_WF_DAILY_CHANGE, "file name too long"},
      {tmp_.path(), "app", "EXTENSION_16_CHR", WF::QIR_WF_DAILY_CHANGE, "file name too long"},
      {tmp_ / "plainfile", "app", "LOG", WF::QIR_WF_DAILY_DIR_CHANGE, "]mkdir("},
      {tmp_ / "missing", "app", "LOG", WF::QIR_WF_DAILY_CHANGE, "]fopen("},
  };
  for (const auto& c : cases) {
    std::string out = Output([&] {
      CQIRWriteFile f(c.path.c_str(), c.name.c_str(), c.extension);
      f.SetChange(c.type, 1);
      EXPECT_FALSE(f.Open());
      EXPECT_FALSE(Put(f, "x\n"));
    });
    EXPECT_NE(std::string::npos, out.find(c.message)) << c.message << ": " << out;
  }
  // The limits themselves fit.
  CQIRWriteFile f(tmp_.path().c_str(), std::string(63, 'n').c_str(), "EXTENSION_15_CH");
  EXPECT_TRUE(f.Open());
}
