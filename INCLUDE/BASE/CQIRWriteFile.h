#ifndef QIR_BASE_CQIRWRITEFILE_H
#define QIR_BASE_CQIRWRITEFILE_H

#include <stddef.h>
#include <stdio.h>
#include <time.h>

#include <atomic>

#include "CQIRTime.h"

// Facts about the current (or last) file of a CQIRWriteFile.
struct ST_QIR_WF_INFO {
  char fileNm[4096];  // full name of the current file; empty until the first open
  size_t size;        // bytes written when it was last closed
  unsigned recCount;  // records written when it was last closed
  CQIRTime closeTm;   // when it was last closed; 0 while open
};

// Appends records to a file named from a directory, a base name, an extension
// and the date or a sequence number; begins a new file by date, size or
// record count, gives finished files a numeric suffix and removes files older
// than the keep days. Used by one thread at a time (the log writer thread);
// only SetKeepDays may be called from another thread meanwhile.
//
// File names (date CCYYMMDD of the day of opening, local time):
//   daily or none, extension   path/name.ext.date
//   daily or none, no ext.     path/name.date
//   daily with directories     path/date/name.ext.date (or path/date/name.date)
//   size or record count       path/name.ext.%08d with the sequence number
// A finished file is renamed to "<its name>.<suffix>".
class CQIRWriteFile {
 public:
  enum e4changeType {
    QIR_WF_SIZE_CHANGE = 0,          // unit in bytes: change when more were written
    QIR_WF_RECORD_COUNT_CHANGE = 1,  // unit in records: change when that many were written
    QIR_WF_DAILY_CHANGE = 2,         // unit in days: change when the file's date is that old
    QIR_WF_DAILY_DIR_CHANGE = 3,     // as daily, with one subdirectory per day
    QIR_WF_CHANGE_NONE = 4           // never change by time, size or count
  };

  // The date source, so that tests can move the calendar; nullptr restores
  // the system clock. Process-wide: set it while no writer is in use.
  typedef time_t (*QIR_WF_CLOCK)();
  static void SetClock(QIR_WF_CLOCK _clock);
  static time_t Now();

  // Texts longer than their fields (127, 63 and 15 characters) are refused:
  // Open then fails with a log line. A null extension leaves it empty.
  CQIRWriteFile(const char* _path, const char* _name, const char* _extension);
  ~CQIRWriteFile();
  CQIRWriteFile(const CQIRWriteFile&) = delete;
  CQIRWriteFile& operator=(const CQIRWriteFile&) = delete;

  void SetChange(e4changeType _changeType, unsigned long _changeUnit);
  // Size limit for every change type but QIR_WF_SIZE_CHANGE (0 = none); also
  // takes up the suffix numbering of today's finished files.
  void SetSize(unsigned long _maxFileSize);
  void SetKeepDays(int _keepDays) { keepDays_.store(_keepDays, std::memory_order_relaxed); }

  bool Open();   // removes old files, then opens the current name for appending
  bool Write(const unsigned char* _buffer, unsigned long _writeLen);  // changes file when due
  bool FFlush();  // false without a stream or on failure
  void Close();
  bool CheckFile();  // the current file exists on disk
  bool ReOpen();
  void Remove();      // files (or day directories) older than the keep days
  int GetFileSeq();   // greatest suffix among today's finished files, 0 if none
  ST_QIR_WF_INFO* GetFileInfo() { return &stCurr_; }

 private:
  bool MakeFileName(const char* _date);
  bool ChangeDue();
  bool Rotate(bool _resetSeq);
  void RenameFinished(const char* _finished);
  void RemoveFiles(long _today, int _keepDays);
  void RemoveDayDirectories(long _today, int _keepDays);

  ST_QIR_WF_INFO stCurr_;
  char path_[128];
  char name_[64];
  char extension_[16];
  unsigned seq_;  // sequence counter for size and record-count names
  e4changeType changeType_;
  size_t changeUnit_;
  size_t curFileSize_;  // bytes written since the file was opened
  size_t maxFileSize_;  // 0 = no limit
  int fileSeq_;         // last suffix given to a finished file
  unsigned curRecCnt_;  // records written since the file was opened
  char curDate_[9];     // CCYYMMDD of the last open
  std::atomic<int> keepDays_;  // < 1: never remove
  FILE* fp_;
  bool namesFit_;  // false when a constructor text did not fit its field
  // The stream's buffer: large, so that a batch of records costs one write.
  char* ioBuffer_;
  // The daily change is decided once per clock second, not per record.
  time_t dueCheckedAt_;
  bool dueAtCheck_;
};

#endif  // QIR_BASE_CQIRWRITEFILE_H
