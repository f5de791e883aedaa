#include "CQIRSocketNew.h"

#include "CQIRServiceLog.h"
#include "NET/QIRNetTestUtil.h"
#include "QIRCommonOpenSSL.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <sched.h>
#include <signal.h>
#include <string.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace {

// A connected socketpair: fd[0] for the object under test, fd[1] the peer's.
struct Pair {
  Pair() { socketpair(AF_UNIX, SOCK_STREAM, 0, fd); }
  ~Pair() { ClosePeer(); }
  void ClosePeer() {
    if (fd[1] >= 0) close(fd[1]);
    fd[1] = -1;
  }
  int fd[2] = {-1, -1};
};

int Port(int _fd) {
  sockaddr_in6 a{};  // the port sits at the same offset for both families
  socklen_t len = sizeof(a);
  getsockname(_fd, reinterpret_cast<sockaddr*>(&a), &len);
  return ntohs(a.sin6_port);
}

int Listener(const char* _ip) {
  int fd = socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  inet_pton(AF_INET, _ip, &a.sin_addr);
  bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a));
  listen(fd, 8);
  return fd;
}

bool Blocking(int _fd) { return (fcntl(_fd, F_GETFL) & O_NONBLOCK) == 0; }

std::atomic<int> g_sigpipes{0};

class CQIRSocketNewTest : public ::testing::Test {
 protected:
  void SetUp() override { QIR_OPEN_SERVICE_LOG(QIR_LOG_ALL); }
  void TearDown() override { QIR_CLOSE_SERVICE_LOG(); }
  Pair p_;
};

class CQIRSocketNewTlsTest : public CQIRSocketNewTest {
 protected:
  void SetUp() override {
    CQIRSocketNewTest::SetUp();
    QIR_SSL_INIT();
    server_ = QIR_SSL_CREATE_SERVER_CTX(QIRTrustPki().Key("selfsigned").c_str(),
                                        QIRTrustPki().Pem("selfsigned").c_str(), nullptr);
    client_ = QIR_SSL_CREATE_CLIENT_CTX(nullptr, nullptr, nullptr);
    ASSERT_TRUE(server_ && client_);
  }
  void TearDown() override {
    G_QIR_SSL_HANDSHAKE_TIMEOUT_MSEC = 3000;
    SSL_CTX_free(server_);
    SSL_CTX_free(client_);
    QIR_SSL_CLEANUP();
    CQIRSocketNewTest::TearDown();
  }
  // Both ends of a TLS connection over a socketpair; _clientCtx null: client_.
  bool Connect(CQIRSocketNew& _server, CQIRSocketNew& _client, SSL_CTX* _clientCtx = nullptr) {
    int sv[2];
    socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
    bool serverOk = false;
    std::thread t([&] { serverOk = _server.SetFD(sv[0], server_, QIR_SSL_MODE_SERVER); });
    bool clientOk = _client.SetFD(sv[1], _clientCtx ? _clientCtx : client_, QIR_SSL_MODE_CLIENT);
    if (!clientOk) shutdown(sv[1], SHUT_RDWR);
    t.join();
    return serverOk && clientOk;
  }
  SSL_CTX* server_ = nullptr;
  SSL_CTX* client_ = nullptr;
};

}  // namespace

// The buffer is exactly _maxSize long. The byte past it used to be stored
// before the check; a message that is only the delimiter is complete at once.
TEST_F(CQIRSocketNewTest, DelimiterRecv) {
  const struct {
    const char *input, *delimiter;
    bool peerCloses;
    int maxSize, expect;
    const char* left;  // still in the socket afterwards
  } cases[] = {
      {"GET / HTTP/1.1\r\nHost: a\r\n\r\nBODY", "\r\n\r\n", false, 64, 27, "BODY"},
      {"HTTP/1.1 101\r\n\r\n", "\r\n\r\n", false, 16, 16, ""},  // fills _maxSize exactly
      {"partial", "\r\n\r\n", false, 64, 7, ""},                 // would block: the count so far
      {"partial", "\r\n\r\n", true, 64, 7, ""},                  // peer closed: likewise
      {"0123456789", "\r\n", false, 9, -3, nullptr},             // overflow
      {"\nnext\n", "\n", false, 16, 1, "next\n"}};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.input);
    Pair p;
    CQIRSocketNew s;
    ASSERT_TRUE(s.SetFD(p.fd[0], nullptr, 0) && CQIRSocketNew::SET_NONBLOCK(p.fd[0]));
    send(p.fd[1], c.input, strlen(c.input), 0);
    if (c.peerCloses) shutdown(p.fd[1], SHUT_WR);
    std::unique_ptr<char[]> buf(new char[c.maxSize]);
    int n = 0;
    Captured([&] { n = s.Recv(buf.get(), c.delimiter, c.maxSize); });
    EXPECT_EQ(c.expect, n);
    EXPECT_EQ(std::string(c.input, n > 0 ? n : 0), std::string(buf.get(), n > 0 ? n : 0));
    char rest[64];
    int r = s.RecvOnce(rest, sizeof(rest));
    if (c.left != nullptr) {
      EXPECT_EQ(c.left, std::string(rest, r > 0 ? r : 0));
    }
  }
}

