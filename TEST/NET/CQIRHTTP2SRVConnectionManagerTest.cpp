#include "CQIRHTTP2SRVConnectionManager.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "CQIRHTTP2SRVConnection.h"
#include "CQIRHTTP2SRVConnectionInfo.h"
#include "CQIRHTTP2SRVThreadManager.h"

namespace {

bool IsOpen(int _fd) { return fcntl(_fd, F_GETFD) != -1 || errno != EBADF; }

// A manager over a pool whose worker never runs: assigned connections wait
// in its list, so the manager's own rules show without an event loop.
class CQIRHTTP2SRVConnectionManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    options_.nMaxPayloadSize_ = 1024;
    options_.nMaxConcurrentStream_ = 4;
    callbacks_.onConnect_ = [this](int32_t _id, const char*, const char*, int) {
      lastId_ = _id;
      return accept_;
    };
    callbacks_.onDisconnect_ = [this](int32_t) { ++disconnects_; };
    ASSERT_TRUE(tmgr_.Initialize(1, &cmgr_, &callbacks_));
    ASSERT_TRUE(cmgr_.Initialize(&tmgr_, &callbacks_, &options_));
    info_.ip_ = "127.0.0.1";
  }
  // The worker's list is dropped without removals; the manager destroys
  // what it still owns.
  void TearDown() override {
    tmgr_.Finalize();
    cmgr_.Finalize();
    for (int fd : peers_) close(fd);
  }

  int NewSocket() {  // the server end; the test keeps the client end
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) return -1;
    peers_.push_back(sv[1]);
    return sv[0];
  }

  QIR_ST_HTTP2_OPTIONS options_;
  QIR_HTTP2SRV_CALLBACKS callbacks_;
  CQIRHTTP2SRVThreadManager tmgr_;
  CQIRHTTP2SRVConnectionManager cmgr_;
  CQIRHTTP2SRVConnectionInfo info_{"http", 8080, false};
  std::vector<int> peers_;
  bool accept_ = true;
  int lastId_ = -1;
  int disconnects_ = 0;
};

}  // namespace

// A removed connection gives its session (buffers, socket) back at once but
// stays parked, alive for AsyncResponse callers, which now find it unusable;
// removing it again neither notifies nor parks it a second time (which
// would destroy it twice); the loop thread's collection destroys it after
// its delay, with no other connection coming or going.
TEST_F(CQIRHTTP2SRVConnectionManagerTest, RemovedConnectionReleasedAtOnceParkedOnce) {
  ASSERT_TRUE(cmgr_.CreateConnection(&info_, NewSocket()));
  CQIRHTTP2SRVConnection* conn = nullptr;
  ASSERT_TRUE(cmgr_.SearchConnection(0, &conn));
  EXPECT_STREQ("http://127.0.0.1:8080:0", conn->GetName());
  for (int i = 0; i < 2; ++i) {
    cmgr_.DeleteConnection(conn);
    EXPECT_EQ(1, disconnects_);
    EXPECT_EQ(0, cmgr_.GetConnectionCount());
    EXPECT_EQ(1, cmgr_.GetGarbageCount());
    EXPECT_FALSE(cmgr_.SearchConnection(0, &conn));
  }
  char buf[4096];
  ssize_t n;
  while ((n = recv(peers_.back(), buf, sizeof(buf), MSG_DONTWAIT)) > 0) {}
  EXPECT_EQ(0, n);  // the socket is closed (after the session's last frames)
  QIR_ST_HTTP2_RESPONSE res;
  res.streamId_ = 1;
  res.payload_.data_ = nullptr;
  res.payload_.size_ = 0;
  EXPECT_EQ(-3, conn->Response(&res));  // no engine behind it any more
  EXPECT_EQ(0, conn->GetIncompleteCount());

  cmgr_.SetGarbageDelay(0.05);
  for (int i = 0; i < 200 && cmgr_.GetGarbageCount() > 0; ++i) {
    cmgr_.CollectGarbage();
    usleep(5000);
  }
  EXPECT_EQ(0, cmgr_.GetGarbageCount());
}

// Whichever way a creation fails (application refuses, set-up fails after
// the session engine took the socket, no worker to serve it), nothing stays
// registered, the id is used up, and the socket is closed once: by the
// engine when it owned it, never again by the caller.
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
  EXPECT_FALSE(empty.Initialize(-2, &cmgr_, &callbacks_));
  CQIRHTTP2SRVConnectionManager noWorker;
  ASSERT_TRUE(noWorker.Initialize(&empty, &callbacks_, &options_));
  int orphan = NewSocket();
  EXPECT_FALSE(noWorker.CreateConnection(&info_, orphan));
  EXPECT_FALSE(IsOpen(orphan));

  EXPECT_EQ(0, cmgr_.GetConnectionCount());
  EXPECT_EQ(0, cmgr_.GetGarbageCount());
  EXPECT_EQ(0, disconnects_);
  ASSERT_TRUE(cmgr_.CreateConnection(&info_, NewSocket()));
  EXPECT_EQ(2, lastId_);
}
