#include "CQIRServiceLogWriter.h"

#include "CQIRServiceLog.h"
#include "CQIRWriteFile.h"
#include "QIRLogTestUtil.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdio.h>

#include <atomic>
#include <map>
#include <string>
#include <thread>
#include <vector>

using qirtest::Exists, qirtest::Lines, qirtest::ReadAll, qirtest::ScopedEnv, qirtest::StandardLine;

namespace {

std::atomic<time_t> g_day{0};
time_t FixedDay() { return g_day.load(); }

std::string Record(const std::string& _tag, const std::string& _text) {
  std::string r(QIR_LOG_HEADER_SIZE + _text.size(), '\0');
  memcpy(&r[QIR_LOG_HEADER_SIZE], _text.data(), _text.size());
  QIR_LOG_ENCODE_RECORD(&r[0], _tag.c_str(), _text.size());
  return r;
}

// Files are named for 5 March 2025; a pipe is at hand for the writer to read.
class LogWriterTest : public testing::Test {
 protected:
  void SetUp() override {
    g_day = qirtest::LocalNoon(2025, 3, 5);
    CQIRWriteFile::SetClock(&FixedDay);
    ASSERT_EQ(0, pipe2(fds_, O_NONBLOCK));
  }
  void TearDown() override {
    close(fds_[0]);
    close(fds_[1]);
    CQIRWriteFile::SetClock(nullptr);
  }
  // Writes _bytes into the pipe, lets the writer read one record without its
  // thread, and returns what it printed.
  std::string Feed(CQIRServiceLogWriter& _w, const std::string& _bytes) {
    EXPECT_EQ(static_cast<ssize_t>(_bytes.size()), write(fds_[1], _bytes.data(), _bytes.size()));
    testing::internal::CaptureStdout();
    _w.WriteLog();
    return testing::internal::GetCapturedStdout();
  }
  std::string File(const std::string& _tag = "") const {
    return tmp_ / ("app." + (_tag.empty() ? "" : _tag + ".") + "LOG.20250305");
  }

  qirtest::TempDir tmp_;
  int fds_[2];
  ScopedEnv resHome_{"QIR_RES_HOME", nullptr};
  ScopedEnv tmpDir_{"TMPDIR", "/tmp"};
};

// One row of a hex dump: "%08x: ", 16 cells of 4, the 16-character text.
bool HexRow(const std::string& _l) { return _l.size() == 90 && _l.compare(8, 2, ": ") == 0; }

}  // namespace

TEST_F(LogWriterTest, RecordsGoToTheFileOfTheirTag) {
  CQIRServiceLogWriter w;
  ASSERT_EQ(1, w.Initialize(tmp_.path().c_str(), "app", "LOG", 0, 0));
  w.SetPipe(fds_[0]);
  EXPECT_EQ(1, w.AddWriter("T1"));
  EXPECT_EQ(0, w.AddWriter("T1"));
  // Names that do not fit a fixed field are refused, not cut: a tag over a
  // record's 31 characters, a path over the file writer's 127.
  CQIRServiceLogWriter other;
  qirtest::Captured([&] {
    EXPECT_EQ(0, w.AddWriter(std::string(32, 't').c_str()) + w.AddWriter("") + w.AddWriter("a/b"));
    EXPECT_EQ(0, other.Initialize(("/tmp/" + std::string(123, 'p')).c_str(), "app", "LOG", 0, 0));
  });
  EXPECT_FALSE(Exists(File("T1")));  // opened by its first record
  EXPECT_EQ("", Feed(w, Record("T1", "thread line\n")));
  EXPECT_EQ("", Feed(w, Record("MAIN", "main line\n")));
  EXPECT_EQ("ThreadLog(T9) not found!\n", Feed(w, Record("T9", "dropped\n")));
  EXPECT_EQ("thread line\n", ReadAll(File("T1")));
  // A main file deleted meanwhile is created afresh.
  ASSERT_EQ(0, unlink(File().c_str()));
  Feed(w, Record("MAIN", "after delete\n"));
  EXPECT_EQ("after delete\n", ReadAll(File()));
}

