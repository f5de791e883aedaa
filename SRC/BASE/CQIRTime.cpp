#include "CQIRTime.h"

#include "CQIRServiceLog.h"

#include <stdio.h>
#include <string.h>

namespace {

// Where each picture letter's digits lie in the 17-digit text
// CCYYMMDDhhmmssXXX, and how many of them there are.
struct FieldSlot {
  int offset;
  int count;
};

bool SlotOf(char _letter, FieldSlot* _slot) {
  switch (_letter) {
    case 'C': *_slot = {0, 2}; return true;
    case 'Y': *_slot = {2, 2}; return true;
    case 'M': *_slot = {4, 2}; return true;
    case 'D': *_slot = {6, 2}; return true;
    case 'h': *_slot = {8, 2}; return true;
    case 'm': *_slot = {10, 2}; return true;
    case 's': *_slot = {12, 2}; return true;
    case 'X':
    case 'c': *_slot = {14, 3}; return true;
    default: return false;
  }
}

// Index in the use counters; 'X' and 'c' share the millisecond digits.
int CounterOf(char _letter) {
  return _letter == 'c' ? 'X' : static_cast<unsigned char>(_letter);
}

// The first "YYYY" of a picture stands for "CCYY": its first two letters
// read as 'C'. _ccyy is the position of that "YYYY" or -1.
int FindCCYY(const char* _picture, size_t _len) {
  for (size_t i = 0; i + 4 <= _len; ++i) {
    if (memcmp(_picture + i, "YYYY", 4) == 0) return static_cast<int>(i);
  }
  return -1;
}

char LetterAt(const char* _picture, int _ccyy, size_t _i) {
  if (_ccyy >= 0 && (_i == static_cast<size_t>(_ccyy) || _i == static_cast<size_t>(_ccyy) + 1)) {
    return 'C';
  }
  return _picture[_i];
}

}  // namespace

CQIRTime::CQIRTime() {
  memset(&now_, 0, sizeof(now_));
  ascTm_[0] = '\0';
  Now();
}

CQIRTime::CQIRTime(time_t _time) {
  memset(&now_, 0, sizeof(now_));
  ascTm_[0] = '\0';
  now_.time = _time;
}

void CQIRTime::Now() {
  // ftime is deprecated; the same seconds and milliseconds come from the
  // real-time clock.
  struct timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  now_.time = ts.tv_sec;
  now_.millitm = static_cast<unsigned short>(ts.tv_nsec / 1000000);
}

CQIRTime& CQIRTime::operator=(const timeb& _time) {
  now_.time = _time.time;
  now_.millitm = _time.millitm;
  return *this;
}

CQIRTime& CQIRTime::operator=(time_t _time) {
  now_.time = _time;
  now_.millitm = 0;
  return *this;
}

CQIRTime& CQIRTime::operator+=(time_t _sec) {
  now_.time += _sec;
  return *this;
}

CQIRTime& CQIRTime::operator-=(time_t _sec) {
  now_.time -= _sec;
  return *this;
}

CQIRTime& CQIRTime::operator+=(const CQIRTime& _time) {
  int ms = now_.millitm + _time.now_.millitm;
  now_.time += _time.now_.time;
  if (ms >= 1000) {
    ms -= 1000;
    now_.time += 1;
  }
  now_.millitm = static_cast<unsigned short>(ms);
  return *this;
}

CQIRTime& CQIRTime::operator-=(const CQIRTime& _time) {
  int ms = now_.millitm - _time.now_.millitm;
  now_.time -= _time.now_.time;
  if (ms < 0) {
    ms += 1000;
    now_.time -= 1;
  }
  now_.millitm = static_cast<unsigned short>(ms);
  return *this;
}

bool CQIRTime::LocalTime(struct tm* _tm) const {
  return localtime_r(&now_.time, _tm) != nullptr;
}

int CQIRTime::GetYear() const {
  struct tm t;
  return LocalTime(&t) ? t.tm_year + 1900 : -1;
}

int CQIRTime::GetMonth() const {
  struct tm t;
  return LocalTime(&t) ? t.tm_mon + 1 : -1;
}

int CQIRTime::GetDay() const {
  struct tm t;
  return LocalTime(&t) ? t.tm_mday : -1;
}

int CQIRTime::GetHour() const {
  struct tm t;
  return LocalTime(&t) ? t.tm_hour : -1;
}

int CQIRTime::GetMin() const {
  struct tm t;
  return LocalTime(&t) ? t.tm_min : -1;
}

int CQIRTime::GetSec() const {
  struct tm t;
  return LocalTime(&t) ? t.tm_sec : -1;
}

char* CQIRTime::AscTime(const char* _picture) { return _AscTime(_picture, ascTm_); }

