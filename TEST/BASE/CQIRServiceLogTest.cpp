#include "CQIRServiceLog.h"

#include "CQIRWriteFile.h"
#include "QIRLogTestUtil.h"

#include <gtest/gtest.h>

#include <fnmatch.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <string>

namespace {

// Time fields vary; match their digits with shell wildcards.
const char kClock[] = "\\[[0-9][0-9]:[0-9][0-9]:[0-9][0-9]:[0-9][0-9][0-9][0-9][0-9][0-9]\\]";

bool Matches(const std::string& _pattern, const std::string& _text) {
  return fnmatch(_pattern.c_str(), _text.c_str(), 0) == 0;
}

// Runs _fn with standard output captured and returns what it printed.
template <typename F>
std::string Captured(F _fn) {
  testing::internal::CaptureStdout();
  _fn();
  return testing::internal::GetCapturedStdout();
}

class ScopedEnv {
 public:
  ScopedEnv(const char* _name, const char* _value) : name_(_name) {
    const char* old = getenv(_name);
    if (old) { had_ = true; old_ = old; }
    if (_value) setenv(_name, _value, 1); else unsetenv(_name);
  }
  ~ScopedEnv() { if (had_) setenv(name_, old_.c_str(), 1); else unsetenv(name_); }
 private:
  const char* name_;
  bool had_ = false;
  std::string old_;
};

}  // namespace

TEST(CQIRServiceLogTest, NothingIsLoggedBeforeOpenOrAfterClose) {
  CQIRServiceLog log;
  EXPECT_EQ(Captured([&] { EXPECT_EQ(1, log.MessageLog(QIR_LOG_ERROR, "early")); }), "");
  ASSERT_EQ(1, log.Initialize());
  log.Finalize();
  log.Finalize();  // a second close is harmless
  EXPECT_EQ(Captured([&] { EXPECT_EQ(1, log.MessageLog(QIR_LOG_ERROR, "late")); }), "");
}

TEST(CQIRServiceLogTest, StandardLayoutNamesTheLevel) {
  ScopedEnv env("QIR_LOG_FORMAT", nullptr);
  CQIRServiceLog log;
  ASSERT_EQ(1, log.Initialize());
  const struct { int level; const char* name; } cases[] = {
      {QIR_LOG_DEBUG, "Debug  "}, {QIR_LOG_INFO, "Info   "}, {QIR_LOG_WARNING, "Warning"},
      {QIR_LOG_ERROR, "Error  "}, {3, "Unknown"}, {16 | 1, "Unknown"}};
  for (const auto& c : cases) {
    std::string out = Captured([&] { log.MessageLog(c.level, "x=%d", 7); });
    EXPECT_TRUE(Matches(std::string(kClock) + "\\[" + c.name + "\\]x=7\n", out)) << c.level << ": " << out;
  }
  // Level 0 never passes the mask.
  EXPECT_EQ(Captured([&] { log.MessageLog(0, "zero"); }), "");
}

TEST(CQIRServiceLogTest, MaskDropsLevels) {
  CQIRServiceLog log;
  ASSERT_EQ(1, log.Initialize());
  log.SetMask(QIR_LOG_ERROR);
  EXPECT_EQ(QIR_LOG_ERROR, log.GetMask());
  EXPECT_EQ(Captured([&] { log.MessageLog(QIR_LOG_INFO, "info"); }), "");
  EXPECT_NE(Captured([&] { log.MessageLog(QIR_LOG_ERROR, "err"); }), "");
}

TEST(CQIRServiceLogTest, DatedLayoutOnlyForUntaggedLines) {
  {
    ScopedEnv env("QIR_LOG_FORMAT", "standard");
    CQIRServiceLog log;
    ASSERT_EQ(1, log.Initialize());
    std::string out = Captured([&] { log.MessageLog(QIR_LOG_INFO, "s"); });
    EXPECT_EQ('[', out[0]) << out;
  }
  ScopedEnv env("QIR_LOG_FORMAT", "x");
  CQIRServiceLog log;
  ASSERT_EQ(1, log.Initialize());
  std::string out = Captured([&] { log.MessageLog(QIR_LOG_INFO, "d"); });
  // Year/month/day-time.microseconds, then the process id right-aligned in 5.
  const char dated[] =
      "[0-9][0-9][0-9][0-9]/[0-9][0-9]/[0-9][0-9]-[0-9][0-9]:[0-9][0-9]:[0-9][0-9]."
      "[0-9][0-9][0-9][0-9][0-9][0-9] *[0-9] d\n";
  EXPECT_TRUE(Matches(dated, out)) << out;
  char pid[16];
  snprintf(pid, sizeof(pid), "%5d d\n", static_cast<int>(getpid()));
  EXPECT_EQ(pid, out.substr(27));
  out = Captured([&] { log.MessageLog("T1", QIR_LOG_INFO, "t"); });
  EXPECT_TRUE(Matches(std::string(kClock) + "\\[Info   \\]t\n", out)) << out;
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
  EXPECT_NE(std::string::npos, out.find("][Debug  ] dump\n00000000: 41  42  0a  ")) << out;
  EXPECT_NE(std::string::npos, out.find("AB..............\n\n\n")) << out;
  EXPECT_EQ(Captured([&] { EXPECT_EQ(1, log.HexaLog("max", data, QIR_LOG_MAX_HEXA)); }).empty(),
            false);
  EXPECT_EQ(Captured([&] { EXPECT_EQ(0, log.HexaLog("big", data, QIR_LOG_MAX_HEXA + 1)); }), "");
  log.SetMask(QIR_LOG_INFO);
  EXPECT_EQ(Captured([&] { EXPECT_EQ(1, log.HexaLog("nodebug", data, 3)); }), "");
}