// A length beyond the read buffer, or a record cut short, left the reader in
// the middle of a record, reading text as headers from then on.
TEST_F(LogWriterTest, StreamFaultsAreRejectedAndTheReaderGetsBackInStep) {
  std::string huge = Record("MAIN", "");
  uint64_t length = QIR_LOG_BUFFER_SIZE + 1;
  memcpy(&huge[QIR_LOG_TAG_SIZE], &length, sizeof(length));
  const struct { std::string bytes; const char* message; } cases[] = {
      {std::string(20, 't'), "service-logger tag length mismatch!"},
      {std::string(36, 'l'), "service-logger log size length mismatch!"},
      {huge + std::string(500, 'j'), "service-logger log size invalid(32769 > 32768)!"},
      {Record("MAIN", std::string(100, 'c')).substr(0, 90), "log data length mismatch!"}};
  CQIRServiceLogWriter w;
  ASSERT_EQ(1, w.Initialize(tmp_.path().c_str(), "app", "LOG", 0, 0));
  w.SetPipe(fds_[0]);
  std::string expect;
  for (const auto& c : cases) {
    std::string out = Feed(w, c.bytes);
    EXPECT_NE(std::string::npos, out.find(c.message)) << out;
    expect += "good after " + std::string(c.message) + "\n";
    EXPECT_EQ("", Feed(w, Record("MAIN", "good after " + std::string(c.message) + "\n")));
  }
  EXPECT_EQ(expect, ReadAll(File()));
}

// select() cannot watch a descriptor at or above FD_SETSIZE (1024); one that
// high overran the descriptor set.
TEST_F(LogWriterTest, ThreadReadsAPipeDescriptorAbove1024AndDrainsOnExit) {
  const int high = 1500;
  if (dup2(fds_[0], high) != high) GTEST_SKIP() << "descriptor limit below 1501";
  CQIRServiceLogWriter w;
  ASSERT_EQ(1, w.Initialize(tmp_.path().c_str(), "app", "LOG", 0, 0));
  w.SetPipe(high);
  ASSERT_TRUE(w.Execute());
  std::string expect;
  for (int i = 0; i < 100; ++i) {
    std::string r = Record("MAIN", "line " + std::to_string(i) + "\n");
    ASSERT_EQ(static_cast<ssize_t>(r.size()), write(fds_[1], r.data(), r.size()));
    expect += "line " + std::to_string(i) + "\n";
  }
  w.SetExit();
  while (w.GetStatus() != CQIRThread::QIR_THREAD_TERMINATE) usleep(1000);
  EXPECT_EQ(expect, ReadAll(File()));
  close(high);
}

// ---- Through the service log's file mode -------------------------------------

TEST_F(LogWriterTest, FinalizeWritesEverythingSentBeforeIt) {
  CQIRServiceLog log;
  ASSERT_EQ(1, log.Initialize(tmp_.path().c_str(), "app", "LOG", 0, 0));
  // About 40 KB: the pipe holds it all even if the writer read none of it.
  for (int i = 0; i < 200; ++i) log.MessageLog(QIR_LOG_INFO, "line %04d", i);
  unsigned char data[QIR_LOG_MAX_HEXA];
  for (size_t i = 0; i < sizeof(data); ++i) data[i] = static_cast<unsigned char>(i);
  ASSERT_EQ(1, log.HexaLog("dump", data, sizeof(data)));  // 23 KB: six records
  log.MessageLog(QIR_LOG_INFO, "%s", std::string(10000, 'L').c_str());
  log.Finalize();
  log.Finalize();
  EXPECT_EQ(0u, log.GetDropCount());
  EXPECT_FALSE(Exists(log.GetPipeName()));

  std::vector<std::string> lines = Lines(ReadAll(File()));
  ASSERT_EQ(200u + 1u + 257u + 2u + 1u, lines.size());
  std::string text;
  EXPECT_TRUE(StandardLine(lines[199], "Info   ", &text) && text == "line 0199") << lines[199];
  for (int row = 0; row < 257; ++row) EXPECT_TRUE(HexRow(lines[201 + row])) << lines[201 + row];
  EXPECT_EQ(0u, lines[457].find("00001000: "));
  // A single line longer than a record is cut to fill one, and marked.
  ASSERT_TRUE(StandardLine(lines.back(), "Info   ", &text));
  EXPECT_EQ(std::string(QIR_LOG_MAX_RECORD_TEXT - 1 - 26 - 3, 'L') + "...", text);
}

