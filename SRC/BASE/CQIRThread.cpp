#include "CQIRThread.h"

#include "CQIRServiceLog.h"

#include <errno.h>
#include <sched.h>
#include <signal.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

namespace {

constexpr size_t kMinStackSize = 16384;

// The thread is detached, so Terminate cannot join it: it polls the end
// marker set by the cancellation clean-up, for at most this long.
constexpr int kTerminateWaitMs = 5000;

std::atomic<void (*)()> gEndHook{nullptr};

}  // namespace

void (*CQIRThread::SetEndHook(void (*_hook)()))() { return gEndHook.exchange(_hook); }

void CQIRThread::RunEndHook() {
  void (*hook)() = gEndHook.load();
  if (hook != nullptr) hook();
}

CQIRThread::CQIRThread() : status_(QIR_THREAD_INIT), threadId_(pthread_self()), attrValid_(false) {
  Initialize();
}

CQIRThread::~CQIRThread() {
  if (attrValid_) pthread_attr_destroy(&threadAttr_);
}

void CQIRThread::Initialize() {
  threadId_ = pthread_self();
  if (attrValid_) {
    pthread_attr_destroy(&threadAttr_);
    attrValid_ = false;
  }
  if (pthread_attr_init(&threadAttr_) != 0) {
    QIR_LOG_I("[%d-%s]pthread_attr_init() failed...", errno, strerror(errno));
    return;
  }
  attrValid_ = true;
  status_.store(QIR_THREAD_INIT);
  if (pthread_attr_setdetachstate(&threadAttr_, PTHREAD_CREATE_DETACHED) != 0) {
    QIR_LOG_I("[%d-%s]pthread_attr_setdetachstate() failed...", errno, strerror(errno));
  }
}

bool CQIRThread::Execute() {
  const char* scope = getenv("QIR_THREAD_SCOPE");
  if (scope != nullptr && strcmp(scope, "PTHREAD_SCOPE_USER") == 0) {
    SetThreadScope(QIR_USER_THREAD);
  } else {
    SetThreadScope(QIR_SYSTEM_THREAD);
  }
  ended_.store(false);
  int rc = pthread_create(&threadId_, &threadAttr_, QIR_ThreadExecHandler, this);
  if (rc != 0) {
    QIR_LOG_I("[%d-%s]pthread_create() failed...", rc, strerror(rc));
    return false;
  }
  // Already detached through the attributes; a second detach is refused
  // harmlessly. The pause gives the new thread time to mark itself running.
  usleep(10000);
  return true;
}

void CQIRThread::SetThreadScope(e4threadScope _scope) {
  int value = (_scope == QIR_SYSTEM_THREAD) ? PTHREAD_SCOPE_SYSTEM : PTHREAD_SCOPE_PROCESS;
  int rc = pthread_attr_setscope(&threadAttr_, value);
  if (rc != 0) QIR_LOG_I("[%d-%s]pthread_attr_setscope() failed...", rc, strerror(rc));
}

size_t CQIRThread::GetStackSize() {
  size_t size = 0;
  if (pthread_attr_getstacksize(&threadAttr_, &size) != 0) return 0;
  return size;
}

void CQIRThread::SetStackSize(size_t _size) {
  if (_size < kMinStackSize) _size = kMinStackSize;
  int rc = pthread_attr_setstacksize(&threadAttr_, _size);
  if (rc != 0) QIR_LOG_I("[%d-%s]pthread_attr_stacksize() failed...", rc, strerror(rc));
}

void CQIRThread::SetPriority(e4threadPriority _priority, int _policy) {
  if (_policy != SCHED_OTHER && _policy != SCHED_FIFO && _policy != SCHED_RR) {
    QIR_LOG_E("invalid _policy type...");
    return;
  }
  struct sched_param param;
  pthread_attr_getschedparam(&threadAttr_, &param);
  switch (_priority) {
    case QIR_THREAD_PRIORITY_NORMAL:
      param.sched_priority = (sched_get_priority_max(_policy) + sched_get_priority_min(_policy)) / 2;
      break;
    case QIR_THREAD_PRIORITY_HIGHTEST:
      param.sched_priority = sched_get_priority_max(_policy);
      break;
    case QIR_THREAD_PRIORITY_LOWEST:
      param.sched_priority = sched_get_priority_min(_policy);
      break;
    default:
      pthread_attr_setinheritsched(&threadAttr_, PTHREAD_INHERIT_SCHED);
      return;
  }
  pthread_attr_setschedpolicy(&threadAttr_, _policy);
  pthread_attr_setschedparam(&threadAttr_, &param);
  pthread_attr_setinheritsched(&threadAttr_, PTHREAD_EXPLICIT_SCHED);
}

int CQIRThread::SendSignal(int _signo) { return pthread_kill(threadId_, _signo); }

void CQIRThread::Terminate() {
  if (pthread_equal(threadId_, pthread_self())) return;
  int rc = pthread_cancel(threadId_);
  if (rc != 0) {
    QIR_LOG_I("[%d-%s]pthread_join() failed...", rc, strerror(rc));
  } else {
    for (int waited = 0; waited < kTerminateWaitMs && !ended_.load(); ++waited) usleep(1000);
  }
  threadId_ = pthread_self();
}

void CQIRThread::SetCancelType() { pthread_setcanceltype(PTHREAD_CANCEL_DEFERRED, nullptr); }

void CQIRThread::SetCancelEnable() { pthread_setcancelstate(PTHREAD_CANCEL_ENABLE, nullptr); }

void CQIRThread::SetCancelDisable() { pthread_setcancelstate(PTHREAD_CANCEL_DISABLE, nullptr); }

void CQIRThread::Yield() { sched_yield(); }

void CQIRThread::MarkEnded(void* _self) {
  RunEndHook();
  static_cast<CQIRThread*>(_self)->ended_.store(true);
}

void* CQIRThread::QIR_ThreadExecHandler(void* _self) {
  CQIRThread* self = static_cast<CQIRThread*>(_self);
  self->status_.store(QIR_THREAD_RUNNING);
  self->SetCancelType();
  self->SetCancelEnable();
  // A cancelled thread ends here without Final and keeps QIR_THREAD_RUNNING;
  // the clean-up only tells Terminate that it is gone.
  pthread_cleanup_push(MarkEnded, self);
  self->Initial();
  self->Run();
  self->SetCancelDisable();
  self->Final();
  pthread_cleanup_pop(0);
  RunEndHook();
  self->ended_.store(true);
  self->status_.store(QIR_THREAD_TERMINATE);
  return nullptr;
}
