#include "CQIRWriteFile.h"

#include "CQIRDate.h"
#include "CQIRDirectory.h"
#include "CQIRServiceLog.h"

#include <errno.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

constexpr unsigned kMaxSequence = 99999999;

// A finished file is never overwritten: an occupied suffix is skipped, for
// at most this many numbers (then the file is left under its name).
constexpr int kMaxSuffixProbe = 1000;

// The stream buffer of every file: a batch of records reaches the file in a
// few large writes instead of one per record.
constexpr size_t kStreamBuffer = 64 * 1024;

std::atomic<CQIRWriteFile::QIR_WF_CLOCK> g_clock{nullptr};

bool CopyField(char* _dest, size_t _size, const char* _src) {
  if (_src == nullptr) {
    _dest[0] = '\0';
    return true;
  }
  size_t len = strlen(_src);
  if (len >= _size) {
    _dest[0] = '\0';
    return false;
  }
  memcpy(_dest, _src, len + 1);
  return true;
}

bool Exists(const char* _name) {
  struct stat st;
  return lstat(_name, &st) == 0;
}

// A day directory is named CCYYMMDD; nothing else under the log path is
// removed as one.
bool IsDayDirectoryName(const char* _base) {
  if (strlen(_base) != 8) return false;
  for (int i = 0; i < 8; ++i) {
    if (_base[i] < '0' || _base[i] > '9') return false;
  }
  return true;
}

long DayOf(time_t _tm) { return CQIRDate(_tm).GetJulian(); }

}  // namespace

void CQIRWriteFile::SetClock(QIR_WF_CLOCK _clock) { g_clock.store(_clock); }

time_t CQIRWriteFile::Now() {
  QIR_WF_CLOCK clock = g_clock.load();
  return clock != nullptr ? clock() : time(nullptr);
}

CQIRWriteFile::CQIRWriteFile(const char* _path, const char* _name, const char* _extension)
    : seq_(0),
      changeType_(QIR_WF_CHANGE_NONE),
      changeUnit_(1000),
      curFileSize_(0),
      maxFileSize_(0),
      fileSeq_(0),
      curRecCnt_(0),
      keepDays_(0),
      fp_(nullptr),
      ioBuffer_(nullptr),
      dueCheckedAt_(-1),
      dueAtCheck_(false) {
  memset(stCurr_.fileNm, 0, sizeof(stCurr_.fileNm));
  stCurr_.size = 0;
  stCurr_.recCount = 0;
  stCurr_.closeTm = static_cast<time_t>(0);
  curDate_[0] = '\0';
  namesFit_ = CopyField(path_, sizeof(path_), _path) && _path != nullptr;
  namesFit_ = CopyField(name_, sizeof(name_), _name) && _name != nullptr && namesFit_;
  namesFit_ = CopyField(extension_, sizeof(extension_), _extension) && namesFit_;
}

CQIRWriteFile::~CQIRWriteFile() {
  Close();
  free(ioBuffer_);
}

void CQIRWriteFile::SetChange(e4changeType _changeType, unsigned long _changeUnit) {
  changeType_ = _changeType;
  changeUnit_ = _changeUnit;
}

void CQIRWriteFile::SetSize(unsigned long _maxFileSize) {
  maxFileSize_ = _maxFileSize;
  fileSeq_ = GetFileSeq();
}

