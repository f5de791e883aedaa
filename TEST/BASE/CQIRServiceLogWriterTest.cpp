#include "CQIRServiceLogWriter.h"

#include "CQIRServiceLog.h"
#include "CQIRWriteFile.h"
#include "QIRLogTestUtil.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>
#include <sys/resource.h>
#include <unistd.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

using qirtest::Eventually;
using qirtest::Exists;
using qirtest::Lines;
using qirtest::ListDir;
using qirtest::LocalNoon;
using qirtest::ReadAll;
using qirtest::ScopedEnv;
using qirtest::StandardLine;
using qirtest::TempDir;

namespace {

std::atomic<time_t> g_day{0};
time_t FixedDay() { return g_day.load(); }

const char kDay[] = "20250305";

std::string Record(const std::string& _tag, const std::string& _text) {
  std::string r(QIR_LOG_HEADER_SIZE + _text.size(), '\0');
  memcpy(&r[QIR_LOG_HEADER_SIZE], _text.data(), _text.size());
  QIR_LOG_ENCODE_RECORD(&r[0], _tag.c_str(), _text.size());
  return r;
}

// The writer read directly, without its thread: each test writes bytes into
// the pipe and calls WriteLog itself.
class CQIRServiceLogWriterTest : public testing::Test {
 protected:
  void SetUp() override {
    g_day = LocalNoon(2025, 3, 5);
    CQIRWriteFile::SetClock(&FixedDay);
    ASSERT_EQ(0, pipe2(fds_, O_NONBLOCK));
  }
  void TearDown() override {
    close(fds_[0]);
    close(fds_[1]);
    CQIRWriteFile::SetClock(nullptr);
  }
  void Send(const std::string& _bytes) {
    ASSERT_EQ(static_cast<ssize_t>(_bytes.size()), write(fds_[1], _bytes.data(), _bytes.size()));
  }
  // Sends _bytes, lets the writer read one record, returns what it printed.
  std::string Feed(CQIRServiceLogWriter& _w, const std::string& _bytes) {
    Send(_bytes);
    testing::internal::CaptureStdout();
    _w.WriteLog();
    return testing::internal::GetCapturedStdout();
  }
  std::string MainFile() const { return tmp_ / (std::string("app.LOG.") + kDay); }

  TempDir tmp_;
  int fds_[2];
};

}  // namespace

TEST_F(CQIRServiceLogWriterTest, RecordsGoToTheFileOfTheirTag) {
  for (int daily : {0, 1}) {
    TempDir tmp;
    std::string dir = tmp.path() + (daily == 1 ? std::string("/") + kDay : "");
    CQIRServiceLogWriter w;
    ASSERT_EQ(1, w.Initialize(tmp.path().c_str(), "app", "LOG", daily, 0));
    w.SetPipe(fds_[0]);
    EXPECT_EQ(1, w.AddWriter("T1"));
    EXPECT_EQ(0, w.AddWriter("T1"));
    EXPECT_EQ(0, w.AddWriter("MAIN"));
    EXPECT_EQ(std::vector<std::string>({"app.LOG.20250305"}), ListDir(dir));  // T1 not yet

    EXPECT_EQ("", Feed(w, Record("T1", "thread line\n")));
    EXPECT_EQ("", Feed(w, Record("MAIN", "main line\n")));
    EXPECT_EQ("ThreadLog(T9) not found!\n", Feed(w, Record("T9", "dropped\n")));
    EXPECT_EQ("thread line\n", ReadAll(dir + "/app.T1.LOG.20250305"));
    EXPECT_EQ("main line\n", ReadAll(dir + "/app.LOG.20250305"));
  }
}

TEST_F(CQIRServiceLogWriterTest, DeletedFileIsRecreatedByTheNextRecord) {
  CQIRServiceLogWriter w;
  ASSERT_EQ(1, w.Initialize(tmp_.path().c_str(), "app", "LOG", 0, 0));
  w.SetPipe(fds_[0]);
  Feed(w, Record("MAIN", "first\n"));
  ASSERT_EQ(0, unlink(MainFile().c_str()));
  Feed(w, Record("MAIN", "second\n"));
  EXPECT_EQ("second\n", ReadAll(MainFile()));
}

