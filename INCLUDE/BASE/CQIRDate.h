#ifndef QIR_BASE_CQIRDATE_H
#define QIR_BASE_CQIRDATE_H

#include <time.h>

// A calendar date held as a Julian Day Number, so that date arithmetic is
// integer addition (2000-01-01 is 2451545). A plain value: copied freely,
// never shared between threads.
//
// Every date is either invalid or lies between 0000-01-01 and 9999-12-31,
// the dates CCYYMMDD can spell: a conversion or sum that would leave that
// range makes the date invalid, and an invalid date stays invalid under
// arithmetic.
class CQIRDate {
 public:
  static constexpr long QIR_DATE_INVALID = 0x7FFFFFFF;
  static constexpr long QIR_DATE_MIN_JULIAN = 1721060;  // 0000-01-01
  static constexpr long QIR_DATE_MAX_JULIAN = 5373484;  // 9999-12-31
  enum {
    QIR_DATE_MAX_PICTURE = 12,
    QIR_DATE_TEXT_SIZE = 9  // CCYYMMDD and its NUL
  };

  CQIRDate();  // today, local time
  CQIRDate(const struct tm* _tm);
  CQIRDate(time_t _tm);
  // Exactly eight digits CCYYMMDD; anything else logs "invalid date string"
  // and leaves the date invalid.
  CQIRDate(const char* _date);

  void SetDate(time_t _tm);

  bool IsValid() const { return julian_ != QIR_DATE_INVALID; }
  long GetJulian() const { return julian_; }
  time_t Get() const;  // local midnight starting the date; -1 when invalid
  int GetYear() const;  // -1 when invalid
  int GetMonth() const;
  int GetDay() const;
  int GetDayOfWeek() const;  // 0 Sunday .. 6 Saturday; -1 when invalid

  // CCYYMMDD into _buffer (QIR_DATE_TEXT_SIZE bytes); false when invalid.
  bool GetDate(char* _buffer) const;
  // Picture of at most 12 characters: "CC" century, "YY" year within the
  // century, "MM" month, "DD" day, other characters copied. Null on a bad
  // picture or an invalid date.
  char* AscDate(const char* _picture);
  // CCYYMMDD in a buffer shared by all dates of the calling thread; empty
  // when invalid.
  char* operator()() const;

  void AddDate(int _day);
  CQIRDate& operator+=(long _val);
  CQIRDate& operator-=(long _val);
  CQIRDate& operator++();
  CQIRDate& operator++(int);  // returns the changed date itself
  CQIRDate& operator--();
  CQIRDate& operator--(int);  // returns the changed date itself

  // CCYYMMDD read field by field like atoi; text shorter than eight
  // characters leaves the missing fields 0, which makes the date invalid.
  CQIRDate& operator=(const char* _date);
  CQIRDate& operator=(long _date);  // a Julian Day Number

  int operator==(const CQIRDate& _d) const { return julian_ == _d.julian_; }
  int operator!=(const CQIRDate& _d) const { return julian_ != _d.julian_; }
  int operator<(const CQIRDate& _d) const { return julian_ < _d.julian_; }
  int operator<=(const CQIRDate& _d) const { return julian_ <= _d.julian_; }
  int operator>(const CQIRDate& _d) const { return julian_ > _d.julian_; }
  int operator>=(const CQIRDate& _d) const { return julian_ >= _d.julian_; }

 private:
  void ToJulian(long _year, long _month, long _day);
  bool Split(int* _year, int* _month, int* _day) const;
  bool FromJulian(char* _buffer) const;  // _buffer holds QIR_DATE_TEXT_SIZE
  void Move(long _days);

  long julian_;
  char dateStr_[13];
};

CQIRDate operator+(const CQIRDate& _d, long _days);
CQIRDate operator+(long _days, const CQIRDate& _d);
CQIRDate operator-(const CQIRDate& _d, long _days);
CQIRDate operator-(long _days, const CQIRDate& _d);  // also the date minus the days

#endif  // QIR_BASE_CQIRDATE_H
