#include "CQIRThread.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <pthread.h>

namespace {

// Run loops until the owner clears its flag.
class TestThread : public CQIRThread {
 public:
  std::atomic<int> steps{0};
  std::atomic<bool> loop{true}, finalRan{false};

 protected:
  void Initial() override { steps++; }
  void Run() override {
    steps++;
    for (int i = 0; i < 5000 && loop; ++i) usleep(1000);
  }
  void Final() override { finalRan = true; }
};

std::atomic<int> gHookRuns{0};
std::atomic<bool> gHookOnOwner{false};
pthread_t gOwner;
void CountEnd() {
  if (pthread_equal(pthread_self(), gOwner)) gHookOnOwner = true;
  gHookRuns++;
}

}  // namespace

// Initial, Run and Final run in order; the end hook (where the TLS library's
// per-thread state is freed) runs on the thread itself and before its owner
// can see it end: after that the owner may let the process exit.
TEST(CQIRThreadTest, RunsInitialRunFinalAndEndHookThenTerminates) {
  gOwner = pthread_self();
  void (*previous)() = CQIRThread::SetEndHook(CountEnd);
  {
    TestThread t;
    EXPECT_EQ(CQIRThread::QIR_THREAD_INIT, t.GetStatus());
    ASSERT_TRUE(t.Execute());
    EXPECT_EQ(CQIRThread::QIR_THREAD_RUNNING, t.GetStatus());
    EXPECT_EQ(0, gHookRuns.load());
    t.loop = false;
    for (int i = 0; i < 5000 && t.GetStatus() != CQIRThread::QIR_THREAD_TERMINATE; ++i) usleep(1000);
    ASSERT_EQ(CQIRThread::QIR_THREAD_TERMINATE, t.GetStatus());
    EXPECT_TRUE(t.steps == 2 && t.finalRan);
    EXPECT_EQ(1, gHookRuns.load());
  }
  EXPECT_FALSE(gHookOnOwner.load());
  CQIRThread::SetEndHook(previous);
}
