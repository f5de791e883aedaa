#include "CQIRHTTP2SRVThread.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "CQIRHTTP2SRVConnection.h"
#include "CQIRHTTP2SRVConnectionInfo.h"
#include "CQIRHTTP2SRVConnectionManager.h"
#include "CQIRHTTP2SRVThreadManager.h"

namespace {

// A pool of real workers over real session engines on socket pairs: the
// test holds the client ends and closes them to make connections go away.
class CQIRHTTP2SRVThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    options_ = QIR_ST_HTTP2_OPTIONS();
    options_.nMaxPayloadSize_ = 1024;
    options_.nMaxConcurrentStream_ = 4;
    callbacks_.onConnect_ = [](int32_t, const char*, const char*, int) { return true; };
    callbacks_.onDisconnect_ = [this](int32_t _id) {
      std::lock_guard<std::mutex> lock(mutex_);
      disconnected_.insert(_id);
    };
    callbacks_.onRequest_ = [](int32_t, QIR_ST_HTTP2_REQUEST_RECV*, QIR_ST_HTTP2_RESPONSE*) {};
    info_.ip_ = "127.0.0.1";
  }
  void TearDown() override {
    tmgr_.Stop();
    tmgr_.Finalize();
    cmgr_.Finalize();
    for (int fd : peers_) {
      if (fd >= 0) close(fd);
    }
  }

  void StartPool(int _size) {
    ASSERT_TRUE(cmgr_.Initialize(&tmgr_, &callbacks_, &options_));
    ASSERT_TRUE(tmgr_.Initialize(_size, &cmgr_, &callbacks_));
  }

  // Registers a connection over a new socket pair; returns the server end.
  int Connect() {
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return -1;
    peers_.push_back(sv[1]);
    if (!cmgr_.CreateConnection(&info_, sv[0])) return -1;
    return sv[0];
  }
  void ClosePeer(size_t _i) {
    close(peers_[_i]);
    peers_[_i] = -1;
  }

  int Served() {
    int n = 0;
    for (int i = 0; i < tmgr_.GetPoolSize(); ++i) n += tmgr_.GetThread(i)->GetConnectionCount();
    return n;
  }
  size_t Disconnected() {
    std::lock_guard<std::mutex> lock(mutex_);
    return disconnected_.size();
  }
  // Bounded waits: a worker pass takes about 10 ms.
  template <typename F>
  bool WaitFor(F _done) {
    for (int i = 0; i < 2000; ++i) {
      if (_done()) return true;
      usleep(5000);
    }
    return _done();
  }

  QIR_ST_HTTP2_OPTIONS options_;
  QIR_HTTP2SRV_CALLBACKS callbacks_;
  CQIRHTTP2SRVThreadManager tmgr_;
  CQIRHTTP2SRVConnectionManager cmgr_;
  CQIRHTTP2SRVConnectionInfo info_{"http", 8080, false};
  std::vector<int> peers_;
  std::mutex mutex_;
  std::set<int32_t> disconnected_;
};

}  // namespace

// Connections go to the workers in strict rotation; a peer that closes is
// removed by its worker with onDisconnect_, and the monitor shows it all.
TEST_F(CQIRHTTP2SRVThreadTest, RoundRobinMonitorAndPeerClose) {
  StartPool(3);
  ASSERT_TRUE(tmgr_.Start());
  for (int i = 0; i < 5; ++i) ASSERT_GE(Connect(), 0);
  ASSERT_TRUE(WaitFor([&] { return Served() == 5; }));
  EXPECT_EQ(2, tmgr_.GetThread(0)->GetConnectionCount());
  EXPECT_EQ(2, tmgr_.GetThread(1)->GetConnectionCount());
  EXPECT_EQ(1, tmgr_.GetThread(2)->GetConnectionCount());
  EXPECT_TRUE(tmgr_.IsNoProblem());
  EXPECT_EQ(0, tmgr_.GetRemainMessages());

  std::string report = "before\n";
  tmgr_.GetMonitor(report);
  const char* expected =
      "before\n"
      "\tThread Index :   0 \tConnections : 2\n"
      "\tName : http://127.0.0.1:8080:0          \tIncomplete :    0\n"
      "\tName : http://127.0.0.1:8080:3          \tIncomplete :    0\n"
      "\tThread Index :   1 \tConnections : 2\n"
      "\tName : http://127.0.0.1:8080:1          \tIncomplete :    0\n"
      "\tName : http://127.0.0.1:8080:4          \tIncomplete :    0\n"
      "\tThread Index :   2 \tConnections : 1\n"
      "\tName : http://127.0.0.1:8080:2          \tIncomplete :    0\n";
  EXPECT_EQ(expected, report);

  ClosePeer(4);
  ASSERT_TRUE(WaitFor([&] { return Disconnected() == 1; }));
  EXPECT_EQ(1, tmgr_.GetThread(1)->GetConnectionCount());
  EXPECT_EQ(4, cmgr_.GetConnectionCount());

  // Stopping removes the rest, each with its onDisconnect_.
  tmgr_.Stop();
  EXPECT_EQ(5u, Disconnected());
  EXPECT_EQ(0, cmgr_.GetConnectionCount());
  tmgr_.Stop();  // harmless again
}

