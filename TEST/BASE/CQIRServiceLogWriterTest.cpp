#include "CQIRServiceLogWriter.h"

#include "CQIRServiceLog.h"
#include "CQIRWriteFile.h"
#include "QIRLogTestUtil.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/wait.h>
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
    return qirtest::Captured([&] { _w.WriteLog(); });
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
  std::string bytes = Record("MAIN", "after delete\n"), expect = "after delete\n";
  // One wake-up takes all the pipe holds, in reads that end inside a record:
  // the cut record is completed by the next read, never written half.
  if (fcntl(fds_[1], F_SETPIPE_SZ, 1 << 20) < (1 << 20)) GTEST_SKIP() << "pipe stays small";
  for (int i = 0; bytes.size() < 900 * 1024; ++i) {
    bytes += Record("MAIN", std::to_string(i) + std::string(i % 997, 'r') + "\n");
    expect += std::to_string(i) + std::string(i % 997, 'r') + "\n";
  }
  EXPECT_EQ("", Feed(w, bytes));
  for (int i = 0; i < 1000 && ReadAll(File()).size() < expect.size(); ++i) w.WriteLog();
  EXPECT_TRUE(expect == ReadAll(File())) << ReadAll(File()).size() << " of " << expect.size();
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

// Records the producers lost showed only in a counter nobody read: the log
// says so itself, at most once a second, with the count since the last time.
// The thread reads a pipe descriptor above 1024, which overran select()'s set.
TEST_F(LogWriterTest, LostRecordsAreReportedInTheMainLogByTheThread) {
  const int high = 1500;
  if (dup2(fds_[0], high) != high) GTEST_SKIP() << "descriptor limit below 1501";
  std::atomic<unsigned long> drops{5};
  CQIRServiceLogWriter w;
  ASSERT_EQ(1, w.Initialize(tmp_.path().c_str(), "app", "LOG", 0, 0));
  w.SetPipe(high);
  w.SetDropCounter(&drops);
  std::string r = Record("MAIN", "before the exit\n");
  ASSERT_EQ(static_cast<ssize_t>(r.size()), write(fds_[1], r.data(), r.size()));
  ASSERT_TRUE(w.Execute());
  const std::string report = "]service log dropped ";
  for (int i = 0; i < 10000 && !qirtest::Has(ReadAll(File()), report); ++i) usleep(1000);
  drops = 7;  // within the second: told when the writer stops
  w.SetExit();
  for (int i = 0; i < 10000 && w.GetStatus() != CQIRThread::QIR_THREAD_TERMINATE; ++i) usleep(1000);
  close(high);
  std::vector<std::string> lines = Lines(ReadAll(File()));
  ASSERT_EQ(3u, lines.size());
  EXPECT_EQ("before the exit", lines[0]);
  EXPECT_TRUE(qirtest::Has(lines[1], "][Warning][") &&
              qirtest::Has(lines[1], report + "5 records since the last report")) << lines[1];
  EXPECT_TRUE(qirtest::Has(lines[2], report + "2 records since the last report")) << lines[2];
}

// ---- Through the service log's file mode -------------------------------------