bool CQIRWriteFile::MakeFileName(const char* _date) {
  char* out = stCurr_.fileNm;
  const size_t size = sizeof(stCurr_.fileNm);
  bool hasExt = extension_[0] != '\0';
  switch (changeType_) {
    case QIR_WF_SIZE_CHANGE:
    case QIR_WF_RECORD_COUNT_CHANGE:
      seq_ = (seq_ >= kMaxSequence) ? 1 : seq_ + 1;
      snprintf(out, size, "%s/%s.%s.%08u", path_, name_, extension_, seq_);
      return true;
    case QIR_WF_DAILY_DIR_CHANGE: {
      char dayDir[sizeof(path_) + 16];
      snprintf(dayDir, sizeof(dayDir), "%s/%s", path_, _date);
      if (mkdir(dayDir, 0777) != 0 && errno != EEXIST) {
        QIR_LOG_I("[%d-%s]mkdir(%s) failed...", errno, strerror(errno), dayDir);
        return false;
      }
      if (hasExt) {
        snprintf(out, size, "%s/%s.%s.%s", dayDir, name_, extension_, _date);
      } else {
        snprintf(out, size, "%s/%s.%s", dayDir, name_, _date);
      }
      return true;
    }
    default:
      if (hasExt) {
        snprintf(out, size, "%s/%s.%s.%s", path_, name_, extension_, _date);
      } else {
        snprintf(out, size, "%s/%s.%s", path_, name_, _date);
      }
      return true;
  }
}

bool CQIRWriteFile::Open() {
  if (!namesFit_) {
    QIR_LOG_I("file name too long or missing(path %zu, name %zu, extension %zu bytes at most)...",
              sizeof(path_) - 1, sizeof(name_) - 1, sizeof(extension_) - 1);
    return false;
  }
  if (fp_ != nullptr) Close();
  Remove();
  CQIRDate today(Now());
  today.GetDate(curDate_);
  if (!MakeFileName(curDate_)) return false;
  fp_ = fopen(stCurr_.fileNm, "a");
  dueCheckedAt_ = -1;
  stCurr_.size = 0;
  stCurr_.recCount = 0;
  stCurr_.closeTm = static_cast<time_t>(0);
  if (fp_ == nullptr) {
    QIR_LOG_I("[%d-%s]fopen(%s) failed...", errno, strerror(errno), stCurr_.fileNm);
    return false;
  }
  fchmod(fileno(fp_), 0666);
  if (ioBuffer_ == nullptr) ioBuffer_ = static_cast<char*>(malloc(kStreamBuffer));
  if (ioBuffer_ != nullptr) setvbuf(fp_, ioBuffer_, _IOFBF, kStreamBuffer);
  return true;
}

bool CQIRWriteFile::ChangeDue() {
  switch (changeType_) {
    case QIR_WF_SIZE_CHANGE:
      return curFileSize_ > changeUnit_;
    case QIR_WF_RECORD_COUNT_CHANGE:
      return curRecCnt_ >= changeUnit_;
    case QIR_WF_DAILY_CHANGE:
    case QIR_WF_DAILY_DIR_CHANGE: {
      time_t now = Now();
      if (now == dueCheckedAt_) return dueAtCheck_;
      CQIRDate opened(curDate_);
      dueCheckedAt_ = now;
      dueAtCheck_ = opened.IsValid() &&
                    DayOf(now) - static_cast<long>(changeUnit_) >= opened.GetJulian();
      return dueAtCheck_;
    }
    default:
      return false;
  }
}

void CQIRWriteFile::RenameFinished(const char* _finished) {
  std::string target;
  for (int probe = 0; probe < kMaxSuffixProbe; ++probe) {
    ++fileSeq_;
    target = std::string(_finished) + "." + std::to_string(fileSeq_);
    if (!Exists(target.c_str())) {
      // A failed rename is not reported: writing goes on in the new file.
      rename(_finished, target.c_str());
      return;
    }
  }
}

bool CQIRWriteFile::Rotate(bool _resetSeq) {
  std::string finished = stCurr_.fileNm;
  Close();
  RenameFinished(finished.c_str());
  if (_resetSeq) fileSeq_ = 0;
  return Open();
}

bool CQIRWriteFile::Write(const unsigned char* _buffer, unsigned long _writeLen) {
  if (fp_ == nullptr && !Open()) return false;
  if (ChangeDue()) {
    if (!Rotate(true)) return false;
  } else if (maxFileSize_ != 0 && changeType_ != QIR_WF_SIZE_CHANGE &&
             curFileSize_ > maxFileSize_) {
    if (!Rotate(false)) return false;
  }
  if (_writeLen != 0 && fwrite(_buffer, _writeLen, 1, fp_) != 1) {
    QIR_LOG_I("[%d-%s]fwrite() failed...", errno, strerror(errno));
    return false;
  }
  curFileSize_ += _writeLen;
  ++curRecCnt_;
  return true;
}