// A length beyond the read buffer, or a record cut short, used to leave the
// reader in the middle of a record, reading text as headers from then on.
TEST_F(CQIRServiceLogWriterTest, StreamFaultsAreRejectedAndTheReaderGetsBackInStep) {
  std::string huge = Record("MAIN", "");
  uint64_t length = QIR_LOG_BUFFER_SIZE + 1;
  memcpy(&huge[QIR_LOG_TAG_SIZE], &length, sizeof(length));
  std::string cut = Record("MAIN", std::string(100, 'c'));
  const struct {
    std::string bytes;
    const char* message;
  } cases[] = {
      {std::string(20, 't'), "service-logger tag length mismatch!"},
      {std::string(36, 'l'), "service-logger log size length mismatch!"},
      {huge + std::string(500, 'j'), "service-logger log size invalid(32769 > 32768)!"},
      {cut.substr(0, QIR_LOG_HEADER_SIZE + 50), "service-logger log data length mismatch!"},
  };
  CQIRServiceLogWriter w;
  ASSERT_EQ(1, w.Initialize(tmp_.path().c_str(), "app", "LOG", 0, 0));
  w.SetPipe(fds_[0]);
  std::string expect;
  int n = 0;
  for (const auto& c : cases) {
    std::string out = Feed(w, c.bytes);
    EXPECT_NE(std::string::npos, out.find(c.message)) << out;
    std::string good = "good " + std::to_string(n++) + "\n";
    EXPECT_EQ("", Feed(w, Record("MAIN", good)));
    expect += good;
  }
  EXPECT_EQ(expect, ReadAll(MainFile()));
}

TEST_F(CQIRServiceLogWriterTest, NamesThatDoNotFitAreRefused) {
  const std::string longPath = "/tmp/" + std::string(123, 'p');  // 128 characters
  const struct {
    std::string path, name, extension;
    const char* message;
  } opens[] = {
      {longPath, "app", "LOG", "service-logger path too long"},
      {tmp_.path(), std::string(64, 'n'), "LOG", "service-logger name or extension too long"},
      {tmp_.path(), "app", std::string(16, 'e'), "service-logger name or extension too long"},
  };
  for (const auto& c : opens) {
    CQIRServiceLogWriter w;
    testing::internal::CaptureStdout();
    EXPECT_EQ(0, w.Initialize(c.path.c_str(), c.name.c_str(), c.extension.c_str(), 0, 0));
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(std::string::npos, out.find(c.message)) << out;
  }

  CQIRServiceLogWriter w;
  ASSERT_EQ(1, w.Initialize(tmp_.path().c_str(), std::string(40, 'n').c_str(), "LOG", 0, 0));
  const struct {
    std::string tag;
    int result;
  } tags[] = {{"", 0},
              {std::string(32, 't'), 0},  // the record's tag field holds 31
              {"a/b", 0},
              {std::string(23, 't'), 0},  // "<40 n>.<23 t>" is 64 characters
              {std::string(22, 't'), 1}};
  for (const auto& t : tags) {
    testing::internal::CaptureStdout();
    EXPECT_EQ(t.result, w.AddWriter(t.tag.c_str())) << t.tag;
    std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(t.result == 0, out.find("refused") != std::string::npos ||
                                 out.find("too long") != std::string::npos)
        << t.tag << ": " << out;
  }
}

// select() cannot watch a descriptor at or above FD_SETSIZE (1024); one
// that high overran the descriptor set.
TEST_F(CQIRServiceLogWriterTest, ThreadReadsAPipeDescriptorAbove1024AndDrainsOnExit) {
  struct rlimit rl;
  ASSERT_EQ(0, getrlimit(RLIMIT_NOFILE, &rl));
  const int high = 1500;
  if (rl.rlim_cur <= static_cast<rlim_t>(high)) GTEST_SKIP() << "descriptor limit below 1501";
  ASSERT_EQ(high, dup2(fds_[0], high));
  CQIRServiceLogWriter w;
  ASSERT_EQ(1, w.Initialize(tmp_.path().c_str(), "app", "LOG", 0, 0));
  w.SetPipe(high);
  ASSERT_TRUE(w.Execute());
  std::string expect;
  for (int i = 0; i < 100; ++i) {
    std::string line = "line " + std::to_string(i) + "\n";
    Send(Record("MAIN", line));
    expect += line;
  }
  w.SetExit();
  EXPECT_TRUE(Eventually([&] { return w.GetStatus() == CQIRThread::QIR_THREAD_TERMINATE; }));
  EXPECT_EQ(expect, ReadAll(MainFile()));
  close(high);
}

// ---- Through the service log's file mode ----------------------------------

namespace {

class FileModeTest : public testing::Test {
 protected:
  void SetUp() override {
    g_day = LocalNoon(2025, 3, 5);
    CQIRWriteFile::SetClock(&FixedDay);
  }
  void TearDown() override { CQIRWriteFile::SetClock(nullptr); }
  std::string File(const std::string& _tag = "") const {
    return tmp_ / ("app." + (_tag.empty() ? "" : _tag + ".") + "LOG." + kDay);
  }