// On the wire: original length, block length, one raw LZ4 block; a message
// or frame larger than the buffer is refused, not written past it.
TEST_F(CQIRSocketNewTest, CompressedFrames) {
  CQIRSocketNew s, r;
  Pair q;
  ASSERT_TRUE(s.SetFD(p_.fd[0], nullptr, 0) && s.InitCompress(4096) && r.SetFD(q.fd[0], nullptr, 0) &&
              r.InitCompress(4096));
  std::string msg;
  for (int i = 0; i < 200; ++i) msg += "frame-" + std::to_string(i % 7) + ";";
  Captured([&] { EXPECT_EQ(-1, s.CompressSend(std::string(4097, 'x').data(), 4097)); });
  ASSERT_EQ(static_cast<int>(msg.size()), s.CompressSend(msg.data(), msg.size()));
  std::vector<char> wire(8192);
  int got = static_cast<int>(recv(p_.fd[1], wire.data(), wire.size(), MSG_DONTWAIT));
  int32_t head[2];
  memcpy(head, wire.data(), 8);
  EXPECT_EQ(static_cast<int32_t>(msg.size()), head[0]);
  EXPECT_EQ(got, head[1] + 8);
  std::string back(msg.size(), '\0');
  send(q.fd[1], wire.data(), got, 0);  // twice: read back, then into too small a buffer
  send(q.fd[1], wire.data(), got, 0);
  EXPECT_EQ(head[0], r.DecompressRecv(&back[0], back.size()));
  EXPECT_EQ(msg, back);
  Captured([&] { EXPECT_EQ(-1, r.DecompressRecv(&back[0], back.size() - 1)); });
}

// A name with two addresses, the first refusing: the second must be tried,
// with a fresh socket. The name lives in a private /etc/hosts, bind-mounted
// in a child's own mount namespace.
TEST_F(CQIRSocketNewTest, ConnectTriesEveryResolvedAddressInOrder) {
  qirtest::TempDir tmp;
  const std::string hosts = tmp / "hosts";
  qirtest::WriteAll(hosts, "127.0.0.61 qir-multi\n127.0.0.62 qir-multi\n");
  pid_t pid = fork();
  if (pid == 0) {
    if (unshare(CLONE_NEWNS) != 0 || mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        mount(hosts.c_str(), "/etc/hosts", nullptr, MS_BIND, nullptr) != 0) {
      _exit(77);
    }
    addrinfo hints{}, *list = nullptr;
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    if (getaddrinfo("qir-multi", "1", &hints, &list) != 0 || list->ai_next == nullptr) _exit(78);
    // The second address in resolver order is the one that answers.
    sockaddr_in second = *reinterpret_cast<sockaddr_in*>(list->ai_next->ai_addr);
    freeaddrinfo(list);
    char ip[INET_ADDRSTRLEN];
    int lfd = Listener(inet_ntop(AF_INET, &second.sin_addr, ip, sizeof(ip)));
    int fd = CQIRSocketNew::CONNECT("qir-multi", Port(lfd), 2);
    sockaddr_in peer{};
    socklen_t len = sizeof(peer);
    _exit(fd >= 0 && getpeername(fd, reinterpret_cast<sockaddr*>(&peer), &len) == 0 &&
                  peer.sin_addr.s_addr == second.sin_addr.s_addr ? 0 : 1);
  }
  int status = 0;
  waitpid(pid, &status, 0);
  if (WIFEXITED(status) && WEXITSTATUS(status) == 77) GTEST_SKIP() << "no private mount namespace here";
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
}

TEST_F(CQIRSocketNewTest, SctpListenFailsCleanlyWithoutKernelSupport) {
  int probe = socket(AF_INET, SOCK_STREAM, IPPROTO_SCTP);
  if (probe >= 0) close(probe);
  const int lowestFree = dup(0);
  close(lowestFree);
  int fd = -1;
  Captured([&] { fd = CQIRSocketNew::LISTEN2(IPPROTO_SCTP, 0, AF_INET); });
  if (probe >= 0) {
    EXPECT_GE(fd, 0);
    close(fd);
    return;
  }
  EXPECT_EQ(-1, fd);
  EXPECT_EQ(lowestFree, dup(0));  // nothing leaked
  close(lowestFree);
  GTEST_SKIP() << "this kernel lacks SCTP: only the clean failure was checked";
}

