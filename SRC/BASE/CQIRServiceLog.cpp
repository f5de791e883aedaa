#include "CQIRServiceLog.h"

#include <errno.h>
#include <fcntl.h>
#include <sched.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <time.h>
#include <unistd.h>

#include "CQIRConv.h"

namespace {

const char* LevelName(int _logType) {
  switch (_logType) {
    case QIR_LOG_DEBUG: return "Debug";
    case QIR_LOG_INFO: return "Info";
    case QIR_LOG_WARNING: return "Warning";
    case QIR_LOG_ERROR: return "Error";
    default: return "Unknown";
  }
}

// Marks a line that did not fit the buffer, so a reader knows text is missing.
const char kCutMark[] = "...";

// Set by a producer that found the pipe full.
thread_local bool t_pipeFull = false;

// Records wait here while the pipe is full: at 100,000 lines a second this
// rides out the writer thread going unscheduled for about a third of a
// second on a busy machine, on top of what the pipe holds.
constexpr size_t kPendingSize = 4 * 1024 * 1024;

// The unprivileged limit of a pipe's size on Linux by default.
constexpr int kPipeSize = 1024 * 1024;

}  // namespace

size_t QIR_LOG_ENCODE_RECORD(char* _record, const char* _tag, uint64_t _length) {
  size_t tagLen = strnlen(_tag, QIR_LOG_TAG_SIZE - 1);
  memcpy(_record, _tag, tagLen);
  _record[tagLen] = '\0';
  memcpy(_record + QIR_LOG_TAG_SIZE, &_length, sizeof(_length));
  return QIR_LOG_HEADER_SIZE + static_cast<size_t>(_length);
}

uint64_t QIR_LOG_DECODE_RECORD(const char* _record, char _tag[QIR_LOG_TAG_SIZE]) {
  memcpy(_tag, _record, QIR_LOG_TAG_SIZE);
  _tag[QIR_LOG_TAG_SIZE - 1] = '\0';
  uint64_t length = 0;
  memcpy(&length, _record + QIR_LOG_TAG_SIZE, sizeof(length));
  return length;
}

CQIRServiceLog::CQIRServiceLog()
    : writeMode_(2),
      pipe_(0),
      logMask_(0),
      buffer_(nullptr),
      isClose_(0),
      format_(1),
      writerStarted_(false),
      dropped_(0),
      pending_(nullptr),
      pendingStart_(0),
      pendingEnd_(0),
      prefixSecond_(-1) {
  pipeName_[0] = '\0';
}

CQIRServiceLog::~CQIRServiceLog() { Finalize(); }

void CQIRServiceLog::ReadFormat() {
  const char* value = getenv("QIR_LOG_FORMAT");
  format_ = (value == nullptr || strcasecmp(value, "STANDARD") == 0) ? 1 : 2;
}

int CQIRServiceLog::Initialize() {
  StopWriter();
  ClosePipe();
  writeMode_ = 2;
  if (buffer_ == nullptr) buffer_ = static_cast<char*>(malloc(QIR_LOG_BUFFER_SIZE));
  if (buffer_ == nullptr) {
    printf("memory allocate failed...\n");
    return 0;
  }
  logMask_ = QIR_LOG_ALL;
  ReadFormat();
  isClose_ = 0;
  return 1;
}

