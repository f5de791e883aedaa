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
  for (int i = 0; i < 10000 && w.GetStatus() != CQIRThread::QIR_THREAD_TERMINATE; ++i) usleep(1000);
  EXPECT_EQ(expect, ReadAll(File()));
  close(high);
}

// One wake-up takes everything the pipe holds, in reads that end inside a
// record: the cut record is completed by the next read, never written half.
TEST_F(LogWriterTest, RecordsCutByTheReadBufferAreWrittenWhole) {
  if (fcntl(fds_[1], F_SETPIPE_SZ, 1 << 20) < (1 << 20)) GTEST_SKIP() << "pipe stays small";
  CQIRServiceLogWriter w;
  ASSERT_EQ(1, w.Initialize(tmp_.path().c_str(), "app", "LOG", 0, 0));
  w.SetPipe(fds_[0]);
  std::string bytes, expect;
  for (int i = 0; bytes.size() < 900 * 1024; ++i) {
    std::string text = std::to_string(i) + std::string(i % 997, 'r') + "\n";
    bytes += Record("MAIN", text);
    expect += text;
  }
  EXPECT_EQ("", Feed(w, bytes));
  for (int i = 0; i < 1000 && ReadAll(File()).size() < expect.size(); ++i) w.WriteLog();
  EXPECT_TRUE(expect == ReadAll(File())) << ReadAll(File()).size() << " of " << expect.size();
}

