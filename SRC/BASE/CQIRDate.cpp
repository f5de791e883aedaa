#include "CQIRDate.h"

#include "CQIRServiceLog.h"

#include <ctype.h>
#include <limits.h>
#include <stdio.h>
#include <string.h>

namespace {

// Reads at most _len characters of _src the way atoi does (leading blanks,
// a sign, digits up to the first non-digit), never past a NUL.
long FieldValue(const char* _src, int _len) {
  int i = 0;
  while (i < _len && _src[i] != '\0' && isspace(static_cast<unsigned char>(_src[i]))) ++i;
  bool negative = false;
  if (i < _len && (_src[i] == '-' || _src[i] == '+')) negative = (_src[i++] == '-');
  long value = 0;
  while (i < _len && _src[i] >= '0' && _src[i] <= '9') value = value * 10 + (_src[i++] - '0');
  return negative ? -value : value;
}

}  // namespace

CQIRDate::CQIRDate() : julian_(QIR_DATE_INVALID) {
  dateStr_[0] = '\0';
  SetDate(time(nullptr));
}

CQIRDate::CQIRDate(const struct tm* _tm) : julian_(QIR_DATE_INVALID) {
  dateStr_[0] = '\0';
  if (_tm != nullptr) ToJulian(_tm->tm_year + 1900L, _tm->tm_mon + 1L, _tm->tm_mday);
}

CQIRDate::CQIRDate(time_t _tm) : julian_(QIR_DATE_INVALID) {
  dateStr_[0] = '\0';
  SetDate(_tm);
}

CQIRDate::CQIRDate(const char* _date) : julian_(QIR_DATE_INVALID) {
  dateStr_[0] = '\0';
  bool ok = _date != nullptr && strnlen(_date, 9) == 8;
  for (int i = 0; ok && i < 8; ++i) ok = _date[i] >= '0' && _date[i] <= '9';
  if (!ok) {
    QIR_LOG_E("invalid date string");
    return;
  }
  ToJulian(FieldValue(_date, 4), FieldValue(_date + 4, 2), FieldValue(_date + 6, 2));
}

void CQIRDate::SetDate(time_t _tm) {
  struct tm t;
  julian_ = QIR_DATE_INVALID;
  if (localtime_r(&_tm, &t) != nullptr) ToJulian(t.tm_year + 1900L, t.tm_mon + 1L, t.tm_mday);
}

// Fliegel and Van Flandern; integer division truncates toward zero.
void CQIRDate::ToJulian(long _year, long _month, long _day) {
  julian_ = QIR_DATE_INVALID;
  if (_month < 1 || _month > 12 || _day < 1 || _day > 31 || _year == 0) return;
  // Keeps the arithmetic far from overflow; such years are out of range anyway.
  if (_year < -100000 || _year > 100000) return;
  if (_year < 0) ++_year;  // year -1 is astronomical year 0
  const long a = (_month - 14) / 12;
  const long jdn = _day - 32075 + 1461 * (_year + 4800 + a) / 4 +
                   367 * (_month - 2 - 12 * a) / 12 - 3 * ((_year + 4900 + a) / 100) / 4;
  if (jdn >= QIR_DATE_MIN_JULIAN && jdn <= QIR_DATE_MAX_JULIAN) julian_ = jdn;
}

bool CQIRDate::Split(int* _year, int* _month, int* _day) const {
  if (!IsValid()) return false;
  long l = julian_ + 68569;
  const long n = 4 * l / 146097;
  l = l - (146097 * n + 3) / 4;
  const long i = 4000 * (l + 1) / 1461001;
  l = l - 1461 * i / 4 + 31;
  const long j = 80 * l / 2447;
  *_day = static_cast<int>(l - 2447 * j / 80);
  l = j / 11;
  *_month = static_cast<int>(j + 2 - 12 * l);
  *_year = static_cast<int>(100 * (n - 49) + i + l);
  return true;
}

bool CQIRDate::FromJulian(char* _buffer) const {
  int year, month, day;
  if (!Split(&year, &month, &day)) return false;
  snprintf(_buffer, QIR_DATE_TEXT_SIZE, "%04d%02d%02d", year, month, day);
  return true;
}

time_t CQIRDate::Get() const {
  int year, month, day;
  if (!Split(&year, &month, &day)) return -1;
  struct tm t;
  memset(&t, 0, sizeof(t));
  t.tm_year = year - 1900;
  t.tm_mon = month - 1;
  t.tm_mday = day;
  // Summer time decided by mktime: forced off, midnight would come out as
  // 01:00 during summer time.
  t.tm_isdst = -1;
  return mktime(&t);
}