int CQIRServiceLog::Initialize(const char* _path, const char* _name, const char* _extension,
                               int _createDailyPath, unsigned long _maxFileSize) {
  StopWriter();
  ClosePipe();
  writeMode_ = 1;
  if (buffer_ == nullptr) buffer_ = static_cast<char*>(malloc(QIR_LOG_BUFFER_SIZE));
  if (buffer_ == nullptr) {
    printf("memory allocate failed...\n");
    return 0;
  }
  if (_path == nullptr || access(_path, W_OK) != 0) {
    printf("logger invalid path(%s)...\n", _path == nullptr ? "(null)" : _path);
    return 0;
  }
  if (pending_ == nullptr) pending_ = static_cast<char*>(malloc(kPendingSize));
  pendingStart_ = pendingEnd_ = 0;
  if (pending_ == nullptr) {
    printf("memory allocate failed...\n");
    return 0;
  }
  if (CreatePipe() == 0) return 0;
  if (logWriter_.Initialize(_path, _name, _extension, _createDailyPath, _maxFileSize) == 0) {
    ClosePipe();
    return 0;
  }
  logWriter_.SetPipe(pipe_);
  logWriter_.SetDropCounter(&dropped_);
  logWriter_.SetIdleHook(&CQIRServiceLog::SendPending, this);
  logMask_ = QIR_LOG_ALL;
  if (!logWriter_.Execute()) {
    ClosePipe();
    return 0;
  }
  writerStarted_.store(true);
  ReadFormat();
  isClose_ = 0;
  return 1;
}

int CQIRServiceLog::CreatePipe() {
  const char* dir = getenv("QIR_RES_HOME");
  if (dir == nullptr) dir = getenv("TMPDIR");
  if (dir == nullptr) dir = ".";
  int n = snprintf(pipeName_, sizeof(pipeName_), "%s/APP.%d.PIPE", dir, static_cast<int>(getpid()));
  if (n < 0 || static_cast<size_t>(n) >= sizeof(pipeName_)) {
    pipeName_[0] = '\0';
    printf("logger pipe failed...(%s)\n", dir);
    return 0;
  }
  unlink(pipeName_);
  if (mkfifo(pipeName_, 0600) != 0) {
    printf("logger pipe failed...(%s)\n", pipeName_);
    return 0;
  }
  int fd = open(pipeName_, O_RDWR | O_NONBLOCK);
  if (fd < 0) {
    unlink(pipeName_);
    printf("logger pipe failed...(%s)\n", pipeName_);
    return 0;
  }
  // A larger pipe rides out the moments the writer thread is not scheduled
  // on a busy machine; the system's limit may refuse it, and the default
  // size still works.
  fcntl(fd, F_SETPIPE_SZ, kPipeSize);
  pipe_ = fd;
  return 1;
}

void CQIRServiceLog::ClosePipe() {
  if (pipe_ > 0) {
    close(pipe_);
    unlink(pipeName_);
    pipe_ = 0;
  }
}

void CQIRServiceLog::SetKeepDays(int _days) { logWriter_.SetKeepDays(_days); }

int CQIRServiceLog::InitThreadLog(const char* _threadName) {
  if (writeMode_ != 1) return 0;
  return logWriter_.AddWriter(_threadName);
}

// While Finalize waits for the writer's drain, the writer's own failures are
// still reported (on standard output, see Emit); the buffer is freed only
// after the writer has ended.
bool CQIRServiceLog::Closed() const {
  return isClose_.load() == 1 && !logWriter_.OnWriterThread();
}

// Two decimal digits of _v (0 to 99) at _dest.
static inline void Put2(char* _dest, int _v) {
  _dest[0] = static_cast<char>('0' + _v / 10);
  _dest[1] = static_cast<char>('0' + _v % 10);
}