// select() cannot take a descriptor at or above FD_SETSIZE (its set would be
// written out of bounds); SELECT and ACCEPT must still work there.
TEST_F(CQIRSocketNewTest, SelectWorksOnDescriptorAboveFdSetSize) {
  rlimit saved{};
  getrlimit(RLIMIT_NOFILE, &saved);
  const int high = FD_SETSIZE + 100;
  rlimit raised = saved;
  raised.rlim_cur = std::max<rlim_t>(saved.rlim_cur, std::min<rlim_t>(saved.rlim_max, high + 1));
  setrlimit(RLIMIT_NOFILE, &raised);
  if (dup2(p_.fd[0], high) != high) GTEST_SKIP() << "descriptor limit below " << high;
  EXPECT_EQ(0, CQIRSocketNew::SELECT(high, 0, 1000));
  send(p_.fd[1], "r", 1, 0);
  EXPECT_EQ(1, CQIRSocketNew::SELECT(high, 1, 0));
  int lfd = Listener("127.0.0.1");
  dup2(lfd, high);
  char ip[QIR_SOCKET_IP_SIZE];
  EXPECT_EQ(0, CQIRSocketNew::ACCEPT(high, 1000, ip, nullptr));
  close(high);
  close(lfd);
  close(p_.fd[0]);
  setrlimit(RLIMIT_NOFILE, &saved);
}

// Traffic and its codes: -1 would block, 0 peer closed. A write to a peer
// that has gone must fail with -2, not raise SIGPIPE (which ends any process
// that does not ignore it): TLS and plain.
TEST_F(CQIRSocketNewTlsTest, TrafficRefusalsAndNoSigpipe) {
  CQIRSocketNew server, client;
  ASSERT_TRUE(Connect(server, client));
  EXPECT_TRUE(Blocking(server.GetSocket()));  // as before the handshake
  EXPECT_EQ(5, client.Send("hello", 5));
  char buf[16];
  EXPECT_EQ(5, server.Recv(buf, sizeof(buf)));
  CQIRSocketNew::SET_NONBLOCK(server.GetSocket());
  EXPECT_EQ(-1, server.Recv(buf, sizeof(buf)));
  EXPECT_EQ(-2, server.Recv(buf, "\r\n", 16));  // no delimiter reads over TLS
  struct sigaction count {}, old {};  // counted, not ignored, so that one shows
  count.sa_handler = [](int) { ++g_sigpipes; };
  sigaction(SIGPIPE, &count, &old);
  g_sigpipes = 0;
  client.Clear();
  EXPECT_EQ(0, server.Recv(buf, sizeof(buf)));  // close_notify arrived
  std::vector<char> data(64 * 1024, 'd');
  int rc = 0;
  for (int i = 0; i < 4 && rc >= 0; ++i) rc = server.Send(data.data(), data.size());
  EXPECT_EQ(-2, rc);
  server.Clear();  // close_notify towards a gone peer
  for (int method : {QIR_SOCKET_IO_ONCE, QIR_SOCKET_IO_LOOP}) {
    Pair p;
    CQIRSocketNew s;
    s.SetIOMethod(method);
    ASSERT_TRUE(s.SetFD(p.fd[0], nullptr, 0));
    p.ClosePeer();
    EXPECT_EQ(-2, s.Send("x", 1)) << method;
  }
  sigaction(SIGPIPE, &old, nullptr);
  EXPECT_EQ(0, g_sigpipes.load());

  // A client without ALPN completes the handshake, but not "h2"; a plain
  // text client, and an unknown mode, fail.
  SSL_CTX* noAlpn = SSL_CTX_new(TLS_client_method());
  CQIRSocketNew s2, c2, s3;
  send(p_.fd[1], "GET / HTTP/1.1\r\n\r\n", 18, 0);
  Pair q;
  std::string log = Captured([&] {
    EXPECT_FALSE(Connect(s2, c2, noAlpn));
    EXPECT_FALSE(s3.SetFD(p_.fd[0], server_, QIR_SSL_MODE_SERVER));
    s3.Clear();
    EXPECT_FALSE(s3.SetFD(q.fd[0], server_, 3));
  });
  EXPECT_TRUE(Has(log, "]h2 is not negotiated...")) << log;
  SSL_CTX_free(noAlpn);
}

// A client that connects and never speaks used to hold the accepting thread
// forever; the handshake now gives up after its bound, on both sides.
TEST_F(CQIRSocketNewTlsTest, SilentPeerCannotHoldTheHandshake) {
  G_QIR_SSL_HANDSHAKE_TIMEOUT_MSEC = 200;
  for (int mode : {QIR_SSL_MODE_SERVER, QIR_SSL_MODE_CLIENT}) {
    Pair silent;
    CQIRSocketNew s;
    SSL_CTX* ctx = mode == QIR_SSL_MODE_SERVER ? server_ : client_;
    std::string log = Captured([&] { EXPECT_FALSE(s.SetFD(silent.fd[0], ctx, mode)); });
    EXPECT_TRUE(Has(log, "failed!..handshake not complete within 200 ms")) << log;
    EXPECT_TRUE(Blocking(s.GetSocket()));
  }
}
