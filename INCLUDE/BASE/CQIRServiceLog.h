#ifndef QIR_BASE_CQIRSERVICELOG_H
#define QIR_BASE_CQIRSERVICELOG_H

#include <stddef.h>
#include <stdarg.h>
#include <stdint.h>
#include <time.h>

#include <atomic>

#include "CQIRMutex.h"
#include "CQIRServiceLogWriter.h"

// Log levels: single bits of the mask. Any other value prints as "Unknown".
enum {
  QIR_LOG_DEBUG = 1,
  QIR_LOG_INFO = 2,
  QIR_LOG_WARNING = 4,
  QIR_LOG_ERROR = 8,
  QIR_LOG_ALL = 15
};

// Pipe record: a fixed header followed by the text.
//
// A non-blocking pipe takes a write whole or not at all only up to PIPE_BUF
// (4096) bytes; a longer write may be taken in part, which would put the
// reader out of step. So in file mode no record exceeds PIPE_BUF, and every
// record carries whole lines: text of several lines (a hex dump) goes out as
// consecutive records cut at line ends, and a single line longer than
// QIR_LOG_MAX_RECORD_TEXT is cut to that size, ending with "...". Records
// are written in batches of whole records of at most PIPE_BUF bytes; while
// the pipe is full they wait in a 4 MB queue, and a record that does not
// fit there is dropped whole (counted, and reported in the log).
enum {
  QIR_LOG_TAG_SIZE = 32,         // tag text with its NUL: 31 characters at most
  QIR_LOG_HEADER_SIZE = 40,      // tag + 64-bit length
  QIR_LOG_BUFFER_SIZE = 32768,   // header + text (with its newline)
  QIR_LOG_MAX_TEXT = QIR_LOG_BUFFER_SIZE - QIR_LOG_HEADER_SIZE,
  QIR_LOG_MAX_RECORD = 4096,     // PIPE_BUF: largest record written in file mode
  QIR_LOG_MAX_RECORD_TEXT = QIR_LOG_MAX_RECORD - QIR_LOG_HEADER_SIZE,
  QIR_LOG_MAX_HEXA = 4096        // largest hex dump accepted
};

// Builds one pipe record in _record (which must hold QIR_LOG_HEADER_SIZE +
// _length bytes, the text already at offset 40): tag at offset 0 with its
// NUL, cut to 31 characters, and the host-order 64-bit length at offset 32.
// Returns the number of bytes to write (40 + _length).
size_t QIR_LOG_ENCODE_RECORD(char* _record, const char* _tag, uint64_t _length);

// Reads the header of a record: copies the tag (always NUL-terminated) and
// returns the text length stored at offset 32.
uint64_t QIR_LOG_DECODE_RECORD(const char* _record, char _tag[QIR_LOG_TAG_SIZE]);

// The one service log of the process. Every thread may log at any time;
// mutex_ serialises producers because they all format into buffer_.
// Console mode writes lines to standard output; file mode sends pipe records
// to the writer thread (logWriter_) through a named pipe.
class CQIRServiceLog {
 public:
  CQIRServiceLog();
  ~CQIRServiceLog();
  CQIRServiceLog(const CQIRServiceLog&) = delete;
  CQIRServiceLog& operator=(const CQIRServiceLog&) = delete;

  // Both forms first close a log that is open. 1 ok, 0 failed.
  int Initialize();  // console mode
  // File mode: the named pipe "APP.<pid>.PIPE" in $QIR_RES_HOME, else $TMPDIR,
  // else "."; the writer thread writes "<_path>/<_name>.<_extension>.CCYYMMDD".
  int Initialize(const char* _path, const char* _name, const char* _extension,
                 int _createDailyPath, unsigned long _maxFileSize);
  // Stops the writer after it has written every record sent before this
  // call. Harmless to call twice; no other thread may be logging meanwhile.
  void Finalize();

  void SetMask(int _logMask) { logMask_.store(_logMask, std::memory_order_relaxed); }
  int GetMask() const { return logMask_.load(std::memory_order_relaxed); }
  void SetKeepDays(int _days);
  int InitThreadLog(const char* _threadName);  // 1 added, 0 known or console mode

