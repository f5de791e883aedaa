#include "CQIRThread.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>

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

}  // namespace

TEST(CQIRThreadTest, RunsInitialRunFinalThenTerminates) {
  TestThread t;
  EXPECT_EQ(CQIRThread::QIR_THREAD_INIT, t.GetStatus());
  ASSERT_TRUE(t.Execute());
  EXPECT_EQ(CQIRThread::QIR_THREAD_RUNNING, t.GetStatus());
  t.loop = false;
  for (int i = 0; i < 5000 && t.GetStatus() != CQIRThread::QIR_THREAD_TERMINATE; ++i) usleep(1000);
  EXPECT_EQ(CQIRThread::QIR_THREAD_TERMINATE, t.GetStatus());
  EXPECT_TRUE(t.steps == 2 && t.finalRan);
}
