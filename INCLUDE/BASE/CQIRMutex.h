#ifndef QIR_BASE_CQIRMUTEX_H
#define QIR_BASE_CQIRMUTEX_H

#include <pthread.h>

// Thin owner of a robust, non-recursive POSIX mutex. Callers pair Lock and
// Unlock on one thread. A lock whose owner died is taken over silently:
// nothing is recovered, the EOWNERDEAD indication is dropped.
class CQIRMutex {
 public:
  CQIRMutex();
  ~CQIRMutex();
  CQIRMutex(const CQIRMutex&) = delete;
  CQIRMutex& operator=(const CQIRMutex&) = delete;

  void Lock();
  int TryLock();  // 0 taken, EBUSY held elsewhere (pthread_mutex_trylock)
  void Unlock();

 private:
  pthread_mutex_t mutex_;
  pthread_mutexattr_t attr_;
  int valid_;  // 1 when attr_ and mutex_ were initialised
};

// Scope guard for CQIRMutex.
class CQIRLockGuard {
 public:
  explicit CQIRLockGuard(CQIRMutex& _mutex) : mutex_(_mutex) { mutex_.Lock(); }
  ~CQIRLockGuard() { mutex_.Unlock(); }
  CQIRLockGuard(const CQIRLockGuard&) = delete;
  CQIRLockGuard& operator=(const CQIRLockGuard&) = delete;

 private:
  CQIRMutex& mutex_;
};

#endif  // QIR_BASE_CQIRMUTEX_H