// Eight threads, half of them with thread logs: every line arrives whole, in
// its thread's order and file, and what the full pipe dropped is counted.
TEST_F(LogWriterTest, RecordsOfManyThreadsLandWholeAndCounted) {
  const int kThreads = 8, kLines = 400;
  CQIRServiceLog log;
  ASSERT_EQ(1, log.Initialize(tmp_.path().c_str(), "app", "LOG", 0, 0));
  for (int t = 0; t < kThreads / 2; ++t) log.InitThreadLog(("T" + std::to_string(t)).c_str());
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&log, t] {
      std::string tag = t < kThreads / 2 ? "T" + std::to_string(t) : "MAIN";
      for (int i = 0; i < kLines; ++i) {
        log.MessageLog(tag.c_str(), QIR_LOG_INFO, "thread %d line %d %040d", t, i, i);
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
      int t = -1, i = -1, again = -1, used = 0;
      ASSERT_TRUE(StandardLine(l, "Info   ", &text) &&
                  sscanf(text.c_str(), "thread %d line %d %d%n", &t, &i, &again, &used) == 3) << l;
      EXPECT_TRUE(text.size() == static_cast<size_t>(used) && i == again) << l;
      EXPECT_EQ(tag.empty() ? "" : tag, t < kThreads / 2 ? "T" + std::to_string(t) : "") << l;
      EXPECT_TRUE(last.count(t) == 0 || last[t] < i) << l;
      last[t] = i;
      ++landed;
    }
  }
  EXPECT_GT(landed, 0u);
  EXPECT_EQ(static_cast<size_t>(kThreads * kLines), landed + log.GetDropCount());
}

// A record over PIPE_BUF bytes may be taken in part by a non-blocking pipe;
// under overload such a part put the reader out of step for good.
TEST_F(LogWriterTest, OverloadDropsWholeRecordsNeverHalves) {
  CQIRServiceLog log;
  ASSERT_EQ(1, log.Initialize(tmp_.path().c_str(), "app", "LOG", 0, 0));
  unsigned char data[QIR_LOG_MAX_HEXA];
  for (size_t i = 0; i < sizeof(data); ++i) data[i] = static_cast<unsigned char>('a' + i % 26);
  const std::string longLine(6000, 'L');
  testing::internal::CaptureStdout();
  std::vector<std::thread> threads;
  for (int t = 0; t < 4; ++t) {
    threads.emplace_back([&, t] {
      for (int i = 0; i < 40; ++i) {
        if (t % 2 == 0) log.HexaLog("dump", data, sizeof(data));
        else log.MessageLog(QIR_LOG_INFO, "%s", longLine.c_str());
      }
    });
  }
  for (auto& th : threads) th.join();
  log.Finalize();
  EXPECT_EQ("", testing::internal::GetCapturedStdout());  // never out of step

  const std::string cut = std::string(QIR_LOG_MAX_RECORD_TEXT - 1 - 26 - 3, 'L') + "...";
  for (const std::string& l : Lines(ReadAll(File()))) {
    std::string text;
    EXPECT_TRUE(l.empty() || HexRow(l) || (StandardLine(l, "Debug  ", &text) && text == " dump") ||
                (StandardLine(l, "Info   ", &text) && text == cut))
        << l.substr(0, 120);
  }
}
