#ifndef QIR_BASE_CQIRTIME_H
#define QIR_BASE_CQIRTIME_H

#include <stddef.h>
#include <sys/timeb.h>
#include <time.h>

// A point in time with millisecond resolution, with picture-driven
// formatting and parsing of date-time text. A plain value: copied freely,
// never shared between threads.
//
// Pictures: "CC" century, "YY" year within the century ("YYYY" is taken as
// "CCYY"), "MM" month, "DD" day, "hh" hour, "mm" minute, "ss" second and up
// to three of "X" or "c" for the milliseconds; each letter stands for the
// next digit of its field, other characters are copied. Calendar fields are
// local time except in AscGMTime.
class CQIRTime {
 public:
  enum {
    QIR_TIME_MAX_PICTURE = 32,               // longest picture accepted
    QIR_TIME_TEXT_SIZE = QIR_TIME_MAX_PICTURE + 1  // room _AscTime needs
  };

  CQIRTime();  // now
  CQIRTime(time_t _time);

  void Now();

  CQIRTime& operator=(const timeb& _time);
  CQIRTime& operator=(time_t _time);
  CQIRTime& operator+=(time_t _sec);
  CQIRTime& operator-=(time_t _sec);
  CQIRTime& operator+=(const CQIRTime& _time);  // milliseconds carry into seconds
  CQIRTime& operator-=(const CQIRTime& _time);  // milliseconds borrow from seconds

  int GetYear() const;   // fields of the local time; -1 if it cannot be had
  int GetMonth() const;  // 1 to 12
  int GetDay() const;
  int GetHour() const;
  int GetMin() const;
  int GetSec() const;
  int GetMilliSec() const { return now_.millitm; }
  time_t GetTime() const { return now_.time; }

  // Formats into ascTm_; null on a bad picture. Without a picture the C
  // library's asctime form (with its newline).
  char* AscTime(const char* _picture);
  // UTC as "2025-03-05T09:04:03Z", into ascTm_ or the caller's buffer; the
  // buffer is left empty when the text does not fit.
  char* AscGMTime();
  char* AscGMTime(char* _buffer, int _size);

  // Local time of date-time text read by a picture of the same length;
  // 0 when the lengths differ, a letter repeats too often or a digit
  // position holds no digit.
  static time_t MakeTime(const char* _picture, const char* _value);

  // Formats by a picture into _dest, which must hold QIR_TIME_TEXT_SIZE
  // bytes; the sized form refuses (null) what would not fit in _size.
  char* _AscTime(const char* _picture, char* _dest);
  char* _AscTime(const char* _picture, char* _dest, size_t _size);

 private:
  bool LocalTime(struct tm* _tm) const;

  timeb now_;  // only time and millitm are used
  char ascTm_[QIR_TIME_TEXT_SIZE];
};

int operator>(const CQIRTime& _a, const CQIRTime& _b);
int operator<(const CQIRTime& _a, const CQIRTime& _b);
int operator<=(const CQIRTime& _a, const CQIRTime& _b);
int operator>=(const CQIRTime& _a, const CQIRTime& _b);

#endif  // QIR_BASE_CQIRTIME_H
