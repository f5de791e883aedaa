#include "CQIRThread.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>

namespace {

// Run returns at once, or when told to stop.
class TestThread : public CQIRThread {
 public:
  std::atomic<int> steps{0};
  std::atomic<bool> loop{false}, finalRan{false};

 protected:
  void Initial() override { steps++; }
  void Run() override {
    steps++;
    for (int i = 0; i < 5000 && loop; ++i) usleep(1000);
  }
  void Final() override { finalRan = true; }
};

void WaitWhileRunning(CQIRThread& _t) {
  for (int i = 0; i < 5000 && _t.GetStatus() != CQIRThread::QIR_THREAD_TERMINATE; ++i) usleep(1000);
}

}  // namespace

TEST(CQIRThreadTest, RunsInitialRunFinalThenTerminates) {
  for (bool loop : {false, true}) {
    TestThread t;
    t.loop = loop;
    EXPECT_EQ(CQIRThread::QIR_THREAD_INIT, t.GetStatus());
    ASSERT_TRUE(t.Execute());
    if (loop) {
      EXPECT_EQ(CQIRThread::QIR_THREAD_RUNNING, t.GetStatus());
      t.loop = false;  // the owner stops the loop through its flag
    }
    WaitWhileRunning(t);
    EXPECT_EQ(CQIRThread::QIR_THREAD_TERMINATE, t.GetStatus());
    EXPECT_TRUE(t.steps == 2 && t.finalRan) << loop;
  }
}