int CQIRDate::GetYear() const {
  int year, month, day;
  return Split(&year, &month, &day) ? year : -1;
}

int CQIRDate::GetMonth() const {
  int year, month, day;
  return Split(&year, &month, &day) ? month : -1;
}

int CQIRDate::GetDay() const {
  int year, month, day;
  return Split(&year, &month, &day) ? day : -1;
}

int CQIRDate::GetDayOfWeek() const {
  if (!IsValid()) return -1;
  return static_cast<int>((julian_ + 1) % 7);
}

bool CQIRDate::GetDate(char* _buffer) const {
  if (_buffer == nullptr) return false;
  return FromJulian(_buffer);
}

char* CQIRDate::AscDate(const char* _picture) {
  if (_picture == nullptr || strnlen(_picture, QIR_DATE_MAX_PICTURE + 1) > QIR_DATE_MAX_PICTURE) {
    QIR_LOG_E("invalid arguments...");
    return nullptr;
  }
  char digits[QIR_DATE_TEXT_SIZE];
  if (!FromJulian(digits)) {
    QIR_LOG_E("invalid date value...");
    return nullptr;
  }
  int century = 0, year = 0, month = 0, day = 0;
  char out[sizeof(dateStr_)];
  size_t k = 0;
  for (; _picture[k] != '\0'; ++k) {
    switch (_picture[k]) {
      case 'C': if (century >= 2) return nullptr; out[k] = digits[0 + century++]; break;
      case 'Y': if (year >= 2) return nullptr; out[k] = digits[2 + year++]; break;
      case 'M': if (month >= 2) return nullptr; out[k] = digits[4 + month++]; break;
      case 'D': if (day >= 2) return nullptr; out[k] = digits[6 + day++]; break;
      default: out[k] = _picture[k]; break;
    }
  }
  out[k] = '\0';
  memcpy(dateStr_, out, k + 1);
  return dateStr_;
}

char* CQIRDate::operator()() const {
  static thread_local char text[QIR_DATE_TEXT_SIZE];
  if (!FromJulian(text)) text[0] = '\0';
  return text;
}

// Arithmetic on an invalid date keeps it invalid, and a sum outside the
// CCYYMMDD range makes it invalid: text made from it could not fit.
void CQIRDate::Move(long _days) {
  if (!IsValid()) return;
  if (_days < -QIR_DATE_MAX_JULIAN || _days > QIR_DATE_MAX_JULIAN) {
    julian_ = QIR_DATE_INVALID;
    return;
  }
  const long jdn = julian_ + _days;
  julian_ = (jdn >= QIR_DATE_MIN_JULIAN && jdn <= QIR_DATE_MAX_JULIAN) ? jdn : QIR_DATE_INVALID;
}

void CQIRDate::AddDate(int _day) { Move(_day); }

CQIRDate& CQIRDate::operator+=(long _val) {
  Move(_val);
  return *this;
}

CQIRDate& CQIRDate::operator-=(long _val) {
  if (_val == LONG_MIN) {  // -LONG_MIN does not exist
    julian_ = QIR_DATE_INVALID;
    return *this;
  }
  Move(-_val);
  return *this;
}

CQIRDate& CQIRDate::operator++() { return *this += 1; }
CQIRDate& CQIRDate::operator++(int) { return *this += 1; }
CQIRDate& CQIRDate::operator--() { return *this -= 1; }
CQIRDate& CQIRDate::operator--(int) { return *this -= 1; }

CQIRDate& CQIRDate::operator=(const char* _date) {
  julian_ = QIR_DATE_INVALID;
  if (_date == nullptr) return *this;
  const size_t len = strnlen(_date, 8);
  ToJulian(FieldValue(_date, static_cast<int>(len < 4 ? len : 4)),
           len > 4 ? FieldValue(_date + 4, static_cast<int>(len - 4 < 2 ? len - 4 : 2)) : 0,
           len > 6 ? FieldValue(_date + 6, static_cast<int>(len - 6)) : 0);
  return *this;
}

CQIRDate& CQIRDate::operator=(long _date) {
  julian_ = (_date >= QIR_DATE_MIN_JULIAN && _date <= QIR_DATE_MAX_JULIAN) ? _date : QIR_DATE_INVALID;
  return *this;
}

CQIRDate operator+(const CQIRDate& _d, long _days) {
  CQIRDate r = _d;
  r += _days;
  return r;
}

CQIRDate operator+(long _days, const CQIRDate& _d) { return _d + _days; }

CQIRDate operator-(const CQIRDate& _d, long _days) {
  CQIRDate r = _d;
  r -= _days;
  return r;
}

CQIRDate operator-(long _days, const CQIRDate& _d) { return _d - _days; }