// Eight threads, half of them with thread logs, two also sending hex dumps
// and lines longer than a pipe write takes whole (such a record, taken in
// part by a full pipe, once put the reader out of step for good). The queue
// in front of the pipe holds it all, so after Finalize every line is in its
// thread's file, whole and in order, and nothing was lost.
TEST_F(LogWriterTest, FinalizeWritesEveryLineOfManyThreadsWholeAndInOrder) {
  const int kThreads = 8, kLines = 400;
  CQIRServiceLog log;
  ASSERT_EQ(1, log.Initialize(tmp_.path().c_str(), "app", "LOG", 0, 0));
  for (int t = 0; t < kThreads / 2; ++t) log.InitThreadLog(("T" + std::to_string(t)).c_str());
  unsigned char data[QIR_LOG_MAX_HEXA];
  for (size_t i = 0; i < sizeof(data); ++i) data[i] = static_cast<unsigned char>('a' + i % 26);
  testing::internal::CaptureStdout();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::string tag = t < kThreads / 2 ? "T" + std::to_string(t) : "MAIN";
      for (int i = 0; i < kLines; ++i) {
        log.MessageLog(tag.c_str(), QIR_LOG_INFO, "thread %d line %d %040d", t, i, i);
        if (t == 5 && i % 10 == 0) log.HexaLog("dump", data, sizeof(data));  // 257 rows
        if (t == 6 && i % 10 == 0) log.MessageLog(QIR_LOG_INFO, "%s", std::string(6000, 'L').c_str());
      }
    });
  }
  for (auto& th : threads) th.join();
  log.Finalize();
  log.Finalize();
  EXPECT_EQ("", testing::internal::GetCapturedStdout());  // never out of step
  EXPECT_FALSE(Exists(log.GetPipeName()));
  EXPECT_EQ(0u, log.GetDropCount());

  // A line longer than a record is cut to fill one, and marked.
  const std::string cut = std::string(QIR_LOG_MAX_RECORD_TEXT - 1 - 26 - 3, 'L') + "...";
  std::map<int, int> last;
  size_t landed = 0, rows = 0, cuts = 0;
  for (const std::string tag : {"", "T0", "T1", "T2", "T3"}) {
    for (const std::string& l : Lines(ReadAll(File(tag)))) {
      std::string text;
      int t = -1, i = -1, again = -1, used = 0;
      if (l.empty() || (StandardLine(l, "Debug  ", &text) && text == " dump")) continue;
      rows += HexRow(l);
      cuts += StandardLine(l, "Info   ", &text) && text == cut;
      if (HexRow(l) || text == cut) continue;
      ASSERT_TRUE(StandardLine(l, "Info   ", &text) &&
                  sscanf(text.c_str(), "thread %d line %d %d%n", &t, &i, &again, &used) == 3) << l;
      EXPECT_TRUE(text.size() == static_cast<size_t>(used) && i == again) << l;
      EXPECT_EQ(tag.empty() ? "" : tag, t < kThreads / 2 ? "T" + std::to_string(t) : "") << l;
      EXPECT_TRUE(last.count(t) == 0 || last[t] + 1 == i) << l;
      last[t] = i;
      ++landed;
    }
  }
  EXPECT_EQ(static_cast<size_t>(kThreads * kLines), landed);
  EXPECT_EQ(40u * 257u, rows);
  EXPECT_EQ(40u, cuts);
}

// kill -9 loses only what the writer had not yet taken: every line logged a
// while (200 ms is the aim, the bound is generous) before the kill is in the
// file, and the lines that arrived are whole and in order.
TEST(LogWriterKillTest, LinesOlderThanAKillAreOnDisk) {
  qirtest::TempDir tmp;
  ScopedEnv res("QIR_RES_HOME", tmp.path().c_str());
  void* shared = mmap(nullptr, sizeof(long), PROT_READ | PROT_WRITE, MAP_SHARED | MAP_ANONYMOUS, -1, 0);
  ASSERT_NE(MAP_FAILED, shared);
  std::atomic<long>* progress = new (shared) std::atomic<long>(-1);  // the child's last line
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {  // logs numbered lines until killed, 40 s at most
    CQIRServiceLog log;
    if (log.Initialize(tmp.path().c_str(), "kill", "LOG", 0, 0) != 1) _exit(2);
    for (long i = 0; i < 200000; ++i, usleep(200)) {
      log.MessageLog(QIR_LOG_INFO, "seq %ld", i);
      progress->store(i);
    }
    _exit(1);
  }
  for (int i = 0; i < 20000 && progress->load() < 2000; ++i) usleep(1000);
  const long logged = progress->load();
  usleep(1000 * 1000);
  kill(pid, SIGKILL);
  ASSERT_EQ(pid, waitpid(pid, nullptr, 0));
  ASSERT_GE(logged, 2000) << "the child did not log";
  std::string text;
  for (const auto& e : std::filesystem::directory_iterator(tmp.path())) {
    if (e.path().filename().string().rfind("kill.LOG.", 0) == 0) text += ReadAll(e.path());
  }
  std::vector<std::string> lines = Lines(text);
  if (!text.empty() && text.back() != '\n') lines.pop_back();  // a write the kill cut short
  long expect = 0;
  for (const std::string& l : lines) {
    std::string body;
    ASSERT_TRUE(StandardLine(l, "Info   ", &body) && body == "seq " + std::to_string(expect++)) << l;
  }
  EXPECT_GT(expect, logged) << "lines logged a second before the kill are missing";
}
