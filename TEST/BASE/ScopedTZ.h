#ifndef QIR_TEST_BASE_SCOPEDTZ_H
#define QIR_TEST_BASE_SCOPEDTZ_H

#include <stdlib.h>
#include <time.h>

#include <string>

// Sets the time zone for one test and restores the old one afterwards.
class ScopedTZ {
 public:
  explicit ScopedTZ(const char* _tz) : had_(getenv("TZ") != nullptr) {
    if (had_) old_ = getenv("TZ");
    setenv("TZ", _tz, 1);
    tzset();
  }
  ~ScopedTZ() {
    if (had_) setenv("TZ", old_.c_str(), 1); else unsetenv("TZ");
    tzset();
  }

 private:
  bool had_;
  std::string old_;
};

// Central European time with its summer rule, spelled out so that no zone
// database is needed.
#define QIR_TEST_TZ_CET "CET-1CEST,M3.5.0,M10.5.0/3"

#endif  // QIR_TEST_BASE_SCOPEDTZ_H
