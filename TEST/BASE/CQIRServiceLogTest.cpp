#include "CQIRServiceLog.h"

#include "CQIRWriteFile.h"
#include "QIRLogTestUtil.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>

using qirtest::Captured;
using qirtest::ScopedEnv;
using qirtest::StandardLine;

// Nothing is logged before the log is opened, after it is closed, or below the mask.
TEST(CQIRServiceLogTest, LogsOnlyWhileOpenAndWithinTheMask) {
  ScopedEnv env("QIR_LOG_FORMAT", nullptr);
  CQIRServiceLog log;
  EXPECT_EQ(Captured([&] { EXPECT_EQ(1, log.MessageLog(QIR_LOG_ERROR, "early")); }), "");
  ASSERT_EQ(1, log.Initialize());
  std::string text, out = Captured([&] { log.MessageLog(QIR_LOG_WARNING, "x=%d", 7); });
  EXPECT_TRUE(StandardLine(out, "Warning", &text) && text == "x=7\n") << out;
  for (int level : {3, 16 | 1}) {  // not one level, or one past the table
    out = Captured([&] { log.MessageLog(level, "u"); });
    EXPECT_TRUE(StandardLine(out, "Unknown", &text) && text == "u\n") << level << ": " << out;
  }
  EXPECT_EQ("", Captured([&] { log.MessageLog(0, "zero"); }));  // never passes the mask
  log.SetMask(QIR_LOG_ERROR);
  EXPECT_EQ("", Captured([&] { log.MessageLog(QIR_LOG_INFO, "info"); }));
  log.Finalize();
  log.Finalize();  // a second close is harmless
  EXPECT_EQ(Captured([&] { EXPECT_EQ(1, log.MessageLog(QIR_LOG_ERROR, "late")); }), "");
}

TEST(CQIRServiceLogTest, MacroPrefixesSourcePosition) {
  ASSERT_EQ(1, QIR_OPEN_SERVICE_LOG(15));
  testing::internal::CaptureStdout();
  QIR_LOG_I("hello %s", "world"); const int line = __LINE__;
  std::string out = testing::internal::GetCapturedStdout();
  char expect[128];
  snprintf(expect, sizeof(expect), "[%24.24s:%16.16s:%04d]hello world\n", "CQIRServiceLogTest.cpp",
           "TestBody", line);
  ASSERT_GT(out.size(), strlen(expect));
  EXPECT_EQ(std::string(expect), out.substr(out.size() - strlen(expect))) << out;
}

TEST(CQIRServiceLogTest, LongLineIsCutWithinTheBuffer) {
  CQIRServiceLog log;
  ASSERT_EQ(1, log.Initialize());
  std::string big(QIR_LOG_BUFFER_SIZE * 2, 'a');
  std::string out = Captured([&] { log.MessageLog(QIR_LOG_INFO, "%s", big.c_str()); });
  EXPECT_EQ(static_cast<size_t>(QIR_LOG_MAX_TEXT), out.size());
  EXPECT_EQ("...\n", out.substr(out.size() - 4));
  // A line that fits exactly is not cut: prefix 26 + text + newline.
  std::string fits(QIR_LOG_MAX_TEXT - 26 - 2, 'b');
  out = Captured([&] { log.MessageLog(QIR_LOG_INFO, "%s", fits.c_str()); });
  EXPECT_EQ(static_cast<size_t>(QIR_LOG_MAX_TEXT - 1), out.size());
  EXPECT_EQ("b\n", out.substr(out.size() - 2));
}

TEST(CQIRServiceLogTest, HexaLogNeedsDebugAndRefusesLargeDumps) {
  CQIRServiceLog log;
  ASSERT_EQ(1, log.Initialize());
  unsigned char data[QIR_LOG_MAX_HEXA + 1] = {0x41, 0x42, 0x0a};
  std::string out = Captured([&] { EXPECT_EQ(1, log.HexaLog("dump", data, 3)); });
  EXPECT_TRUE(qirtest::Has(out, "][Debug  ] dump\n00000000: 41  42  0a  ")) << out;
  EXPECT_EQ("", Captured([&] { EXPECT_EQ(0, log.HexaLog("big", data, QIR_LOG_MAX_HEXA + 1)); }));
  log.SetMask(QIR_LOG_INFO);
  EXPECT_EQ("", Captured([&] { EXPECT_EQ(1, log.HexaLog("nodebug", data, 3)); }));
}