TEST(CQIRServiceLogTest, RecordEncoderLayout) {
  char record[QIR_LOG_HEADER_SIZE + 8];
  memset(record, 'z', sizeof(record));
  memcpy(record + QIR_LOG_HEADER_SIZE, "abc\n", 4);
  EXPECT_EQ(44u, QIR_LOG_ENCODE_RECORD(record, "MAIN", 4));
  EXPECT_EQ(0, memcmp(record, "MAIN\0", 5));
  uint64_t length = 0;
  memcpy(&length, record + 32, 8);
  EXPECT_EQ(4u, length);
  char tag[QIR_LOG_TAG_SIZE];
  EXPECT_EQ(4u, QIR_LOG_DECODE_RECORD(record, tag));
  EXPECT_STREQ("MAIN", tag);

  // A tag at the limit stays whole; a longer one is cut to 31 characters.
  std::string at(31, 't'), over(40, 'u');
  QIR_LOG_ENCODE_RECORD(record, at.c_str(), 0);
  QIR_LOG_DECODE_RECORD(record, tag);
  EXPECT_EQ(at, tag);
  QIR_LOG_ENCODE_RECORD(record, over.c_str(), 0);
  QIR_LOG_DECODE_RECORD(record, tag);
  EXPECT_EQ(std::string(31, 'u'), tag);
}

TEST(CQIRServiceLogTest, ConsoleModeHasNoThreadLogs) {
  CQIRServiceLog log;
  ASSERT_EQ(1, log.Initialize());
  EXPECT_EQ(0, log.InitThreadLog("T1"));
}

// ---- File mode ---------------------------------------------------------------

namespace {

std::atomic<time_t> g_logDay{0};
time_t LogDay() { return g_logDay.load(); }

// Puts the global log back on the console with its previous mask, and the
// file writer back on the system clock.
class GlobalLogRestore {
 public:
  GlobalLogRestore() : mask_(G_SERVICE_LOGGER.GetMask()) {}
  ~GlobalLogRestore() {
    QIR_CLOSE_SERVICE_LOG();
    QIR_OPEN_SERVICE_LOG(mask_);
    CQIRWriteFile::SetClock(nullptr);
  }

 private:
  int mask_;
};

}  // namespace

TEST(CQIRServiceLogFileModeTest, PipeGoesToResHomeElseTmpdirElseCurrentDirectory) {
  qirtest::TempDir logs, res, tmp, cwd;
  char oldCwd[4096];
  ASSERT_NE(nullptr, getcwd(oldCwd, sizeof(oldCwd)));
  ASSERT_EQ(0, chdir(cwd.path().c_str()));
  const struct {
    const char* res;
    const char* tmp;
    std::string dir;
  } cases[] = {{res.path().c_str(), tmp.path().c_str(), res.path()},
               {nullptr, tmp.path().c_str(), tmp.path()},
               {nullptr, nullptr, "."}};
  for (const auto& c : cases) {
    qirtest::ScopedEnv a("QIR_RES_HOME", c.res), b("TMPDIR", c.tmp);
    const std::string pipe = c.dir + "/APP." + std::to_string(getpid()) + ".PIPE";
    qirtest::WriteAll(pipe, "a stale file of the same name");
    CQIRServiceLog log;
    ASSERT_EQ(1, log.Initialize(logs.path().c_str(), "app", "LOG", 0, 0)) << c.dir;
    EXPECT_EQ(pipe, log.GetPipeName());
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
  qirtest::ScopedEnv a("QIR_RES_HOME", logs.path().c_str());
  qirtest::ScopedEnv dir("QIR_TEST_LOG_DIR", logs.path().c_str());
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
  EXPECT_NE(std::string::npos, day1.find("]day one\n")) << day1;
  EXPECT_EQ(std::string::npos, day1.find("dropped"));
  EXPECT_NE(std::string::npos, qirtest::ReadAll(logs / "app.LOG.20250306").find("]day two\n"));
}

// The writer's own failures went back into the pipe as new records; with the
// log directory gone each record failed again, for ever, at full speed.
TEST(CQIRServiceLogFileModeTest, WriterFailuresGoToStandardOutputNotBackIntoThePipe) {
  GlobalLogRestore restore;
  qirtest::TempDir base;
  qirtest::ScopedEnv a("QIR_RES_HOME", base.path().c_str());
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
