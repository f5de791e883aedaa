#include "CQIRHTTP2SRVThread.h"

#include <gtest/gtest.h>

#include <errno.h>
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
#include "BASE/QIRLogTestUtil.h"
#include "QIRHttp2TestPeer.h"

using qirtest::H2Peer;
using qirtest::WaitFor;

namespace {

bool IsOpen(int _fd) { return fcntl(_fd, F_GETFD) != -1 || errno != EBADF; }

// Real workers over real session engines on socket pairs; the test holds
// the client ends and closes them to make connections go away.
class CQIRHTTP2SRVThreadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    options_.nMaxPayloadSize_ = 1024;
    options_.nMaxConcurrentStream_ = 4;
    callbacks_.onConnect_ = [this](int32_t _id, const char*, const char*, int) {
      lastId_ = _id;
      return accept_;
    };
    callbacks_.onDisconnect_ = [this](int32_t) { ++disconnects_; };
    info_.ip_ = "127.0.0.1";
  }
  void TearDown() override {
    if (started_) tmgr_.Stop();
    tmgr_.Finalize();
    cmgr_.Finalize();
    for (int fd : peers_) close(fd);
  }

  void MakePool(int _size) {
    ASSERT_TRUE(cmgr_.Initialize(&tmgr_, &callbacks_, &options_));
    ASSERT_TRUE(tmgr_.Initialize(_size, &cmgr_, &callbacks_));
  }
  bool Start() { return started_ = tmgr_.Start(); }
  int NewSocket() {  // the server end; the test keeps the client end
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return -1;
    peers_.push_back(sv[1]);
    return sv[0];
  }
  int Connect() {  // registers a connection; returns its server end
    int fd = NewSocket();
    return fd >= 0 && cmgr_.CreateConnection(&info_, fd) ? fd : -1;
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
  bool accept_ = true, started_ = false;
  int lastId_ = -1;
};

// A manager over a pool whose worker never runs, so the manager's own rules
// show without an event loop; it destroys what it still owns.
class CQIRHTTP2SRVConnectionManagerTest : public CQIRHTTP2SRVThreadTest {
 protected:
  void SetUp() override {
    CQIRHTTP2SRVThreadTest::SetUp();
    ASSERT_TRUE(tmgr_.Initialize(1, &cmgr_, &callbacks_));
    ASSERT_TRUE(cmgr_.Initialize(&tmgr_, &callbacks_, &options_));
  }
};

}  // namespace

// Connections go to the workers in strict rotation, the monitor lists them
// per worker, a peer that closes is removed by its worker, and stopping the
// pool removes the rest.
TEST_F(CQIRHTTP2SRVThreadTest, RoundRobinMonitorAndRemoval) {
  MakePool(3);
  ASSERT_TRUE(Start());
  for (int i = 0; i < 5; ++i) ASSERT_GE(Connect(), 0);
  ASSERT_TRUE(WaitFor([&] { return Served() == 5; }));
  EXPECT_TRUE(tmgr_.IsNoProblem());
  for (int i : {0, 1, 2}) EXPECT_EQ(i < 2 ? 2 : 1, tmgr_.GetThread(i)->GetConnectionCount()) << i;
  std::string report = "before\n";  // the report is appended
  tmgr_.GetMonitor(report);
  EXPECT_EQ(0u, report.find("before\n\tThread Index :   0 \tConnections : 2\n"
                            "\tName : http://127.0.0.1:8080:0          \tIncomplete :    0\n"
                            "\tName : http://127.0.0.1:8080:3 ")) << report;
  ClosePeer(4);
  ASSERT_TRUE(WaitFor([&] { return disconnects_.load() == 1; }));
  EXPECT_EQ(1, tmgr_.GetThread(1)->GetConnectionCount());
  tmgr_.Stop();
  EXPECT_EQ(5, disconnects_.load());
  EXPECT_EQ(0, cmgr_.GetConnectionCount());
  tmgr_.Stop();  // harmless again
}

// The accepting side assigns (manager lock, then worker lock) while workers
// remove closed connections, and another thread walks the workers' maps
// (monitor, drain count, exit reservation): removal must keep the lock order
// (ThreadSanitizer reports an inversion even when the timing spares the
// hang), and the walks must not meet a removed connection.
TEST_F(CQIRHTTP2SRVThreadTest, ChurnWithoutLockInversionOrUnsafeWalks) {
  MakePool(2);
  ASSERT_TRUE(Start());
  std::atomic<bool> done{false};
  std::thread walker([&] {
    for (long n = 0; !done.load(); ++n) {
      std::string report;
      tmgr_.GetMonitor(report);
      tmgr_.GetRemainMessages();
      if (n % 50 == 0) tmgr_.SetExitReserved();
    }
  });
  Churn(150);
  done.store(true);
  walker.join();
  EXPECT_EQ(0, Served());
  EXPECT_TRUE(tmgr_.IsNoProblem());
}

