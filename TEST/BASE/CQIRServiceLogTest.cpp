#include "CQIRServiceLog.h"

#include "CQIRWriteFile.h"
#include "QIRLogTestUtil.h"

#include <gtest/gtest.h>

#include <fnmatch.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>

using qirtest::Captured;
using qirtest::ScopedEnv;
using qirtest::StandardLine;

// Nothing is logged before the log is opened or after it is closed.
TEST(CQIRServiceLogTest, StandardLayoutNamesTheLevelAndMaskDropsLevels) {
  ScopedEnv env("QIR_LOG_FORMAT", nullptr);
  CQIRServiceLog log;
  EXPECT_EQ(Captured([&] { EXPECT_EQ(1, log.MessageLog(QIR_LOG_ERROR, "early")); }), "");
  ASSERT_EQ(1, log.Initialize());
  EXPECT_EQ(0, log.InitThreadLog("T1"));  // console mode has no thread logs
  const struct { int level; const char* name; } cases[] = {
      {QIR_LOG_DEBUG, "Debug  "}, {QIR_LOG_WARNING, "Warning"}, {3, "Unknown"}, {16 | 1, "Unknown"}};
  for (const auto& c : cases) {
    std::string out = Captured([&] { log.MessageLog(c.level, "x=%d", 7); }), text;
    EXPECT_TRUE(StandardLine(out, c.name, &text) && text == "x=7\n") << c.level << ": " << out;
  }
  EXPECT_EQ("", Captured([&] { log.MessageLog(0, "zero"); }));  // never passes the mask
  log.SetMask(QIR_LOG_ERROR);
  EXPECT_EQ("", Captured([&] { log.MessageLog(QIR_LOG_INFO, "info"); }));
  EXPECT_NE("", Captured([&] { log.MessageLog(QIR_LOG_ERROR, "err"); }));
  log.Finalize();
  log.Finalize();  // a second close is harmless
  EXPECT_EQ(Captured([&] { EXPECT_EQ(1, log.MessageLog(QIR_LOG_ERROR, "late")); }), "");
}

TEST(CQIRServiceLogTest, DatedLayoutOnlyForUntaggedLines) {
  ScopedEnv env("QIR_LOG_FORMAT", "x");
  CQIRServiceLog log;
  ASSERT_EQ(1, log.Initialize());
  std::string out = Captured([&] { log.MessageLog(QIR_LOG_INFO, "d"); }), text;
  // Year/month/day-time.microseconds, then the process id right-aligned in 5.
  const std::string d = "[0-9][0-9]";
  const std::string dated = d + d + "/" + d + "/" + d + "-" + d + ":" + d + ":" + d + "." + d + d + d;
  char pid[16];
  snprintf(pid, sizeof(pid), "%5d d\n", static_cast<int>(getpid()));
  EXPECT_TRUE(fnmatch((dated + "*").c_str(), out.c_str(), 0) == 0 && out.substr(27) == pid) << out;
  out = Captured([&] { log.MessageLog("T1", QIR_LOG_INFO, "t"); });
  EXPECT_TRUE(StandardLine(out, "Info   ", &text) && text == "t\n") << out;
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

TEST(CQIRServiceLogFileModeTest, PipeGoesToResHomeElseTmpdirElseCurrentDirectory) {
  qirtest::TempDir logs, res, tmp, cwd;
  char oldCwd[4096];
  ASSERT_NE(nullptr, getcwd(oldCwd, sizeof(oldCwd)));
  ASSERT_EQ(0, chdir(cwd.path().c_str()));
  const struct { const char *res, *tmp; std::string dir; } cases[] = {
      {res.path().c_str(), tmp.path().c_str(), res.path()}, {nullptr, tmp.path().c_str(), tmp.path()},
      {nullptr, nullptr, "."}};
  for (const auto& c : cases) {
    ScopedEnv a("QIR_RES_HOME", c.res), b("TMPDIR", c.tmp);
    const std::string pipe = c.dir + "/APP." + std::to_string(getpid()) + ".PIPE";
    qirtest::WriteAll(pipe, "a stale file of the same name");
    CQIRServiceLog log;
    ASSERT_EQ(1, log.Initialize(logs.path().c_str(), "app", "LOG", 0, 0)) << c.dir;
    struct stat st;
    ASSERT_EQ(0, stat(pipe.c_str(), &st));
    EXPECT_TRUE(S_ISFIFO(st.st_mode) && (st.st_mode & 0777) == 0600);
    log.Finalize();
    EXPECT_FALSE(qirtest::Exists(pipe));
  }
  ASSERT_EQ(0, chdir(oldCwd));
}

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