char* CQIRTime::AscGMTime() { return AscGMTime(ascTm_, sizeof(ascTm_)); }

char* CQIRTime::AscGMTime(char* _buffer, int _size) {
  if (_buffer == nullptr || _size <= 0) return _buffer;
  struct tm t;
  // gmtime_r: the shared result of gmtime would race with other threads.
  if (gmtime_r(&now_.time, &t) == nullptr ||
      strftime(_buffer, static_cast<size_t>(_size), "%FT%TZ", &t) == 0) {
    _buffer[0] = '\0';
  }
  return _buffer;
}

char* CQIRTime::_AscTime(const char* _picture, char* _dest) {
  return _AscTime(_picture, _dest, QIR_TIME_TEXT_SIZE);
}

char* CQIRTime::_AscTime(const char* _picture, char* _dest, size_t _size) {
  if (_dest == nullptr || _size == 0) return nullptr;
  struct tm t;
  if (!LocalTime(&t)) {
    QIR_LOG_E("invalid time value(%ld)...", static_cast<long>(now_.time));
    return nullptr;
  }

  if (_picture == nullptr) {
    char text[64];  // asctime_r needs 26 bytes and refuses years it cannot fit
    if (asctime_r(&t, text) == nullptr || strlen(text) >= _size) return nullptr;
    memcpy(_dest, text, strlen(text) + 1);
    return _dest;
  }

  size_t len = strnlen(_picture, QIR_TIME_MAX_PICTURE + 1);
  if (len > QIR_TIME_MAX_PICTURE || len >= _size) {
    QIR_LOG_E("invalid argument...(picture)");
    return nullptr;
  }
  const int year = t.tm_year + 1900;
  if (year < 0 || year > 9999) {  // CCYY holds four digits
    QIR_LOG_E("invalid time value(%ld)...", static_cast<long>(now_.time));
    return nullptr;
  }

  char digits[32];
  snprintf(digits, sizeof(digits), "%04d%02d%02d%02d%02d%02d%03d", year, t.tm_mon + 1, t.tm_mday,
           t.tm_hour, t.tm_min, t.tm_sec, static_cast<int>(now_.millitm % 1000));

  const int ccyy = FindCCYY(_picture, len);
  int used[256] = {0};
  char out[QIR_TIME_TEXT_SIZE];
  for (size_t i = 0; i < len; ++i) {
    const char letter = LetterAt(_picture, ccyy, i);
    FieldSlot slot;
    if (!SlotOf(letter, &slot)) {
      out[i] = _picture[i];
      continue;
    }
    int& n = used[CounterOf(letter)];
    if (n >= slot.count) return nullptr;
    out[i] = digits[slot.offset + n++];
  }
  out[len] = '\0';
  memcpy(_dest, out, len + 1);
  return _dest;
}

time_t CQIRTime::MakeTime(const char* _picture, const char* _value) {
  if (_picture == nullptr || _value == nullptr) return 0;
  const size_t len = strlen(_picture);
  if (strlen(_value) != len) return 0;

  const int ccyy = FindCCYY(_picture, len);
  int used[256] = {0};
  int field[256] = {0};
  for (size_t i = 0; i < len; ++i) {
    const char letter = LetterAt(_picture, ccyy, i);
    if (strchr("CYMDhms", letter) == nullptr || letter == '\0') continue;
    int& n = used[static_cast<unsigned char>(letter)];
    if (n >= 2) return 0;
    // A non-digit would silently shift the field into another date.
    if (_value[i] < '0' || _value[i] > '9') return 0;
    field[static_cast<unsigned char>(letter)] += (_value[i] - '0') * (n == 0 ? 10 : 1);
    ++n;
  }

  struct tm t;
  memset(&t, 0, sizeof(t));
  t.tm_year = field['C'] * 100 + field['Y'] - 1900;
  t.tm_mon = field['M'] - 1;
  t.tm_mday = field['D'];
  t.tm_hour = field['h'];
  t.tm_min = field['m'];
  t.tm_sec = field['s'];
  // Let mktime decide whether summer time applies: forcing it off would put
  // every summer text an hour late.
  t.tm_isdst = -1;
  return mktime(&t);
}

int operator>(const CQIRTime& _a, const CQIRTime& _b) {
  if (_a.GetTime() != _b.GetTime()) return _a.GetTime() > _b.GetTime();
  return _a.GetMilliSec() > _b.GetMilliSec();
}

int operator<(const CQIRTime& _a, const CQIRTime& _b) { return _b > _a; }
int operator<=(const CQIRTime& _a, const CQIRTime& _b) { return !(_a > _b); }
int operator>=(const CQIRTime& _a, const CQIRTime& _b) { return !(_b > _a); }