// Records the producers lost showed only in a counter nobody read: the log
// says so itself, at most once a second, with the count since the last time.
TEST_F(LogWriterTest, LostRecordsAreReportedInTheMainLog) {
  std::atomic<unsigned long> drops{0};
  CQIRServiceLogWriter w;
  ASSERT_EQ(1, w.Initialize(tmp_.path().c_str(), "app", "LOG", 0, 0));
  w.SetPipe(fds_[0]);
  w.SetDropCounter(&drops);
  ASSERT_TRUE(w.Execute());
  drops = 5;
  std::string r = Record("MAIN", "after the loss\n");
  ASSERT_EQ(static_cast<ssize_t>(r.size()), write(fds_[1], r.data(), r.size()));
  const std::string report = "]service log dropped ";
  for (int i = 0; i < 10000 && !qirtest::Has(ReadAll(File()), report); ++i) usleep(1000);
  drops = 7;  // within the second: reported when the writer stops
  w.SetExit();
  for (int i = 0; i < 10000 && w.GetStatus() != CQIRThread::QIR_THREAD_TERMINATE; ++i) usleep(1000);
  std::vector<std::string> lines = Lines(ReadAll(File()));
  ASSERT_EQ(3u, lines.size());
  std::string text;
  EXPECT_EQ("after the loss", lines[0]);
  EXPECT_TRUE(StandardLine(lines[1], "Warning", &text) &&
              qirtest::Has(text, report + "5 records since the last report")) << lines[1];
  EXPECT_TRUE(qirtest::Has(lines[2], report + "2 records since the last report")) << lines[2];
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

// Eight threads, half of them with thread logs, some sending lines and hex
// dumps longer than a pipe write can take whole: every line arrives whole,
// in its thread's order and file, and what was lost is counted. A record
// over PIPE_BUF bytes was once taken in part by the full pipe and put the
// reader out of step for good.
TEST_F(LogWriterTest, RecordsOfManyThreadsLandWholeInOrderAndCounted) {
  const int kThreads = 8, kLines = 400;
  CQIRServiceLog log;
  ASSERT_EQ(1, log.Initialize(tmp_.path().c_str(), "app", "LOG", 0, 0));
  for (int t = 0; t < kThreads / 2; ++t) log.InitThreadLog(("T" + std::to_string(t)).c_str());
  unsigned char data[QIR_LOG_MAX_HEXA];
  for (size_t i = 0; i < sizeof(data); ++i) data[i] = static_cast<unsigned char>('a' + i % 26);
  const std::string longLine(6000, 'L');
  testing::internal::CaptureStdout();
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::string tag = t < kThreads / 2 ? "T" + std::to_string(t) : "MAIN";
      for (int i = 0; i < kLines; ++i) {
        log.MessageLog(tag.c_str(), QIR_LOG_INFO, "thread %d line %d %040d", t, i, i);
        if (t == 5 && i % 10 == 0) log.HexaLog("dump", data, sizeof(data));
        if (t == 6 && i % 10 == 0) log.MessageLog(QIR_LOG_INFO, "%s", longLine.c_str());
      }
    });
  }
  for (auto& th : threads) th.join();
  log.Finalize();
  EXPECT_EQ("", testing::internal::GetCapturedStdout());  // never out of step

  const std::string cut = std::string(QIR_LOG_MAX_RECORD_TEXT - 1 - 26 - 3, 'L') + "...";
  std::map<int, int> last;
  size_t landed = 0;
  for (const std::string tag : {"", "T0", "T1", "T2", "T3"}) {
    for (const std::string& l : Lines(ReadAll(File(tag)))) {
      std::string text;
      if (tag.empty() && (l.empty() || HexRow(l) || qirtest::Has(l, "]service log dropped ") || (StandardLine(l, "Debug  ", &text) && text == " dump") ||
                          (StandardLine(l, "Info   ", &text) && text == cut))) {
        continue;
      }
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
  EXPECT_LE(static_cast<size_t>(kThreads * kLines), landed + log.GetDropCount());
}

// ---- A process killed while it logs ------------------------------------------

namespace {

const char kKillChildEnv[] = "QIR_TEST_LOG_KILL_CHILD";

// The number of the last line the child has logged, shared through a file.
std::atomic<long>* MapProgress(const std::string& _dir) {
  int fd = open((_dir + "/progress").c_str(), O_RDWR | O_CREAT, 0600);
  if (fd < 0 || ftruncate(fd, sizeof(std::atomic<long>)) != 0) return nullptr;
  void* p = mmap(nullptr, sizeof(std::atomic<long>), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
  close(fd);
  return p == MAP_FAILED ? nullptr : static_cast<std::atomic<long>*>(p);
}

}  // namespace

// The child: logs numbered lines steadily in file mode until it is killed.
TEST(LogWriterKillChild, LogsUntilKilled) {
  const char* dir = getenv(kKillChildEnv);
  if (dir == nullptr) GTEST_SKIP() << "runs as the child of LinesOlderThanAKillAreOnDisk";
  std::atomic<long>* progress = MapProgress(dir);
  CQIRServiceLog log;
  ASSERT_TRUE(progress != nullptr && log.Initialize(dir, "kill", "LOG", 0, 0) == 1);
  for (long i = 0; i < 200000; ++i) {  // 40 s at most
    log.MessageLog(QIR_LOG_INFO, "seq %ld", i);
    progress->store(i);
    usleep(200);
  }
  _exit(1);
}

// kill -9 loses only what the writer had not yet taken: every line logged a
// while before the kill is in the file, and what arrived is whole and in order.
TEST(LogWriterKillTest, LinesOlderThanAKillAreOnDisk) {
  qirtest::TempDir tmp;
  std::atomic<long>* progress = MapProgress(tmp.path());
  ASSERT_NE(nullptr, progress);
  progress->store(-1);
  char self[4096];
  ssize_t n = readlink("/proc/self/exe", self, sizeof(self) - 1);
  ASSERT_GT(n, 0);
  self[n] = '\0';
  pid_t pid = fork();
  ASSERT_GE(pid, 0);
  if (pid == 0) {
    setenv(kKillChildEnv, tmp.path().c_str(), 1);
    setenv("QIR_RES_HOME", tmp.path().c_str(), 1);
    execl(self, self, "--gtest_filter=LogWriterKillChild.*", static_cast<char*>(nullptr));
    _exit(127);
  }
  for (int i = 0; i < 20000 && progress->load() < 2000; ++i) usleep(1000);
  const long logged = progress->load();
  // 200 ms is the aim; the bound is generous for a loaded machine.
  usleep(1000 * 1000);
  kill(pid, SIGKILL);
  int status = 0;
  ASSERT_EQ(pid, waitpid(pid, &status, 0));
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
    ASSERT_TRUE(StandardLine(l, "Info   ", &body) && body == "seq " + std::to_string(expect)) << l;
    ++expect;
  }
  EXPECT_GT(expect, logged) << "lines logged a second before the kill are missing";
}