  // Always 1. Lines longer than the buffer (file mode: a record) are cut and
  // marked with "...".
  int MessageLog(int _logType, const char* _fmt, ...) __attribute__((format(printf, 3, 4)));
  int MessageLog(const char* _threadName, int _logType, const char* _fmt, ...)
      __attribute__((format(printf, 4, 5)));

  // Debug-level hex dump; 0 when _size exceeds 4096 bytes or no buffer.
  int HexaLog(const char* _comment, const unsigned char* _data, unsigned long _size);
  int HexaLog(const char* _name, const char* _comment, const unsigned char* _data,
              unsigned long _size);

  int GetWriteMode() const { return writeMode_; }
  const char* GetPipeName() const { return pipeName_; }
  // Records (lines; a hex dump may take several) lost because the pipe and
  // the queue in front of it were full.
  unsigned long GetDropCount() const { return dropped_.load(std::memory_order_relaxed); }

 private:
  int CreatePipe();
  void ClosePipe();
  int _HexaLog(const char* _name, const char* _comment, const unsigned char* _data,
               unsigned long _size);
  int VMessageLog(const char* _tag, int _logType, bool _dated, const char* _fmt, va_list _ap)
      __attribute__((format(printf, 5, 0)));
  void FormatAndEmit(const char* _tag, int _logType, bool _dated, const char* _fmt, va_list _ap)
      __attribute__((format(printf, 5, 0)));
  static void YieldAfterLoss();
  int WritePrefix(char* _dest, size_t _cap, int _logType, bool _dated);
  void Emit(const char* _tag, size_t _textLength);  // under mutex_
  void SendRecords(const char* _tag, size_t _textLength);  // under mutex_
  bool SendPendingLocked(bool _all);
  void SendAllPending();
  static void SendPending(void* _self);  // the writer thread's idle hook
  void StopWriter();
  bool Closed() const;
  void ReadFormat();

  CQIRServiceLogWriter logWriter_;
  CQIRMutex mutex_;
  int writeMode_;  // 1 file, 2 console
  char pipeName_[4096];
  int pipe_;  // 0 while there is none
  std::atomic<int> logMask_;
  char* buffer_;  // guarded by mutex_
  std::atomic<int> isClose_;
  int format_;  // 1 standard layout, 2 dated layout
  std::atomic<bool> writerStarted_;  // file mode sends to the pipe only while set
  std::atomic<unsigned long> dropped_;
  // File mode: records not yet written to the pipe, from pendingStart_ to
  // pendingEnd_; guarded by mutex_.
  char* pending_;
  size_t pendingStart_;
  size_t pendingEnd_;
  // The calendar fields of the last second a line was stamped in; mutex_.
  time_t prefixSecond_;
  struct tm prefixTm_;
};

extern CQIRServiceLog G_SERVICE_LOGGER;

int QIR_OPEN_SERVICE_LOG(int _logMask);
int QIR_OPEN_SERVICE_LOG(const char* _logPath, const char* _logName, int _keepDays, int _logMask,
                         int _createDailyPath, unsigned long _maxFileSize);
void QIR_CLOSE_SERVICE_LOG();

// Base name of a source path, resolved at compile time.
constexpr const char* QIR_BASENAME(const char* _path) {
  const char* base = _path;
  for (const char* p = _path; *p != '\0'; ++p) {
    if (*p == '/') base = p + 1;
  }
  return base;
}

// The one logging entry of the framework: every line starts with the source
// position "[file:function:line]".
#define QIR_LOG(_level, _fmt, ...)                                                      \
  G_SERVICE_LOGGER.MessageLog((_level), "[%24.24s:%16.16s:%04d]" _fmt,                  \
                              QIR_BASENAME(__FILE__), __FUNCTION__, __LINE__, ##__VA_ARGS__)

#define QIR_LOG_D(_fmt, ...) QIR_LOG(QIR_LOG_DEBUG, _fmt, ##__VA_ARGS__)
#define QIR_LOG_I(_fmt, ...) QIR_LOG(QIR_LOG_INFO, _fmt, ##__VA_ARGS__)
#define QIR_LOG_W(_fmt, ...) QIR_LOG(QIR_LOG_WARNING, _fmt, ##__VA_ARGS__)
#define QIR_LOG_E(_fmt, ...) QIR_LOG(QIR_LOG_ERROR, _fmt, ##__VA_ARGS__)

#endif  // QIR_BASE_CQIRSERVICELOG_H
