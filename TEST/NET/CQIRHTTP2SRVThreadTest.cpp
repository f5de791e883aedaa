#include "CQIRHTTP2SRVThread.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "CQIRHTTP2SRVConnection.h"
#include "CQIRHTTP2SRVConnectionInfo.h"
#include "CQIRHTTP2SRVConnectionManager.h"
#include "CQIRHTTP2SRVThreadManager.h"

namespace {

// Real workers over real session engines on socket pairs; the test holds
// the client ends and closes them to make connections go away.
class CQIRHTTP2SRVThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    options_.nMaxPayloadSize_ = 1024;
    options_.nMaxConcurrentStream_ = 4;
    callbacks_.onConnect_ = [](int32_t, const char*, const char*, int) { return true; };
    callbacks_.onDisconnect_ = [this](int32_t) { ++disconnects_; };
    info_.ip_ = "127.0.0.1";
  }
  void TearDown() override {
    tmgr_.Stop();
    tmgr_.Finalize();
    cmgr_.Finalize();
    for (int fd : peers_) close(fd);
  }

  void MakePool(int _size) {
    ASSERT_TRUE(cmgr_.Initialize(&tmgr_, &callbacks_, &options_));
    ASSERT_TRUE(tmgr_.Initialize(_size, &cmgr_, &callbacks_));
  }
  int Connect() {  // registers a connection; returns its server end
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return -1;
    peers_.push_back(sv[1]);
    return cmgr_.CreateConnection(&info_, sv[0]) ? sv[0] : -1;
  }
  void ClosePeer(size_t _i) {
    close(peers_[_i]);
    peers_[_i] = open("/dev/null", O_RDONLY);  // keeps TearDown's close harmless
  }
  int Served() {
    int n = 0;
    for (int i = 0; i < tmgr_.GetPoolSize(); ++i) n += tmgr_.GetThread(i)->GetConnectionCount();
    return n;
  }
  template <typename F>
  static bool WaitFor(F _done) {  // bounded; workers are woken at once
    for (int i = 0; i < 2000; ++i) {
      if (_done()) return true;
      usleep(5000);
    }
    return false;
  }
  // Connections come and go while the accepting side keeps assigning.
  void Churn(int _count) {
    for (int i = 0; i < _count; ++i) {
      ASSERT_GE(Connect(), 0);
      if (i >= 2) ClosePeer(i - 2);
      usleep(500);
    }
    ClosePeer(_count - 2);
    ClosePeer(_count - 1);
    EXPECT_TRUE(WaitFor([&] { return disconnects_.load() == _count; }));
  }

  QIR_ST_HTTP2_OPTIONS options_;
  QIR_HTTP2SRV_CALLBACKS callbacks_;
  CQIRHTTP2SRVThreadManager tmgr_;
  CQIRHTTP2SRVConnectionManager cmgr_;
  CQIRHTTP2SRVConnectionInfo info_{"http", 8080, false};
  std::vector<int> peers_;
  std::atomic<int> disconnects_{0};
};

}  // namespace

// Connections go to the workers in strict rotation, the monitor lists them
// per worker, a peer that closes is removed by its worker, and stopping the
// pool removes the rest.
TEST_F(CQIRHTTP2SRVThreadTest, RoundRobinMonitorAndRemoval) {
  MakePool(3);
  ASSERT_TRUE(tmgr_.Start());
  for (int i = 0; i < 5; ++i) ASSERT_GE(Connect(), 0);
  ASSERT_TRUE(WaitFor([&] { return Served() == 5; }));
  EXPECT_TRUE(tmgr_.IsNoProblem());
  EXPECT_EQ(0, tmgr_.GetRemainMessages());
  std::string report = "before\n";
  tmgr_.GetMonitor(report);
  EXPECT_EQ(
      "before\n"
      "\tThread Index :   0 \tConnections : 2\n"
      "\tName : http://127.0.0.1:8080:0          \tIncomplete :    0\n"
      "\tName : http://127.0.0.1:8080:3          \tIncomplete :    0\n"
      "\tThread Index :   1 \tConnections : 2\n"
      "\tName : http://127.0.0.1:8080:1          \tIncomplete :    0\n"
      "\tName : http://127.0.0.1:8080:4          \tIncomplete :    0\n"
      "\tThread Index :   2 \tConnections : 1\n"
      "\tName : http://127.0.0.1:8080:2          \tIncomplete :    0\n",
      report);
  ClosePeer(4);
  ASSERT_TRUE(WaitFor([&] { return disconnects_.load() == 1; }));
  EXPECT_EQ(1, tmgr_.GetThread(1)->GetConnectionCount());
  tmgr_.Stop();
  EXPECT_EQ(5, disconnects_.load());
  EXPECT_EQ(0, cmgr_.GetConnectionCount());
  tmgr_.Stop();  // harmless again
}

// The accepting side assigns (manager lock, then worker lock) while workers
// remove closed connections; removal must keep that order, or the two can
// block each other (ThreadSanitizer reports an inversion even when the
// timing spares the hang).
TEST_F(CQIRHTTP2SRVThreadTest, NoLockOrderInversionBetweenAssignAndRemoval) {
  MakePool(2);
  ASSERT_TRUE(tmgr_.Start());
  Churn(150);
  EXPECT_TRUE(tmgr_.IsNoProblem());
}

// Other threads walk the workers' connections (monitor, drain count, exit
// reservation) while the workers take connections in and remove them.
TEST_F(CQIRHTTP2SRVThreadTest, MapWalksSafeAgainstConcurrentRemoval) {
  MakePool(2);
  ASSERT_TRUE(tmgr_.Start());
  std::atomic<bool> done{false};
  std::thread walker([&] {
    for (long n = 0; !done.load(); ++n) {
      std::string report;
      tmgr_.GetMonitor(report);
      tmgr_.GetRemainMessages();
      if (n % 50 == 0) tmgr_.SetExitReserved();
    }
  });
  Churn(100);
  done.store(true);
  walker.join();
  EXPECT_EQ(0, Served());
}

// A worker that ended on an error stops serving; its connections must still
// be removed (notified, unregistered, closed) when the pool stops.
TEST_F(CQIRHTTP2SRVThreadTest, FailedWorkerConnectionsRemovedAtStop) {
  MakePool(1);
  int fd = Connect();
  ASSERT_GE(fd, 0);
  // A file under the connection's descriptor number: epoll refuses it, so
  // the worker's first pass fails and the worker ends.
  char path[] = "/tmp/qir_worker_XXXXXX";
  int file = mkstemp(path);
  unlink(path);
  ASSERT_EQ(fd, dup2(file, fd));
  close(file);
  ASSERT_TRUE(tmgr_.Start());
  ASSERT_TRUE(WaitFor([&] { return !tmgr_.GetThread(0)->IsActive(); }));
  EXPECT_FALSE(tmgr_.IsNoProblem());
  EXPECT_EQ(1, cmgr_.GetConnectionCount());
  tmgr_.Stop();
  EXPECT_EQ(1, disconnects_.load());
  EXPECT_EQ(0, cmgr_.GetConnectionCount());
  EXPECT_EQ(1, cmgr_.GetGarbageCount());
}
