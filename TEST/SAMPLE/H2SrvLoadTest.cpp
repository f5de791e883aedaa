// h2srv-sample under hostile load: peers that connect and stay silent, and
// more connections than the server takes. The built program on free
// loopback ports, normal clients served meanwhile.

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <sys/time.h>

#include <string>
#include <vector>

#include "SAMPLE/H2SrvTestUtil.h"

using namespace h2srv_test;

namespace {

std::string LoadIni(const std::string& _ssl, const std::string& _listener) {
  return Ini(_ssl, 1, _listener, "PING_PERIOD = 60\nPING_TIMEOUT = 10");
}

// "status body" of one curl POST, or what went wrong.
std::string Post(const std::string& _flags, const std::string& _url) {
  std::string out;
  int rc = RunCmd("curl -sS " + _flags + " -o - -w ' %{http_code}' -d ping " + _url, &out, 15);
  return rc == 0 ? out : "curl failed(" + std::to_string(rc) + "): " + out;
}

class H2SrvLoadTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (!CurlHasHttp2()) GTEST_SKIP() << "curl lacks HTTP/2";
  }
  void TearDown() override {
    for (int fd : silent_) close(fd);
  }
  int Connect(int _port) {
    int fd = Loopback(&_port);
    if (fd >= 0) silent_.push_back(fd);
    return fd;
  }
  TempDir tmp_;
  const std::string dir_ = tmp_.path();
  std::vector<int> silent_;
};

}  // namespace

// 50 silent clients on the upgrade port and 50 on the TLS port: each one is
// set up off the accepting thread, so normal clients on both ports are
// served at once, and each silent one is closed at its deadline with the
// usual message.
TEST_F(H2SrvLoadTest, SilentClientsHoldNeitherPort) {
  std::string key, crt;
  ASSERT_TRUE(MakeCert(dir_, &key, &crt));
  int up = FreePort(), tls = FreePort();
  SampleServer srv;
  ASSERT_TRUE(srv.Start(dir_, LoadIni("HTTP1X_UPGRADE = true\nUSE_SSL = true\nSSL_KEY_FILE = " + key +
                                          "\nSSL_CRT_FILE = " + crt + "\nSSL_CA_FILE = n/a",
                                      Ports(up, tls)),
                        {up, tls}))
      << srv.Output();
  for (int i = 0; i < 50; ++i) {
    ASSERT_GE(Connect(up), 0);
    ASSERT_GE(Connect(tls), 0);
  }
  ASSERT_TRUE(srv.Shows("just connected", 100)) << srv.Output();
  EXPECT_EQ("ping 200", Post("--http2", "http://127.0.0.1:" + std::to_string(up) + "/a"));
  EXPECT_EQ("ping 200", Post("--http2 -k", "https://127.0.0.1:" + std::to_string(tls) + "/b"));
  EXPECT_TRUE(srv.Shows("Receive HTTP/2 upgrade request. timeout!..", 50)) << srv.Output();
  EXPECT_TRUE(srv.Shows("SSL_accept() failed!..handshake not complete within 3000 ms", 50))
      << srv.Output();
  for (int fd : silent_) {
    char c;
    EXPECT_EQ(0, recv(fd, &c, 1, MSG_DONTWAIT));  // closed by the server
  }
  EXPECT_EQ(0u, Count(srv.Output(), "gethostbyaddr_r"));  // no name lookup on the accept path
}

// MAX_CONNECTIONS: an invalid value stops the start; past the limit a new
// socket is closed at once with a log line; once a connection goes, the
// next one is served again.
TEST_F(H2SrvLoadTest, ConnectionLimit) {
  int port = FreePort();
  {
    SampleServer bad;
    EXPECT_FALSE(bad.Start(dir_, LoadIni(kPlain, Ports(port, 0) + "MAX_CONNECTIONS = 0"), {port}));
    EXPECT_EQ(1, bad.Wait(15000));
    EXPECT_EQ(1u, Count(bad.Output(), "configuration(LISTENER:MAX_CONNECTIONS) value(0) invalid"))
        << bad.Output();
  }
  SampleServer srv;
  ASSERT_TRUE(srv.Start(dir_, LoadIni(kPlain, Ports(port, 0) + "MAX_CONNECTIONS = 2"), {port}))
      << srv.Output();
  ASSERT_GE(Connect(port), 0);
  ASSERT_GE(Connect(port), 0);
  ASSERT_TRUE(srv.Shows("created...", 2)) << srv.Output();
  int extra = Connect(port);
  ASSERT_GE(extra, 0);
  timeval limit{10, 0};
  setsockopt(extra, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  char c;
  EXPECT_EQ(0, recv(extra, &c, 1, 0));  // closed, not served
  EXPECT_EQ(1u, Count(srv.Output(), "connection limit(2) reached"));
  close(silent_.front());
  silent_.erase(silent_.begin());
  ASSERT_TRUE(srv.Shows("removed...")) << srv.Output();
  EXPECT_EQ("ping 200", Post("--http2-prior-knowledge", "http://127.0.0.1:" + std::to_string(port)));
}
