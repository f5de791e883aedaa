#include "CQIRServiceLogWriter.h"

#include "CQIRServiceLog.h"
#include "CQIRWriteFile.h"

#include <errno.h>
#include <poll.h>
#include <stdarg.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr long kDrainWaitNs = 100L * 1000;

// One read takes what the pipe holds, up to this much; a record cut by the
// end of the buffer waits at its start for the rest.
constexpr size_t kReadBuffer = 256 * 1024;
static_assert(kReadBuffer >= 2 * (QIR_LOG_HEADER_SIZE + QIR_LOG_BUFFER_SIZE),
              "the read buffer holds a whole record and more");

// While records keep coming the files are flushed at least this often; a
// pass over the pipe returns after kMaxPassNs so an exit request is seen.
constexpr int64_t kFlushEveryNs = 100L * 1000 * 1000;
constexpr int64_t kMaxPassNs = 10L * 1000 * 1000;
// The producers' held-back records are asked for at least this often.
constexpr int64_t kIdleHookEveryNs = 5L * 1000 * 1000;
// Lost records are reported in the main log at most this often.
constexpr int64_t kDropReportEveryNs = 1000L * 1000 * 1000;

// After the exit request the drain takes what the pipe held then, plus this
// much from producers that were already inside a log call; a producer that
// keeps writing cannot hold the stop up for ever.
constexpr size_t kDrainSlack = 1 << 20;

// Limits of the file writer's name fields (without the NUL).
constexpr size_t kMaxPath = 127;
constexpr size_t kMaxName = 63;
constexpr size_t kMaxExtension = 15;

// The writer cannot log through itself: its messages go to standard output,
// flushed at once since that is often a file or a pipe.
__attribute__((format(printf, 1, 2))) void Say(const char* _fmt, ...) {
  va_list ap;
  va_start(ap, _fmt);
  vprintf(_fmt, ap);
  va_end(ap);
  fflush(stdout);
}

