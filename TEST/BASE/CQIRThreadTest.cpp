#include "CQIRThread.h"

#include "CQIRMutex.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <sched.h>
#include <unistd.h>

#include <atomic>
#include <thread>

namespace {

class QuickThread : public CQIRThread {
 public:
  std::atomic<int> steps{0};
  std::atomic<bool> finalRan{false};

 protected:
  void Initial() override { steps++; }
  void Run() override { steps++; }
  void Final() override { finalRan = true; }
};

class LoopThread : public CQIRThread {
 public:
  std::atomic<bool> stop{false};

 protected:
  void Initial() override {}
  void Run() override {
    for (int i = 0; i < 5000 && !stop; ++i) usleep(1000);
  }
  void Final() override {}
};

void WaitWhileRunning(CQIRThread& _t) {
  for (int i = 0; i < 5000 && _t.GetStatus() != CQIRThread::QIR_THREAD_TERMINATE; ++i) usleep(1000);
}

}  // namespace

TEST(CQIRThreadTest, RunReturningAtOnceEndsTerminated) {
  QuickThread t;
  EXPECT_EQ(CQIRThread::QIR_THREAD_INIT, t.GetStatus());
  ASSERT_TRUE(t.Execute());
  WaitWhileRunning(t);
  EXPECT_EQ(CQIRThread::QIR_THREAD_TERMINATE, t.GetStatus());
  EXPECT_EQ(2, t.steps.load());
  EXPECT_TRUE(t.finalRan.load());
}

TEST(CQIRThreadTest, OwnerStopsLoopThroughFlag) {
  LoopThread t;
  ASSERT_TRUE(t.Execute());
  EXPECT_EQ(CQIRThread::QIR_THREAD_RUNNING, t.GetStatus());
  t.stop = true;
  WaitWhileRunning(t);
  EXPECT_EQ(CQIRThread::QIR_THREAD_TERMINATE, t.GetStatus());
}

TEST(CQIRThreadTest, AttributeSetters) {
  QuickThread t;
  t.SetStackSize(100);
  EXPECT_EQ(16384u, t.GetStackSize());
  t.SetStackSize(1048576);
  EXPECT_EQ(1048576u, t.GetStackSize());

  t.SetPriority(CQIRThread::QIR_THREAD_PRIORITY_NORMAL, SCHED_FIFO);
  // Reading back what the attributes hold is the only oracle here.
  EXPECT_EQ(50, [&] {
    struct QuickThreadPeek : QuickThread { using CQIRThread::threadAttr_; };
    struct sched_param p;
    pthread_attr_getschedparam(&static_cast<QuickThreadPeek&>(static_cast<QuickThread&>(t)).threadAttr_, &p);
    return p.sched_priority;
  }());
}

TEST(CQIRMutexTest, TryLockHeldElsewhereIsBusy) {
  CQIRMutex m;
  m.Lock();
  int rc = -1;
  std::thread other([&] { rc = m.TryLock(); });
  other.join();
  EXPECT_EQ(EBUSY, rc);
  m.Unlock();
  EXPECT_EQ(0, m.TryLock());
  m.Unlock();
}
