#ifndef QIR_BASE_CQIRSERVICELOGWRITER_H
#define QIR_BASE_CQIRSERVICELOGWRITER_H

#include <stddef.h>

#include <atomic>

#include "CQIRThread.h"

// The thread behind the service log's file mode: reads pipe records from the
// logger's named pipe and appends each text to the file of its tag.
// Member of CQIRServiceLog; the front end initialises, starts and stops it.
class CQIRServiceLogWriter : public CQIRThread {
 public:
  CQIRServiceLogWriter();
  ~CQIRServiceLogWriter() override;

  int Initialize(const char* _path, const char* _name, const char* _extension,
                 int _dailyCreatePath, unsigned long _maxFileSize);  // 1/0
  int AddWriter(const char* _name);  // 1 added, 0 already known
  void SetKeepDays(int _days);
  void SetPipe(int _pipe) { pipe_ = _pipe; }
  void SetExit() { doExit_.store(1); }
  void Finalize();

 protected:
  void Initial() override {}
  void Run() override;
  void Final() override {}

 private:
  int pipe_;
  std::atomic<int> doExit_;
};

#endif  // QIR_BASE_CQIRSERVICELOGWRITER_H