  TempDir tmp_;
  ScopedEnv resHome_{"QIR_RES_HOME", nullptr};
  ScopedEnv tmpDir_{"TMPDIR", "/tmp"};
};

// One row of a hex dump: offset, 16 cells of two hex digits or blanks, and
// the 16 characters of the text column.
bool HexRow(const std::string& _line) {
  if (_line.size() != 90 || _line.compare(8, 2, ": ") != 0) return false;
  for (int i = 0; i < 8; ++i) {
    if (!isxdigit(static_cast<unsigned char>(_line[i]))) return false;
  }
  for (int cell = 0; cell < 16; ++cell) {
    std::string c = _line.substr(10 + cell * 4, 4);
    bool hex = isxdigit(static_cast<unsigned char>(c[0])) &&
               isxdigit(static_cast<unsigned char>(c[1])) && c.compare(2, 2, "  ") == 0;
    if (!hex && c != "    ") return false;
  }
  for (size_t i = 74; i < 90; ++i) {
    if (_line[i] != '.' && (_line[i] < 'a' || _line[i] > 'z')) return false;
  }
  return true;
}

}  // namespace

TEST_F(FileModeTest, ThreadTagFileAppearsWithItsFirstRecord) {
  CQIRServiceLog log;
  ASSERT_EQ(1, log.Initialize(tmp_.path().c_str(), "app", "LOG", 0, 0));
  EXPECT_EQ(1, log.InitThreadLog("T1"));
  EXPECT_EQ(0, log.InitThreadLog("T1"));
  EXPECT_FALSE(Exists(File("T1")));
  log.MessageLog("T1", QIR_LOG_INFO, "tagged %d", 1);
  log.MessageLog(QIR_LOG_INFO, "main %d", 2);
  EXPECT_TRUE(Eventually([&] { return Exists(File("T1")); }));
  log.Finalize();
  std::string t1 = ReadAll(File("T1")), main = ReadAll(File()), text;
  EXPECT_TRUE(StandardLine(t1, "Info   ", &text)) << t1;
  EXPECT_EQ("tagged 1\n", text);
  EXPECT_TRUE(StandardLine(main, "Info   ", &text)) << main;
  EXPECT_EQ("main 2\n", text);
}

TEST_F(FileModeTest, FinalizeWritesEverythingSentBeforeIt) {
  CQIRServiceLog log;
  ASSERT_EQ(1, log.Initialize(tmp_.path().c_str(), "app", "LOG", 0, 0));
  // 300 lines of about 80 bytes fit the pipe even if the writer read none.
  for (int i = 0; i < 300; ++i) log.MessageLog(QIR_LOG_INFO, "line %04d %s", i, "payload");
  log.Finalize();
  log.Finalize();
  ASSERT_EQ(0u, log.GetDropCount());
  std::vector<std::string> lines = Lines(ReadAll(File()));
  ASSERT_EQ(300u, lines.size());
  for (int i = 0; i < 300; ++i) {
    char expect[32];
    snprintf(expect, sizeof(expect), "line %04d payload", i);
    std::string text;
    ASSERT_TRUE(StandardLine(lines[i], "Info   ", &text)) << lines[i];
    EXPECT_EQ(expect, text);
  }
  EXPECT_FALSE(Exists(log.GetPipeName()));
}