// Under mutex_. The calendar fields are worked out once per second; the
// standard layout is written digit by digit, as every line pays for it.
int CQIRServiceLog::WritePrefix(char* _dest, size_t _cap, int _logType, bool _dated) {
  struct timeval tv;
  gettimeofday(&tv, nullptr);
  if (tv.tv_sec != prefixSecond_) {
    localtime_r(&tv.tv_sec, &prefixTm_);
    prefixSecond_ = tv.tv_sec;
  }
  const struct tm& tmv = prefixTm_;
  if (_dated) {
    return snprintf(_dest, _cap, "%04d/%02d/%02d-%02d:%02d:%02d.%06d %5d ", tmv.tm_year + 1900,
                    tmv.tm_mon + 1, tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec,
                    static_cast<int>(tv.tv_usec), static_cast<int>(getpid()));
  }
  // "[hh:mm:ss:uuuuuu][Level  ]": 26 characters.
  char* p = _dest;
  *p++ = '[';
  Put2(p, tmv.tm_hour);
  p[2] = ':';
  Put2(p + 3, tmv.tm_min);
  p[5] = ':';
  Put2(p + 6, tmv.tm_sec);
  p[8] = ':';
  int us = static_cast<int>(tv.tv_usec);
  Put2(p + 9, us / 10000);
  Put2(p + 11, us / 100 % 100);
  Put2(p + 13, us % 100);
  p += 15;
  *p++ = ']';
  *p++ = '[';
  const char* level = LevelName(_logType);
  size_t len = strlen(level);
  memcpy(p, level, len);
  memset(p + len, ' ', 7 - len);
  p += 7;
  *p++ = ']';
  *p = '\0';
  return static_cast<int>(p - _dest);
}

// Sends the text at offset 40 (already ending with its newline) as lines on
// standard output or as records on the pipe. Until the writer runs, and on
// the writer thread itself (whose failures would otherwise come back to it
// as new records, without end), lines go to standard output.
void CQIRServiceLog::Emit(const char* _tag, size_t _textLength) {
  if (writeMode_ != 1 || pipe_ <= 0 || !writerStarted_.load() || logWriter_.OnWriterThread()) {
    fwrite(buffer_ + QIR_LOG_HEADER_SIZE, 1, _textLength, stdout);
    fflush(stdout);
    return;
  }
  SendRecords(_tag, _textLength);
}

// Each record is at most PIPE_BUF bytes and carries whole lines (see
// QIR_LOG_MAX_RECORD). The header of a later record is built in front of its
// text, over text already sent. Records are queued in pending_ and written
// in batches of up to PIPE_BUF bytes, so a busy log costs one pipe write per
// batch rather than one per line; a write of at most PIPE_BUF bytes is taken
// whole or not at all, so the pipe only ever holds whole records. While the
// pipe is full, records wait in pending_; only a record that does not fit
// there any more is lost.
void CQIRServiceLog::SendRecords(const char* _tag, size_t _textLength) {
  char* text = buffer_ + QIR_LOG_HEADER_SIZE;
  size_t pos = 0;
  while (pos < _textLength) {
    char* chunk = text + pos;
    size_t rest = _textLength - pos;
    size_t take = rest;
    size_t skip = 0;
    if (rest > QIR_LOG_MAX_RECORD_TEXT) {
      const char* lineEnd = static_cast<const char*>(memrchr(chunk, '\n', QIR_LOG_MAX_RECORD_TEXT));
      if (lineEnd != nullptr) {
        take = static_cast<size_t>(lineEnd - chunk) + 1;
      } else {
        take = QIR_LOG_MAX_RECORD_TEXT;
        const char* cutEnd = static_cast<const char*>(memchr(chunk + take, '\n', rest - take));
        skip = (cutEnd != nullptr) ? static_cast<size_t>(cutEnd - (chunk + take)) + 1 : rest - take;
        memcpy(chunk + take - 4, "...\n", 4);
      }
    }
    char* record = chunk - QIR_LOG_HEADER_SIZE;
    size_t total = QIR_LOG_ENCODE_RECORD(record, _tag, take);
    pos += take + skip;
    if (pendingEnd_ + total > kPendingSize && pendingStart_ > 0) {
      memmove(pending_, pending_ + pendingStart_, pendingEnd_ - pendingStart_);
      pendingEnd_ -= pendingStart_;
      pendingStart_ = 0;
    }
    if (pendingEnd_ + total > kPendingSize) {
      dropped_.fetch_add(1, std::memory_order_relaxed);
      t_pipeFull = true;
      continue;
    }
    memcpy(pending_ + pendingEnd_, record, total);
    pendingEnd_ += total;
  }
  if (pendingEnd_ - pendingStart_ >= QIR_LOG_MAX_RECORD) SendPendingLocked(false);
}

