#include "CQIRMutex.h"

#include <errno.h>

CQIRMutex::CQIRMutex() : valid_(0) {
  if (pthread_mutexattr_init(&attr_) != 0) return;
  pthread_mutexattr_setrobust(&attr_, PTHREAD_MUTEX_ROBUST);
  if (pthread_mutex_init(&mutex_, &attr_) != 0) {
    pthread_mutexattr_destroy(&attr_);
    return;
  }
  valid_ = 1;
}

CQIRMutex::~CQIRMutex() {
  if (valid_ == 1) {
    pthread_mutex_destroy(&mutex_);
    pthread_mutexattr_destroy(&attr_);
  }
}

// An invalid mutex locks nothing: there is no mutex to lock, and callers
// never check valid_.
void CQIRMutex::Lock() {
  if (valid_ != 1) return;
  if (pthread_mutex_lock(&mutex_) == EOWNERDEAD) {
    // The previous owner died holding the lock; mark it usable again so
    // later lockers do not get ENOTRECOVERABLE.
    pthread_mutex_consistent(&mutex_);
  }
}

int CQIRMutex::TryLock() {
  if (valid_ != 1) return EINVAL;
  int rc = pthread_mutex_trylock(&mutex_);
  if (rc == EOWNERDEAD) {
    pthread_mutex_consistent(&mutex_);
    rc = 0;
  }
  return rc;
}

void CQIRMutex::Unlock() {
  if (valid_ != 1) return;
  pthread_mutex_unlock(&mutex_);
}
