#ifndef QIR_BASE_CQIRSERVICELOGWRITER_H
#define QIR_BASE_CQIRSERVICELOGWRITER_H

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

#include <atomic>
#include <string>
#include <unordered_map>
#include <vector>

#include "CQIRMutex.h"
#include "CQIRThread.h"

class CQIRWriteFile;

typedef std::unordered_map<std::string, CQIRWriteFile*> QIR_THD_LOG_MAP;

// The thread behind the service log's file mode: reads pipe records (tag,
// 64-bit length, text) from the logger's named pipe and appends each text to
// the file of its tag: "MAIN" to the main log, a registered tag T to
// "<name>.T". Member of CQIRServiceLog, which calls Initialize, SetPipe and
// Execute, later AddWriter and SetKeepDays from any thread, and at the end
// SetExit and polls GetStatus. Each wake-up drains every whole record the
// pipe holds into buffered files; the files are flushed when the pipe is
// empty and at least every 100 ms while records keep coming. After SetExit
// the thread drains what the pipe holds, then ends. Records the producers
// lost to a full pipe are reported in the main log at most once a second.
// Its own messages go to standard output: it cannot log through itself.
class CQIRServiceLogWriter : public CQIRThread {
 public:
  CQIRServiceLogWriter();
  ~CQIRServiceLogWriter() override;

  // Opens the main log file. 0 when a name does not fit the file writer's
  // fields (path 127, name 63, extension 15 characters) or the file cannot
  // be opened. Clears the exit request, so it precedes Execute.
  int Initialize(const char* _path, const char* _name, const char* _extension,
                 int _dailyCreatePath, unsigned long _maxFileSize);
  // 1 added; 0 already known, or refused (empty, "/", longer than a record's
  // 31-character tag, or a file name "<name>.<tag>" over 63 characters).
  // The file appears with the tag's first record.
  int AddWriter(const char* _name);
  void SetKeepDays(int _days);
  void SetPipe(int _pipe) { pipe_ = _pipe; }
  // The producers' count of records lost to a full pipe; set before Execute.
  void SetDropCounter(const std::atomic<unsigned long>* _drops) { drops_ = _drops; }
  // Called with _arg at least every few milliseconds: lets the producers'
  // side send records it holds back for a fuller pipe write. Before Execute.
  void SetIdleHook(void (*_hook)(void*), void* _arg) {
    idleHook_ = _hook;
    idleArg_ = _arg;
  }
  void SetExit() { doExit_.store(1); }
  void Finalize();  // closes every file; harmless to call twice

  // true on the writer thread itself while Run is active.
  bool OnWriterThread() const;

  // Writes every whole record the pipe holds (for at most 10 ms) to its
  // file, and flushes the files once the pipe is empty. A record that
  // announces more text than a record may hold means the stream is out of
  // step: the pipe is emptied up to that moment, and since producers write
  // whole records, the next byte read begins a record again.
  void WriteLog();

 protected:
  void Initial() override {}
  void Run() override;
  void Final() override {}

 private:
  int WaitReadable(long _nanoseconds);  // 1 readable, 0 time-out, -1 failure
  void Resync();
  bool WriteRecords();  // false: the stream is out of step
  CQIRWriteFile* WriterOf(const char* _tag);
  void Put(CQIRWriteFile* _writer, const char* _text, size_t _length);
  void Flush();
  void ReportDrops(bool _final);
  CQIRWriteFile* NewWriter(const char* _name);

  QIR_THD_LOG_MAP thdMap_;  // guarded by thdMutex_; owns the writers
  CQIRMutex thdMutex_;
  CQIRWriteFile* file_;  // main log; writer thread only once running
  char path_[4096];
  char name_[128];
  char extension_[32];
  int dailyCreatePath_;
  size_t maxFileSize_;
  char* buffer_;  // read buffer; held_ bytes of a cut record at its start
  int pipe_;
  std::atomic<int> doExit_;
  std::atomic<pthread_t> runThread_;  // the thread inside Run, 0 otherwise
  size_t consumed_;  // bytes read from the pipe; writer thread only
  // Writer thread only from here on.
  size_t held_;
  std::vector<CQIRWriteFile*> unflushed_;  // written to since the last flush
  int64_t lastFlushNs_;
  const std::atomic<unsigned long>* drops_;
  unsigned long dropsReported_;
  int64_t lastDropReportNs_;
  void (*idleHook_)(void*);
  void* idleArg_;
  int64_t lastHookNs_;
};

#endif  // QIR_BASE_CQIRSERVICELOGWRITER_H