// Under mutex_. Writes the queued records in batches of whole records of at
// most PIPE_BUF bytes; without _all, a last batch smaller than that waits
// for more. false when the pipe was full.
bool CQIRServiceLog::SendPendingLocked(bool _all) {
  while (pendingStart_ < pendingEnd_) {
    size_t batch = 0;
    while (pendingStart_ + batch < pendingEnd_) {
      uint64_t length = 0;
      memcpy(&length, pending_ + pendingStart_ + batch + QIR_LOG_TAG_SIZE, sizeof(length));
      size_t total = QIR_LOG_HEADER_SIZE + static_cast<size_t>(length);
      if (batch + total > QIR_LOG_MAX_RECORD) break;
      batch += total;
    }
    if (!_all && batch == pendingEnd_ - pendingStart_ && batch < QIR_LOG_MAX_RECORD - 256) break;
    if (write(pipe_, pending_ + pendingStart_, batch) != static_cast<ssize_t>(batch)) {
      t_pipeFull = true;
      return false;
    }
    pendingStart_ += batch;
  }
  if (pendingStart_ == pendingEnd_) pendingStart_ = pendingEnd_ = 0;
  return true;
}

// Called by the writer thread every few milliseconds: queued records reach
// the pipe even when no further line comes to fill a batch. A busy mutex
// means a producer is at work and will send them.
void CQIRServiceLog::SendPending(void* _self) {
  CQIRServiceLog* self = static_cast<CQIRServiceLog*>(_self);
  if (self->mutex_.TryLock() != 0) return;
  if (self->pending_ != nullptr) self->SendPendingLocked(true);
  self->mutex_.Unlock();
}

// Hands every queued record to the pipe while the writer still empties it.
// Bounded: after a second without progress the rest is counted as lost.
void CQIRServiceLog::SendAllPending() {
  CQIRLockGuard guard(mutex_);
  if (pending_ == nullptr) return;
  int stalled = 0;
  size_t left = pendingEnd_ - pendingStart_;
  while (!SendPendingLocked(true) && stalled < 1000) {
    mutex_.Unlock();
    usleep(1000);
    mutex_.Lock();
    size_t now = pendingEnd_ - pendingStart_;
    stalled = now < left ? 0 : stalled + 1;
    left = now;
  }
  for (size_t at = pendingStart_; at < pendingEnd_;) {
    uint64_t length = 0;
    memcpy(&length, pending_ + at + QIR_LOG_TAG_SIZE, sizeof(length));
    at += QIR_LOG_HEADER_SIZE + static_cast<size_t>(length);
    dropped_.fetch_add(1, std::memory_order_relaxed);
  }
  pendingStart_ = pendingEnd_ = 0;
}

int CQIRServiceLog::VMessageLog(const char* _tag, int _logType, bool _dated, const char* _fmt,
                                va_list _ap) {
  if (Closed()) return 1;
  if ((GetMask() & _logType) == 0) return 1;
  FormatAndEmit(_tag, _logType, _dated, _fmt, _ap);
  YieldAfterLoss();
  return 1;
}

// A producer that has just found the pipe full gives up the rest of its
// time slice: the writer thread, which empties the pipe, may be waiting for
// a processor that busy producers keep. The producer does not wait for the
// pipe: its records wait in the queue, or are lost when that is full.
void CQIRServiceLog::YieldAfterLoss() {
  if (!t_pipeFull) return;
  t_pipeFull = false;
  sched_yield();
}

