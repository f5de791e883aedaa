#include "CQIRHTTP2SRVConnectionManager.h"

#include <gtest/gtest.h>

#include <errno.h>
#include <fcntl.h>
#include <string.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <string>

#include "CQIRHTTP2SRVConnection.h"
#include "CQIRHTTP2SRVConnectionInfo.h"
#include "CQIRHTTP2SRVThreadManager.h"

namespace {

bool IsOpen(int _fd) { return fcntl(_fd, F_GETFD) != -1 || errno != EBADF; }

// A manager over a pool whose worker is never started: assigned connections
// wait in its list, so the manager's own rules are seen without a loop.
class CQIRHTTP2SRVConnectionManagerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    options_ = QIR_ST_HTTP2_OPTIONS();
    options_.nMaxPayloadSize_ = 1024;
    options_.nMaxConcurrentStream_ = 4;
    callbacks_.onConnect_ = [this](int32_t _id, const char*, const char*, int) {
      lastConnectId_ = _id;
      return accept_;
    };
    callbacks_.onDisconnect_ = [this](int32_t) { ++disconnects_; };
    ASSERT_TRUE(tmgr_.Initialize(1, &cmgr_, &callbacks_));
    ASSERT_TRUE(cmgr_.Initialize(&tmgr_, &callbacks_, &options_));
    info_.ip_ = "127.0.0.1";
  }
  // The worker never ran: its list is dropped without removing anything, and
  // the manager destroys what it still owns.
  void TearDown() override {
    tmgr_.Finalize();
    cmgr_.Finalize();
    for (int fd : peers_) close(fd);
  }

  // The server end of a new socket pair; the test keeps the client end.
  int NewSocket() {
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
  int lastConnectId_ = -1;
  std::atomic<int> disconnects_{0};
};

}  // namespace

// Ids go up by one per accepted socket, also when the application refused
// the connection; a refused connection leaves nothing registered.
TEST_F(CQIRHTTP2SRVConnectionManagerTest, IdsCountEveryAcceptedSocket) {
  accept_ = false;
  int fd0 = NewSocket();
  EXPECT_FALSE(cmgr_.CreateConnection(&info_, fd0));
  EXPECT_EQ(0, lastConnectId_);
  EXPECT_FALSE(IsOpen(fd0));
  EXPECT_EQ(0, cmgr_.GetConnectionCount());

  accept_ = true;
  ASSERT_TRUE(cmgr_.CreateConnection(&info_, NewSocket()));
  EXPECT_EQ(1, lastConnectId_);
  CQIRHTTP2SRVConnection* conn = nullptr;
  EXPECT_FALSE(cmgr_.SearchConnection(0, &conn));
  ASSERT_TRUE(cmgr_.SearchConnection(1, &conn));
  EXPECT_STREQ("http://127.0.0.1:8080:1", conn->GetName());
  EXPECT_EQ(1, cmgr_.GetConnectionCount());
  EXPECT_EQ(0, disconnects_.load());
}

// A removed connection is parked (still alive for AsyncResponse callers),
// removing it a second time neither notifies nor parks it again, and it is
// destroyed by the first creation after its delay.
TEST_F(CQIRHTTP2SRVConnectionManagerTest, NeverParkedTwice) {
  ASSERT_TRUE(cmgr_.CreateConnection(&info_, NewSocket()));
  CQIRHTTP2SRVConnection* conn = nullptr;
  ASSERT_TRUE(cmgr_.SearchConnection(0, &conn));

  cmgr_.DeleteConnection(conn);
  EXPECT_EQ(1, disconnects_.load());
  EXPECT_EQ(0, cmgr_.GetConnectionCount());
  EXPECT_EQ(1, cmgr_.GetGarbageCount());
  CQIRHTTP2SRVConnection* found = nullptr;
  EXPECT_FALSE(cmgr_.SearchConnection(0, &found));
  EXPECT_EQ(0, conn->GetIncompleteCount());  // parked, not destroyed

  cmgr_.DeleteConnection(conn);
  EXPECT_EQ(1, disconnects_.load());
  EXPECT_EQ(1, cmgr_.GetGarbageCount());

  cmgr_.SetGarbageDelay(0.05);
  usleep(100000);
  ASSERT_TRUE(cmgr_.CreateConnection(&info_, NewSocket()));
  EXPECT_EQ(0, cmgr_.GetGarbageCount());
  EXPECT_EQ(1, cmgr_.GetConnectionCount());
}

// A set-up that fails after the session engine took the socket closes it
// through the engine; the manager reports false and nobody closes it again.
TEST_F(CQIRHTTP2SRVConnectionManagerTest, FailedCreationClosesSocketExactlyOnce) {
  CQIRHTTP2SRVConnectionInfo upgrade("http", 8080, true);
  upgrade.ip_ = "127.0.0.1";
  int fd = NewSocket();
  const char junk[] = "this is not HTTP/1.1\r\n\r\n";
  ASSERT_EQ(static_cast<ssize_t>(sizeof(junk) - 1), write(peers_.back(), junk, sizeof(junk) - 1));
  shutdown(peers_.back(), SHUT_WR);
  EXPECT_FALSE(cmgr_.CreateConnection(&upgrade, fd));
  EXPECT_FALSE(IsOpen(fd));
  EXPECT_EQ(0, cmgr_.GetConnectionCount());
  EXPECT_EQ(0, cmgr_.GetGarbageCount());
  EXPECT_EQ(0, disconnects_.load());
  // The id was used up all the same.
  ASSERT_TRUE(cmgr_.CreateConnection(&info_, NewSocket()));
  EXPECT_EQ(1, lastConnectId_);
}

// Without a worker to serve it a connection is not kept.
TEST_F(CQIRHTTP2SRVConnectionManagerTest, EmptyPoolKeepsNoConnection) {
  CQIRHTTP2SRVThreadManager empty;
  EXPECT_FALSE(empty.Initialize(0, &cmgr_, &callbacks_));
  EXPECT_FALSE(empty.Initialize(-2, &cmgr_, &callbacks_));
  CQIRHTTP2SRVConnectionManager cmgr;
  ASSERT_TRUE(cmgr.Initialize(&empty, &callbacks_, &options_));
  int fd = NewSocket();
  EXPECT_FALSE(cmgr.CreateConnection(&info_, fd));
  EXPECT_FALSE(IsOpen(fd));
  EXPECT_EQ(0, cmgr.GetConnectionCount());
}