int64_t MonotonicNs() {
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return static_cast<int64_t>(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

}  // namespace

CQIRServiceLogWriter::CQIRServiceLogWriter()
    : thdMap_(10),
      file_(nullptr),
      dailyCreatePath_(0),
      maxFileSize_(0),
      buffer_(nullptr),
      pipe_(0),
      doExit_(0),
      runThread_(0),
      consumed_(0),
      held_(0),
      lastFlushNs_(0),
      drops_(nullptr),
      dropsReported_(0),
      lastDropReportNs_(0),
      idleHook_(nullptr),
      idleArg_(nullptr),
      lastHookNs_(0) {
  path_[0] = '\0';
  name_[0] = '\0';
  extension_[0] = '\0';
}

CQIRServiceLogWriter::~CQIRServiceLogWriter() { Finalize(); }

CQIRWriteFile* CQIRServiceLogWriter::NewWriter(const char* _name) {
  CQIRWriteFile* writer = new CQIRWriteFile(path_, _name, extension_);
  writer->SetChange(dailyCreatePath_ == 1 ? CQIRWriteFile::QIR_WF_DAILY_DIR_CHANGE
                                          : CQIRWriteFile::QIR_WF_DAILY_CHANGE,
                    1);
  if (maxFileSize_ != 0) writer->SetSize(maxFileSize_);
  return writer;
}

int CQIRServiceLogWriter::Initialize(const char* _path, const char* _name,
                                     const char* _extension, int _dailyCreatePath,
                                     unsigned long _maxFileSize) {
  Finalize();
  CQIRThread::Initialize();  // a writer started before must not look terminated already
  doExit_.store(0);
  if (_extension == nullptr) _extension = "";
  if (_path == nullptr || _name == nullptr || _name[0] == '\0') {
    Say("service-logger path and name required...\n");
    return 0;
  }
  if (strlen(_path) > kMaxPath) {
    Say("service-logger path too long(%zu > %zu characters): %s\n", strlen(_path), kMaxPath,
           _path);
    return 0;
  }
  if (strlen(_name) > kMaxName || strlen(_extension) > kMaxExtension) {
    Say("service-logger name or extension too long(%s, %s; %zu and %zu characters at most)\n",
           _name, _extension, kMaxName, kMaxExtension);
    return 0;
  }
  buffer_ = static_cast<char*>(malloc(kReadBuffer));
  if (buffer_ == nullptr) return 0;
  held_ = 0;
  strcpy(path_, _path);
  strcpy(name_, _name);
  strcpy(extension_, _extension);
  dailyCreatePath_ = _dailyCreatePath;
  maxFileSize_ = _maxFileSize;
  CQIRWriteFile* main = NewWriter(name_);
  {
    CQIRLockGuard guard(thdMutex_);
    file_ = main;
  }
  return file_->Open() ? 1 : 0;
}

int CQIRServiceLogWriter::AddWriter(const char* _name) {
  if (_name == nullptr || _name[0] == '\0' || strchr(_name, '/') != nullptr ||
      strlen(_name) >= QIR_LOG_TAG_SIZE) {
    Say("service-logger thread log tag refused(%s): 1 to %d characters, no '/'\n",
           _name == nullptr ? "(null)" : _name, QIR_LOG_TAG_SIZE - 1);
    return 0;
  }
  if (strcmp(_name, "MAIN") == 0 || name_[0] == '\0') return 0;
  char fileName[kMaxName + 2];
  int n = snprintf(fileName, sizeof(fileName), "%s.%s", name_, _name);
  if (n < 0 || static_cast<size_t>(n) > kMaxName) {
    Say("service-logger thread log name too long(%s.%s; %zu characters at most)\n", name_,
           _name, kMaxName);
    return 0;
  }
  CQIRLockGuard guard(thdMutex_);
  if (thdMap_.find(_name) != thdMap_.end()) return 0;
  thdMap_.emplace(_name, NewWriter(fileName));
  return 1;
}

void CQIRServiceLogWriter::SetKeepDays(int _days) {
  CQIRLockGuard guard(thdMutex_);
  for (auto& entry : thdMap_) entry.second->SetKeepDays(_days);
  if (file_ != nullptr) file_->SetKeepDays(_days);
}

void CQIRServiceLogWriter::Finalize() {
  {
    CQIRLockGuard guard(thdMutex_);
    for (auto& entry : thdMap_) delete entry.second;
    thdMap_.clear();
    delete file_;
    file_ = nullptr;
  }
  unflushed_.clear();
  held_ = 0;
  free(buffer_);
  buffer_ = nullptr;
}

bool CQIRServiceLogWriter::OnWriterThread() const {
  pthread_t thread = runThread_.load();
  return thread != 0 && pthread_equal(thread, pthread_self());
}

// poll, not select: the pipe may be opened after many sockets, and select
// cannot watch a descriptor at or above FD_SETSIZE.
int CQIRServiceLogWriter::WaitReadable(long _nanoseconds) {
  struct pollfd pfd;
  pfd.fd = pipe_;
  pfd.events = POLLIN;
  pfd.revents = 0;
  struct timespec wait = {0, _nanoseconds};
  int rc = ppoll(&pfd, 1, &wait, nullptr);
  if (rc < 0) return errno == EINTR ? 0 : -1;
  if (rc == 0) return 0;
  if ((pfd.revents & POLLNVAL) != 0) return -1;
  return (pfd.revents & POLLIN) != 0 ? 1 : -1;
}

void CQIRServiceLogWriter::Resync() {
  held_ = 0;
  size_t discarded = 0;
  char sink[4096];
  while (discarded < kDrainSlack) {
    ssize_t n = read(pipe_, sink, sizeof(sink));
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) break;
    discarded += static_cast<size_t>(n);
  }
  consumed_ += discarded;
  Say("service-logger stream out of step: %zu bytes discarded\n", discarded);
}

CQIRWriteFile* CQIRServiceLogWriter::WriterOf(const char* _tag) {
  if (memcmp(_tag, "MAIN", 5) == 0) return file_;
  CQIRLockGuard guard(thdMutex_);
  auto it = thdMap_.find(_tag);
  return it != thdMap_.end() ? it->second : nullptr;
}

// The first record for a file since the last flush checks that the file is
// still there: one deleted or moved away is created afresh, and a tag's
// first record opens its file this way.
void CQIRServiceLogWriter::Put(CQIRWriteFile* _writer, const char* _text, size_t _length) {
  bool listed = false;
  for (CQIRWriteFile* w : unflushed_) listed = listed || w == _writer;
  if (!listed) {
    if (!_writer->CheckFile() && !_writer->ReOpen()) return;
    unflushed_.push_back(_writer);
  }
  _writer->Write(reinterpret_cast<const unsigned char*>(_text), _length);
}