bool CQIRWriteFile::FFlush() { return fp_ != nullptr && fflush(fp_) == 0; }

void CQIRWriteFile::Close() {
  if (fp_ == nullptr) return;
  fclose(fp_);
  fp_ = nullptr;
  stCurr_.size = curFileSize_;
  stCurr_.recCount = curRecCnt_;
  stCurr_.closeTm = Now();
  curFileSize_ = 0;
  curRecCnt_ = 0;
}

bool CQIRWriteFile::CheckFile() { return stCurr_.fileNm[0] != '\0' && Exists(stCurr_.fileNm); }

bool CQIRWriteFile::ReOpen() {
  Close();
  return Open();
}

void CQIRWriteFile::Remove() {
  int keepDays = keepDays_.load(std::memory_order_relaxed);
  if (keepDays < 1 || !namesFit_) return;
  long today = DayOf(Now());
  if (changeType_ == QIR_WF_DAILY_DIR_CHANGE) {
    RemoveDayDirectories(today, keepDays);
  } else {
    RemoveFiles(today, keepDays);
  }
}

void CQIRWriteFile::RemoveFiles(long _today, int _keepDays) {
  std::string pattern = std::string(name_) + "*";
  CQIRDirectory dir;
  dir.Set(path_, pattern.c_str());
  std::vector<std::string> files;
  if (!dir.Scan(files, true)) return;
  for (const std::string& file : files) {
    struct stat st;
    if (stat(file.c_str(), &st) != 0) {
      if (errno == ENOENT) continue;
      QIR_LOG_I("[%d-%s]stat(%s) failed...", errno, strerror(errno), file.c_str());
      return;
    }
    if (DayOf(st.st_mtime) + _keepDays < _today) unlink(file.c_str());
  }
}

void CQIRWriteFile::RemoveDayDirectories(long _today, int _keepDays) {
  CQIRDirectory dir;
  dir.Set(path_, "*");
  std::vector<std::string> dirs;
  if (!dir.DirScan(dirs, 1)) return;
  for (const std::string& day : dirs) {
    const char* base = strrchr(day.c_str(), '/');
    base = (base == nullptr) ? day.c_str() : base + 1;
    if (!IsDayDirectoryName(base)) continue;
    struct stat st;
    if (stat(day.c_str(), &st) != 0) {
      if (errno == ENOENT) continue;
      QIR_LOG_I("[%d-%s]stat(%s) failed...", errno, strerror(errno), day.c_str());
      return;
    }
    if (DayOf(st.st_mtime) + _keepDays >= _today) continue;
    CQIRDirectory inner;
    inner.Set(day.c_str(), "*");
    std::vector<std::string> files;
    if (inner.Scan(files, false)) {
      for (const std::string& file : files) unlink(file.c_str());
    }
    rmdir(day.c_str());
  }
}

int CQIRWriteFile::GetFileSeq() {
  if (!namesFit_) return 0;
  char today[9];
  CQIRDate date(Now());
  date.GetDate(today);
  std::string dirName = path_;
  if (changeType_ == QIR_WF_DAILY_DIR_CHANGE) {
    dirName += std::string("/") + today;
    struct stat st;
    if (stat(dirName.c_str(), &st) != 0) return 0;
  }
  std::string pattern = std::string(name_) + ".";
  if (extension_[0] != '\0') pattern += std::string(extension_) + ".";
  pattern += std::string(today) + ".*";
  CQIRDirectory dir;
  dir.Set(dirName.c_str(), pattern.c_str());
  std::vector<std::string> files;
  if (!dir.Scan(files, false)) return 0;
  int best = 0;
  for (const std::string& file : files) {
    const char* digits = strrchr(file.c_str(), '.') + 1;
    char* end = nullptr;
    long n = strtol(digits, &end, 10);
    if (end != digits && *end == '\0' && n > best && n <= 0x7fffffffL) best = static_cast<int>(n);
  }
  return best;
}