void CQIRServiceLog::FormatAndEmit(const char* _tag, int _logType, bool _dated, const char* _fmt,
                                   va_list _ap) {
  CQIRLockGuard guard(mutex_);
  if (buffer_ == nullptr) return;
  char* text = buffer_ + QIR_LOG_HEADER_SIZE;
  // One byte stays free for the newline; vsnprintf keeps one for its NUL.
  const size_t cap = QIR_LOG_MAX_TEXT;
  int prefix = WritePrefix(text, cap, _logType, _dated);
  size_t used = static_cast<size_t>(prefix);
  int n = vsnprintf(text + used, cap - used, _fmt, _ap);
  if (n < 0) n = 0;
  if (used + static_cast<size_t>(n) >= cap) {
    used = cap - 1;
    memcpy(text + used - (sizeof(kCutMark) - 1), kCutMark, sizeof(kCutMark) - 1);
  } else {
    used += static_cast<size_t>(n);
  }
  text[used++] = '\n';
  Emit(_tag, used);
}

int CQIRServiceLog::MessageLog(int _logType, const char* _fmt, ...) {
  va_list ap;
  va_start(ap, _fmt);
  VMessageLog("MAIN", _logType, format_ == 2, _fmt, ap);
  va_end(ap);
  return 1;
}

int CQIRServiceLog::MessageLog(const char* _threadName, int _logType, const char* _fmt, ...) {
  va_list ap;
  va_start(ap, _fmt);
  VMessageLog(_threadName != nullptr ? _threadName : "MAIN", _logType, false, _fmt, ap);
  va_end(ap);
  return 1;
}

int CQIRServiceLog::HexaLog(const char* _comment, const unsigned char* _data,
                            unsigned long _size) {
  return _HexaLog("MAIN", _comment, _data, _size);
}

int CQIRServiceLog::HexaLog(const char* _name, const char* _comment, const unsigned char* _data,
                            unsigned long _size) {
  return _HexaLog(_name != nullptr ? _name : "MAIN", _comment, _data, _size);
}

int CQIRServiceLog::_HexaLog(const char* _name, const char* _comment, const unsigned char* _data,
                             unsigned long _size) {
  if (Closed() || (GetMask() & QIR_LOG_DEBUG) == 0) return 1;
  if (buffer_ == nullptr || _size > QIR_LOG_MAX_HEXA) return 0;
  CQIRLockGuard guard(mutex_);
  if (buffer_ == nullptr) return 0;
  char* text = buffer_ + QIR_LOG_HEADER_SIZE;
  const size_t cap = QIR_LOG_MAX_TEXT;
  int prefix = WritePrefix(text, cap, QIR_LOG_DEBUG, false);
  size_t used = static_cast<size_t>(prefix);
  // The comment is caller text: cut it so the dump always fits behind it.
  size_t dumpRoom = QIR_HEXADUMP_SIZE(_size) + 2;
  size_t room = cap - used - dumpRoom;
  int n = snprintf(text + used, room, " %s\n", _comment != nullptr ? _comment : "");
  if (n < 0) n = 0;
  used += (static_cast<size_t>(n) >= room) ? room - 1 : static_cast<size_t>(n);
  used += CQIRConv::HexaDump(text + used, _data, static_cast<int>(_size));
  text[used++] = '\n';
  text[used++] = '\n';
  Emit(_name, used);
  return 1;
}

// Waits for the writer's end, not merely for it to stop running: a thread
// just created may not have marked itself running yet, and would then run on
// after the buffer and the pipe are gone.
void CQIRServiceLog::StopWriter() {
  if (!writerStarted_.load()) return;
  SendAllPending();
  logWriter_.SetExit();
  while (logWriter_.GetStatus() != CQIRThread::QIR_THREAD_TERMINATE) usleep(10000);
  writerStarted_.store(false);
}

void CQIRServiceLog::Finalize() {
  if (isClose_.exchange(1) == 1 && buffer_ == nullptr && pipe_ == 0) return;
  StopWriter();
  {
    CQIRLockGuard guard(mutex_);
    free(buffer_);
    buffer_ = nullptr;
    free(pending_);
    pending_ = nullptr;
    pendingStart_ = pendingEnd_ = 0;
  }
  ClosePipe();
}
