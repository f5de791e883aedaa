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
#include <time.h>
#include <unistd.h>

namespace {

constexpr long kMainWaitNs = 10L * 1000 * 1000;  // bounds how late an exit request is seen
constexpr long kDrainWaitNs = 100L * 1000;

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
      consumed_(0) {
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
  buffer_ = static_cast<char*>(malloc(QIR_LOG_BUFFER_SIZE));
  if (buffer_ == nullptr) return 0;
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

ssize_t CQIRServiceLogWriter::ReadFull(char* _dest, size_t _size) {
  size_t got = 0;
  while (got < _size) {
    ssize_t n = read(pipe_, _dest + got, _size - got);
    if (n > 0) {
      got += static_cast<size_t>(n);
    } else if (n < 0 && errno == EINTR) {
      continue;
    } else {
      break;
    }
  }
  consumed_ += got;
  return static_cast<ssize_t>(got);
}

void CQIRServiceLogWriter::Resync() {
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

void CQIRServiceLogWriter::WriteLog() {
  if (buffer_ == nullptr) return;
  char header[QIR_LOG_HEADER_SIZE];
  ssize_t n = ReadFull(header, sizeof(header));
  if (n <= 0) return;  // nothing there after all
  if (n < QIR_LOG_TAG_SIZE) {
    Say("service-logger tag length mismatch!\n");
    Resync();
    return;
  }
  if (n < QIR_LOG_HEADER_SIZE) {
    Say("service-logger log size length mismatch!\n");
    Resync();
    return;
  }
  char tag[QIR_LOG_TAG_SIZE];
  uint64_t length = QIR_LOG_DECODE_RECORD(header, tag);
  if (length > QIR_LOG_BUFFER_SIZE) {
    Say("service-logger log size invalid(%llu > %d)!\n",
           static_cast<unsigned long long>(length), QIR_LOG_BUFFER_SIZE);
    Resync();
    return;
  }
  if (ReadFull(buffer_, length) != static_cast<ssize_t>(length)) {
    Say("service-logger log data length mismatch!\n");
    Resync();
    return;
  }
  CQIRWriteFile* writer = nullptr;
  if (strcmp(tag, "MAIN") == 0) {
    writer = file_;
  } else {
    CQIRLockGuard guard(thdMutex_);
    auto it = thdMap_.find(tag);
    if (it != thdMap_.end()) writer = it->second;
  }
  if (writer == nullptr) {
    Say("ThreadLog(%s) not found!\n", tag);
    return;
  }
  // A file deleted or moved away is created afresh; a tag's first record
  // opens its file this way.
  if (!writer->CheckFile() && !writer->ReOpen()) return;
  writer->Write(reinterpret_cast<const unsigned char*>(buffer_), length);
  writer->FFlush();
}

void CQIRServiceLogWriter::Run() {
  runThread_.store(pthread_self());
  while (doExit_.load() == 0) {
    int ready = WaitReadable(kMainWaitNs);
    if (ready > 0) {
      WriteLog();
    } else if (ready < 0) {
      Say("service-logger pipe wait failed...(%d-%s)\n", errno, strerror(errno));
      usleep(10000);
    }
  }
  int pending = 0;
  if (ioctl(pipe_, FIONREAD, &pending) != 0 || pending < 0) pending = 0;
  const size_t limit = consumed_ + static_cast<size_t>(pending) + kDrainSlack;
  while (consumed_ < limit && WaitReadable(kDrainWaitNs) > 0) WriteLog();
  runThread_.store(0);
}
