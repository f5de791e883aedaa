#ifndef QIR_BASE_CQIRTHREAD_H
#define QIR_BASE_CQIRTHREAD_H

#include <pthread.h>
#include <stddef.h>

#include <atomic>

// Base of every framework thread. A derived class supplies Initial, Run and
// Final; Execute starts one detached thread that runs them in order. The
// owner stops it by making Run return (a flag of the derived class) and polls
// GetStatus until it is no longer QIR_THREAD_RUNNING before destroying it.
class CQIRThread {
 public:
  enum e4threadStatus { QIR_THREAD_INIT = 0, QIR_THREAD_RUNNING = 1, QIR_THREAD_TERMINATE = 2 };
  enum e4threadScope { QIR_SYSTEM_THREAD = 0, QIR_USER_THREAD = 1 };
  enum e4threadPriority {
    QIR_THREAD_PRIORITY_HIGHTEST = 0,
    QIR_THREAD_PRIORITY_LOWEST = 1,
    QIR_THREAD_PRIORITY_NORMAL = 2,
    QIR_THREAD_PRIORITY_DEFAULT = 3
  };

  CQIRThread();
  virtual ~CQIRThread();
  CQIRThread(const CQIRThread&) = delete;
  CQIRThread& operator=(const CQIRThread&) = delete;

  void Initialize();
  bool Execute();  // true when the thread was created
  e4threadStatus GetStatus() const { return status_.load(std::memory_order_acquire); }

  // Attribute setters act on a thread not yet started.
  void SetThreadScope(e4threadScope _scope);
  size_t GetStackSize();
  void SetStackSize(size_t _size);  // raised to at least 16384
  void SetPriority(e4threadPriority _priority, int _policy);

  int SendSignal(int _signo);
  void Terminate();  // cancels from outside; never on the thread itself

  // Cancellation settings of the calling thread.
  void SetCancelType();
  void SetCancelEnable();
  void SetCancelDisable();

  void Report() {}
  void Yield();
  bool IsActive() const { return GetStatus() == QIR_THREAD_RUNNING; }

  // Start routine handed to pthread_create.
  static void* QIR_ThreadExecHandler(void* _self);
  // Runs on every thread started here just before it reports its end (and
  // when it is cancelled). A library with per-thread state frees it there,
  // while the owner still waits for the status: the thread is detached, and
  // what its exit would free later could meet a process already exiting and
  // tearing the same library down.
  // Returns the hook it replaces.
  static void (*SetEndHook(void (*_hook)()))();

 protected:
  virtual void Initial() = 0;
  virtual void Run() = 0;
  virtual void Final() = 0;

  pthread_attr_t threadAttr_;

 private:
  static void MarkEnded(void* _self);
  static void RunEndHook();

  std::atomic<e4threadStatus> status_;  // written by the thread, polled by the owner
  pthread_t threadId_;
  bool attrValid_;
  std::atomic<bool> ended_{false};  // the thread has left its handler, cancelled or not
};

#endif  // QIR_BASE_CQIRTHREAD_H