bool CQIRServiceLogWriter::WriteRecords() {
  size_t pos = 0;
  while (held_ - pos >= static_cast<size_t>(QIR_LOG_HEADER_SIZE)) {
    char tag[QIR_LOG_TAG_SIZE];
    uint64_t length = QIR_LOG_DECODE_RECORD(buffer_ + pos, tag);
    if (length > QIR_LOG_BUFFER_SIZE) {
      Say("service-logger log size invalid(%llu > %d)!\n",
          static_cast<unsigned long long>(length), QIR_LOG_BUFFER_SIZE);
      return false;
    }
    if (held_ - pos - QIR_LOG_HEADER_SIZE < length) break;  // the rest comes with the next read
    const char* text = buffer_ + pos + QIR_LOG_HEADER_SIZE;
    pos += QIR_LOG_HEADER_SIZE + static_cast<size_t>(length);
    CQIRWriteFile* writer = WriterOf(tag);
    if (writer == nullptr) {
      Say("ThreadLog(%s) not found!\n", tag);
      continue;
    }
    Put(writer, text, static_cast<size_t>(length));
  }
  memmove(buffer_, buffer_ + pos, held_ - pos);
  held_ -= pos;
  return true;
}

void CQIRServiceLogWriter::Flush() {
  for (CQIRWriteFile* w : unflushed_) w->FFlush();
  unflushed_.clear();
  lastFlushNs_ = MonotonicNs();
}

void CQIRServiceLogWriter::ReportDrops(bool _final) {
  if (drops_ == nullptr || file_ == nullptr) return;
  unsigned long drops = drops_->load(std::memory_order_relaxed);
  if (drops == dropsReported_) return;
  int64_t now = MonotonicNs();
  if (!_final && now - lastDropReportNs_ < kDropReportEveryNs) return;
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  struct tm tmv;
  localtime_r(&tv.tv_sec, &tmv);
  char line[256];
  int n = snprintf(line, sizeof(line),
                   "[%02d:%02d:%02d:%06d][%-7s][%24.24s:%16.16s:%04d]service log dropped %lu "
                   "records since the last report\n",
                   tmv.tm_hour, tmv.tm_min, tmv.tm_sec, static_cast<int>(tv.tv_usec), "Warning",
                   QIR_BASENAME(__FILE__), __FUNCTION__, __LINE__, drops - dropsReported_);
  dropsReported_ = drops;
  lastDropReportNs_ = now;
  if (n > 0) Put(file_, line, static_cast<size_t>(n));
}

// Takes every whole record the pipe holds, in large reads; a record cut by
// the end of the buffer keeps its bytes for the next read. Producers write
// each record whole (at most PIPE_BUF bytes), so a part left over once the
// pipe is empty was never a whole record: it is reported and discarded.
void CQIRServiceLogWriter::WriteLog() {
  if (buffer_ == nullptr) return;
  const int64_t start = MonotonicNs();
  bool empty = false;
  for (;;) {
    ssize_t n = read(pipe_, buffer_ + held_, kReadBuffer - held_);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      empty = true;
      break;
    }
    consumed_ += static_cast<size_t>(n);
    held_ += static_cast<size_t>(n);
    if (!WriteRecords()) Resync();
    int64_t now = MonotonicNs();
    if (now - lastFlushNs_ >= kFlushEveryNs) Flush();
    if (now - start >= kMaxPassNs) break;
  }
  if (empty && held_ > 0) {
    if (held_ < static_cast<size_t>(QIR_LOG_TAG_SIZE)) {
      Say("service-logger tag length mismatch!\n");
    } else if (held_ < static_cast<size_t>(QIR_LOG_HEADER_SIZE)) {
      Say("service-logger log size length mismatch!\n");
    } else {
      Say("service-logger log data length mismatch!\n");
    }
    held_ = 0;
  }
  ReportDrops(false);
  if (empty) Flush();
}

void CQIRServiceLogWriter::Run() {
  runThread_.store(pthread_self());
  lastFlushNs_ = MonotonicNs();
  lastDropReportNs_ = lastFlushNs_ - kDropReportEveryNs;  // the first loss is told at once
  while (doExit_.load() == 0) {
    if (idleHook_ != nullptr && MonotonicNs() - lastHookNs_ >= kIdleHookEveryNs) {
      idleHook_(idleArg_);
      lastHookNs_ = MonotonicNs();
    }
    int ready = WaitReadable(kIdleHookEveryNs);
    if (ready > 0) {
      WriteLog();
    } else if (ready == 0) {
      ReportDrops(false);
      if (!unflushed_.empty()) Flush();
    } else {
      Say("service-logger pipe wait failed...(%d-%s)\n", errno, strerror(errno));
      usleep(10000);
    }
  }
  int pending = 0;
  if (ioctl(pipe_, FIONREAD, &pending) != 0 || pending < 0) pending = 0;
  const size_t limit = consumed_ + static_cast<size_t>(pending) + kDrainSlack;
  while (consumed_ < limit && WaitReadable(kDrainWaitNs) > 0) WriteLog();
  ReportDrops(true);
  Flush();
  runThread_.store(0);
}