// A socket epoll refuses (a file under the connection's descriptor) costs
// that connection only, and the worker serves the next one. A removed
// connection is unregistered before the application hears of it, so
// onDisconnect_ may answer (the id is gone: 1) without a lock to deadlock
// on; answers for a live id are queued and its worker told.
TEST_F(CQIRHTTP2SRVThreadTest, EpollRefusalAndRemovalUnregisterBeforeNotifying) {
  QIR_ST_HTTP2_RESPONSE res;
  res.streamId_ = 1;  // no such stream: the worker drops it when it submits
  std::atomic<int> fromCallback{-1};
  callbacks_.onDisconnect_ = [&](int32_t _id) {
    fromCallback.store(cmgr_.Response(_id, &res));
    ++disconnects_;
  };
  MakePool(1);
  int fd = Connect();
  ASSERT_GE(fd, 0);
  char path[] = "/tmp/qir_worker_XXXXXX";
  int file = mkstemp(path);
  unlink(path);
  ASSERT_EQ(fd, dup2(file, fd));
  close(file);
  ASSERT_TRUE(Start());
  ASSERT_TRUE(WaitFor([&] { return disconnects_.load() == 1; }));
  EXPECT_EQ(1, fromCallback.exchange(-1));
  EXPECT_EQ(0, cmgr_.GetConnectionCount());
  EXPECT_TRUE(tmgr_.IsNoProblem());
  ASSERT_GE(Connect(), 0);
  ASSERT_TRUE(WaitFor([&] { return Served() == 1; }));
  EXPECT_EQ(0, cmgr_.Response(1, &res));
  EXPECT_EQ(1, cmgr_.Response(7, &res));
  ClosePeer(1);
  ASSERT_TRUE(WaitFor([&] { return disconnects_.load() == 2; }));
  EXPECT_EQ(1, fromCallback.load());
  EXPECT_EQ(1, cmgr_.Response(1, &res));
  EXPECT_EQ(0, cmgr_.GetConnectionCount());
  EXPECT_TRUE(tmgr_.IsNoProblem());
}

// Whichever way a creation fails (application refuses, set-up fails after
// the session engine took the socket, no worker to serve it), nothing stays
// registered, the id is used up, the socket is closed once (by the engine
// when it owned it, never again by the caller), and onDisconnect_ follows
// only an onConnect_ that accepted.
TEST_F(CQIRHTTP2SRVConnectionManagerTest, FailedCreationClosesSocketExactlyOnce) {
  accept_ = false;
  int refused = NewSocket();
  EXPECT_FALSE(cmgr_.CreateConnection(&info_, refused));
  EXPECT_FALSE(IsOpen(refused));
  accept_ = true;

  CQIRHTTP2SRVConnectionInfo upgrade("http", 8080, true);
  int junk = NewSocket();
  const char text[] = "this is not HTTP/1.1\r\n\r\n";
  ASSERT_EQ(static_cast<ssize_t>(sizeof(text) - 1), write(peers_.back(), text, sizeof(text) - 1));
  shutdown(peers_.back(), SHUT_WR);
  EXPECT_FALSE(cmgr_.CreateConnection(&upgrade, junk));
  EXPECT_FALSE(IsOpen(junk));

  CQIRHTTP2SRVThreadManager empty;
  EXPECT_FALSE(empty.Initialize(0, &cmgr_, &callbacks_));
  CQIRHTTP2SRVConnectionManager noWorker;
  ASSERT_TRUE(noWorker.Initialize(&empty, &callbacks_, &options_));
  int orphan = NewSocket();
  EXPECT_FALSE(noWorker.CreateConnection(&info_, orphan));
  EXPECT_FALSE(IsOpen(orphan));

  EXPECT_EQ(0, cmgr_.GetConnectionCount());
  EXPECT_EQ(1, disconnects_.load());  // only the one onConnect_ accepted
  ASSERT_TRUE(cmgr_.CreateConnection(&info_, NewSocket()));
  EXPECT_EQ(2, lastId_);
}

// The synchronous answer record is reused for every request of a
// connection: headers the application added, a status it set and a body it
// gave must not carry over to the next answer.
TEST_F(CQIRHTTP2SRVThreadTest, SyncAnswerRecordStartsCleanForEveryRequest) {
  int calls = 0;
  callbacks_.onRequest_ = [&](int32_t, QIR_ST_HTTP2_REQUEST_RECV*, QIR_ST_HTTP2_RESPONSE* _res) {
    ++calls;
    _res->hdr_.emplace_back("content-type", "text/plain");
    if (calls == 1) {
      snprintf(_res->rs_, sizeof(_res->rs_), "%s", "201");
      memcpy(_res->payload_.data_, "first", 5);
      _res->payload_.size_ = 5;
    }
  };
  MakePool(1);
  ASSERT_TRUE(Start());
  ASSERT_GE(Connect(), 0);
  H2Peer peer(peers_.back());
  peer.Preface();
  for (int32_t id = 1; id <= 5; id += 2) {
    peer.Submit("GET", "/", "", {{"x-n", std::to_string(id)}});
    ASSERT_TRUE(WaitFor([&] {
      peer.Flush();
      peer.Drain();
      return peer.streams[id].closed;
    })) << id;
    int types = 0;
    for (const auto& f : peer.streams[id].hdr) types += f.first == "content-type";
    EXPECT_EQ(1, types) << id;
    EXPECT_EQ(id == 1 ? "201" : "200", peer.Status(id));
    EXPECT_EQ(id == 1 ? "first" : "", peer.streams[id].body);
  }
}

// Nothing but the worker's timer brings an idle connection back to its
// pass: IDLE_TIMEOUT must close it (GOAWAY NO_ERROR) with no input at all.
TEST_F(CQIRHTTP2SRVThreadTest, IdleTimeoutFiresFromTheWorkerTimer) {
  options_.nIdleTimeout_ = 1;
  MakePool(1);
  ASSERT_TRUE(Start());
  ASSERT_GE(Connect(), 0);
  H2Peer peer(peers_.back());
  peer.Preface();
  peer.Flush();
  ASSERT_TRUE(WaitFor([&] { return disconnects_.load() == 1; }));
  // The application hears of the end before the session writes its last
  // frames (the id is unregistered first): read until the GOAWAY comes.
  ASSERT_TRUE(WaitFor([&] {
    peer.Drain();
    return peer.Find(NGHTTP2_GOAWAY, 0) != nullptr;
  }));
  EXPECT_EQ(static_cast<uint32_t>(NGHTTP2_NO_ERROR), peer.Find(NGHTTP2_GOAWAY, 0)->code);
}