// ---- File mode ---------------------------------------------------------------

namespace {

std::atomic<time_t> g_logDay{0};
time_t LogDay() { return g_logDay.load(); }

// Puts the global log back on the console with its previous mask, and the
// file writer back on the system clock.
struct GlobalLogRestore {
  int mask = G_SERVICE_LOGGER.GetMask();
  ~GlobalLogRestore() {
    QIR_CLOSE_SERVICE_LOG();
    QIR_OPEN_SERVICE_LOG(mask);
    CQIRWriteFile::SetClock(nullptr);
  }
};

}  // namespace

// Keep days are set after the first file is open, so an old file goes at
// the next change of file.
TEST(CQIRServiceLogFileModeTest, OpenExpandsThePathAndKeepDaysActAtTheNextFile) {
  GlobalLogRestore restore;
  qirtest::TempDir logs;
  ScopedEnv a("QIR_RES_HOME", logs.path().c_str()), dir("QIR_TEST_LOG_DIR", logs.path().c_str());
  const std::string old = logs / "app.LOG.20250101";
  qirtest::WriteAll(old, "old\n");
  ASSERT_TRUE(qirtest::SetMtime(old, qirtest::LocalNoon(2025, 1, 1)));
  g_logDay = qirtest::LocalNoon(2025, 3, 5);
  CQIRWriteFile::SetClock(&LogDay);

  ASSERT_EQ(1, QIR_OPEN_SERVICE_LOG("$(QIR_TEST_LOG_DIR)", "app", 7, QIR_LOG_ERROR, 0, 0));
  EXPECT_TRUE(qirtest::Exists(old));
  QIR_LOG_I("dropped by the mask");
  QIR_LOG_E("day one");
  for (int i = 0; i < 5000 && qirtest::ReadAll(logs / "app.LOG.20250305").empty(); ++i) usleep(1000);
  g_logDay = qirtest::LocalNoon(2025, 3, 6);
  QIR_LOG_E("day two");
  QIR_CLOSE_SERVICE_LOG();
  EXPECT_FALSE(qirtest::Exists(old));
  std::string day1 = qirtest::ReadAll(logs / "app.LOG.20250305.1");
  EXPECT_TRUE(qirtest::Has(day1, "]day one\n") && !qirtest::Has(day1, "dropped")) << day1;
  EXPECT_TRUE(qirtest::Has(qirtest::ReadAll(logs / "app.LOG.20250306"), "]day two\n"));
}

// The writer's own failures went back into the pipe as new records; with the
// log directory gone each record failed again, for ever, at full speed.
TEST(CQIRServiceLogFileModeTest, WriterFailuresGoToStandardOutputNotBackIntoThePipe) {
  GlobalLogRestore restore;
  qirtest::TempDir base;
  ScopedEnv a("QIR_RES_HOME", base.path().c_str());
  const std::string logs = base / "logs";
  ASSERT_EQ(0, mkdir(logs.c_str(), 0700));
  ASSERT_EQ(1, QIR_OPEN_SERVICE_LOG(logs.c_str(), "app", 0, QIR_LOG_ALL, 0, 0));
  std::filesystem::remove_all(logs);
  std::string out = Captured([] {
    QIR_LOG_I("lost with its directory");
    QIR_CLOSE_SERVICE_LOG();
  });
  size_t first = out.find("]fopen(" + logs + "/app.LOG.");
  EXPECT_NE(std::string::npos, first) << out;
  EXPECT_EQ(std::string::npos, out.find("]fopen(", first + 1)) << out;
}