// Eight threads, half of them with thread logs: every line arrives whole, in
// its own thread's order, in the right file, and whatever the full pipe
// dropped is counted.
TEST_F(FileModeTest, RecordsOfManyThreadsLandWholeAndCounted) {
  const int kThreads = 8, kLines = 400;
  CQIRServiceLog log;
  ASSERT_EQ(1, log.Initialize(tmp_.path().c_str(), "app", "LOG", 0, 0));
  for (int t = 0; t < kThreads / 2; ++t) ASSERT_EQ(1, log.InitThreadLog(("T" + std::to_string(t)).c_str()));
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&log, t] {
      std::string tag = "T" + std::to_string(t);
      for (int i = 0; i < kLines; ++i) {
        if (t < kThreads / 2) {
          log.MessageLog(tag.c_str(), QIR_LOG_INFO, "thread %d line %d %040d", t, i, i);
        } else {
          log.MessageLog(QIR_LOG_INFO, "thread %d line %d %040d", t, i, i);
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  log.Finalize();

  std::map<int, int> last;
  size_t landed = 0;
  for (const std::string tag : {"", "T0", "T1", "T2", "T3"}) {
    for (const std::string& l : Lines(ReadAll(File(tag)))) {
      std::string text;
      ASSERT_TRUE(StandardLine(l, "Info   ", &text)) << tag << ": " << l;
      int t = -1, i = -1, again = -1, used = 0;
      ASSERT_EQ(3, sscanf(text.c_str(), "thread %d line %d %d%n", &t, &i, &again, &used)) << l;
      EXPECT_EQ(text.size(), static_cast<size_t>(used)) << l;
      EXPECT_EQ(i, again) << l;
      EXPECT_EQ(tag.empty() ? (t >= kThreads / 2) : (tag == "T" + std::to_string(t)), true) << l;
      auto it = last.find(t);
      EXPECT_TRUE(it == last.end() || it->second < i) << l;
      last[t] = i;
      ++landed;
    }
  }
  EXPECT_GT(landed, 0u);
  EXPECT_EQ(static_cast<size_t>(kThreads * kLines), landed + log.GetDropCount());
}

TEST_F(FileModeTest, LongTextsTravelAsRecordsOfWholeLines) {
  CQIRServiceLog log;
  ASSERT_EQ(1, log.Initialize(tmp_.path().c_str(), "app", "LOG", 0, 0));
  unsigned char data[QIR_LOG_MAX_HEXA];
  for (size_t i = 0; i < sizeof(data); ++i) data[i] = static_cast<unsigned char>(i);
  ASSERT_EQ(1, log.HexaLog("big dump", data, sizeof(data)));
  std::string longLine(10000, 'L');
  log.MessageLog(QIR_LOG_INFO, "%s", longLine.c_str());
  log.MessageLog(QIR_LOG_INFO, "after");
  log.Finalize();
  ASSERT_EQ(0u, log.GetDropCount());

  std::vector<std::string> lines = Lines(ReadAll(File()));
  // Comment line, 257 rows, the two blank lines that end a dump, two lines.
  ASSERT_EQ(1u + 257u + 2u + 1u + 1u, lines.size());
  EXPECT_NE(std::string::npos, lines[0].find("][Debug  ] big dump"));
  for (int row = 0; row <= 256; ++row) {
    char label[16];
    snprintf(label, sizeof(label), "%08x: ", row * 16);
    EXPECT_EQ(0u, lines[1 + row].find(label)) << lines[1 + row];
    EXPECT_EQ(90u, lines[1 + row].size());
  }
  EXPECT_EQ("", lines[258]);
  EXPECT_EQ("", lines[259]);
  // The single long line is cut to one record: its text fills the record,
  // newline included, and ends with the mark.
  EXPECT_EQ(static_cast<size_t>(QIR_LOG_MAX_RECORD_TEXT - 1), lines[260].size());
  EXPECT_EQ("L...", lines[260].substr(lines[260].size() - 4));
  EXPECT_NE(std::string::npos, lines[261].find("]after"));
}

// A record over PIPE_BUF bytes may be taken in part by a non-blocking pipe;
// under overload such a part put the reader out of step for good.
TEST_F(FileModeTest, OverloadDropsWholeRecordsNeverHalves) {
  CQIRServiceLog log;
  ASSERT_EQ(1, log.Initialize(tmp_.path().c_str(), "app", "LOG", 0, 0));
  unsigned char data[QIR_LOG_MAX_HEXA];
  for (size_t i = 0; i < sizeof(data); ++i) data[i] = static_cast<unsigned char>('a' + i % 26);
  std::string longLine(6000, 'L');
  testing::internal::CaptureStdout();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 40; ++i) {
        if (t % 2 == 0) {
          log.HexaLog("dump", data, sizeof(data));
        } else {
          log.MessageLog(QIR_LOG_INFO, "%s", longLine.c_str());
        }
      }
    });
  }
  for (auto& th : threads) th.join();
  log.Finalize();
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_EQ("", out);  // no mismatch, no resynchronisation

  const std::string cutText(QIR_LOG_MAX_RECORD_TEXT - 1 - 26 - 3, 'L');
  size_t n = 0;
  for (const std::string& l : Lines(ReadAll(File()))) {
    ++n;
    std::string text;
    EXPECT_TRUE(l.empty() || HexRow(l) || (StandardLine(l, "Debug  ", &text) && text == " dump") ||
                (StandardLine(l, "Info   ", &text) && text == cutText + "..."))
        << "line " << n << ": " << l.substr(0, 120);
  }
  EXPECT_GT(n, 0u);
}
