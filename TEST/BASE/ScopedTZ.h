#ifndef QIR_TEST_BASE_SCOPEDTZ_H
#define QIR_TEST_BASE_SCOPEDTZ_H

#include "BASE/QIRLogTestUtil.h"

// Sets the time zone for one test and restores the old one afterwards.
struct ScopedTZ : qirtest::ScopedEnv {
  explicit ScopedTZ(const char* _tz) : ScopedEnv("TZ", _tz, tzset) {}
};

// Central European time with its summer rule, spelled out so that no zone
// database is needed.
#define QIR_TEST_TZ_CET "CET-1CEST,M3.5.0,M10.5.0/3"

#endif  // QIR_TEST_BASE_SCOPEDTZ_H