// The accepting thread assigns (manager lock, then worker lock) while the
// workers remove closed connections: removal must take the locks in the
// same order, or the two threads can block each other (ThreadSanitizer
// reports the inversion even when the timing spares us the hang).
TEST_F(CQIRHTTP2SRVThreadTest, NoLockOrderInversionBetweenAssignAndRemoval) {
  StartPool(2);
  ASSERT_TRUE(tmgr_.Start());
  const int kConnections = 150;
  for (int i = 0; i < kConnections; ++i) {
    ASSERT_GE(Connect(), 0);
    if (i > 0) ClosePeer(i - 1);
    if (i % 10 == 0) usleep(2000);
  }
  ASSERT_TRUE(WaitFor([&] { return Disconnected() == kConnections - 1; }));
  EXPECT_EQ(1, cmgr_.GetConnectionCount());
  EXPECT_TRUE(tmgr_.IsNoProblem());
}

// Other threads walk a worker's connections (monitor, drain count, exit
// reservation) while the worker takes connections in and removes them.
TEST_F(CQIRHTTP2SRVThreadTest, MapWalksSafeAgainstConcurrentRemoval) {
  StartPool(2);
  ASSERT_TRUE(tmgr_.Start());
  std::atomic<bool> done{false};
  std::atomic<long> walks{0};
  std::thread walker([&] {
    while (!done.load()) {
      std::string report;
      tmgr_.GetMonitor(report);
      tmgr_.GetRemainMessages();
      if (walks.fetch_add(1) % 50 == 0) tmgr_.SetExitReserved();
    }
  });
  const int kConnections = 100;
  for (int i = 0; i < kConnections; ++i) {
    ASSERT_GE(Connect(), 0);
    if (i >= 2) ClosePeer(i - 2);
    usleep(500);
  }
  ClosePeer(kConnections - 2);
  ClosePeer(kConnections - 1);
  bool allGone = WaitFor([&] { return Disconnected() == kConnections; });
  done.store(true);
  walker.join();
  EXPECT_TRUE(allGone);
  EXPECT_GT(walks.load(), 0);
  EXPECT_EQ(0, Served());
}

// A worker that ended on an error stops serving; its connections must still
// be removed (onDisconnect_, unregistered, closed) when the pool stops.
TEST_F(CQIRHTTP2SRVThreadTest, FailedWorkerConnectionsRemovedAtStop) {
  StartPool(1);
  int fd = Connect();
  ASSERT_GE(fd, 0);
  // Put a file that epoll refuses under the connection's descriptor number:
  // the worker's first pass fails to take it in and the worker ends.
  char path[] = "/tmp/qir_worker_XXXXXX";
  int file = mkstemp(path);
  ASSERT_GE(file, 0);
  unlink(path);
  ASSERT_EQ(fd, dup2(file, fd));
  close(file);

  ASSERT_TRUE(tmgr_.Start());
  ASSERT_TRUE(WaitFor([&] { return !tmgr_.GetThread(0)->IsActive(); }));
  EXPECT_FALSE(tmgr_.IsNoProblem());
  EXPECT_EQ(1, cmgr_.GetConnectionCount());
  EXPECT_EQ(0u, Disconnected());

  tmgr_.Stop();
  EXPECT_EQ(1u, Disconnected());
  EXPECT_EQ(0, cmgr_.GetConnectionCount());
  EXPECT_EQ(1, cmgr_.GetGarbageCount());
}
