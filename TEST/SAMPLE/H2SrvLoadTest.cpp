// h2srv-sample under hostile load: peers that connect and stay silent, and
// more connections than the server takes. The built program on free
// loopback ports, normal clients served meanwhile.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <string>
#include <vector>

#include "SAMPLE/H2SrvTestUtil.h"

using namespace h2srv_test;

namespace {

const char* const kBinary = QIR_BINARY_DIR "/h2srv-sample";

// The program on a written configuration, its output in a file.
class Server {
 public:
  ~Server() { Stop(); }
  bool Start(const std::string& _dir, const std::string& _ini, int _status = -1) {
    log_ = _dir + "/server.out";
    WriteFile(_dir + "/server.ini", _ini);
    if ((pid_ = fork()) == 0) {
      int fd = open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      dup2(fd, 1);
      dup2(fd, 2);
      execl(kBinary, kBinary, (_dir + "/server.ini").c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
    // Ready once every configured port listens; or, when an exit is
    // expected, once the program has ended with it.
    for (int i = 0; i < 1500; ++i) {
      int st = 0;
      if (waitpid(pid_, &st, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(st) && WEXITSTATUS(st) == _status;
      }
      size_t ports = Count("listen port : ");
      if (_status < 0 && ports > 0 && Count("Start listening...") == ports) return true;
      usleep(10000);
    }
    return false;
  }
  void Stop() {
    if (pid_ <= 0) return;
    kill(pid_, SIGTERM);
    for (int i = 0; i < 1500 && waitpid(pid_, nullptr, WNOHANG) != pid_; ++i) usleep(10000);
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, WNOHANG);
    pid_ = -1;
  }
  std::string Output() const { return ReadFile(log_); }
  size_t Count(const std::string& _what) const {
    std::string text = Output();
    size_t n = 0;
    for (size_t p = text.find(_what); p != std::string::npos; p = text.find(_what, p + 1)) ++n;
    return n;
  }
  // Bounded wait until _what shows up _n times in the output.
  bool WaitCount(const std::string& _what, size_t _n, int _ms) const {
    for (int waited = 0; waited <= _ms; waited += 20) {
      if (Count(_what) >= _n) return true;
      usleep(20000);
    }
    return false;
  }

 private:
  pid_t pid_ = -1;
  std::string log_;
};

std::string Ini(const std::string& _ssl, const std::string& _listener) {
  return "[SSL/TLS]\n" + _ssl + "[THREAD]\nPOOL_SIZE = 1\n[LISTENER]\n" + _listener +
         "[HTTP2_OPTIONS]\nPING_PERIOD = 60\nPING_TIMEOUT = 10\n";
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
    dir_ = MakeTempDir();
  }
  void TearDown() override {
    for (int fd : silent_) close(fd);
    RemoveTree(dir_);
  }
  int Connect(int _port) {
    int fd = Loopback(&_port);
    if (fd >= 0) silent_.push_back(fd);
    return fd;
  }
  std::string dir_;
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
  Server srv;
  ASSERT_TRUE(srv.Start(dir_, Ini("HTTP1X_UPGRADE = true\nUSE_SSL = true\nSSL_KEY_FILE = " + key +
                                      "\nSSL_CRT_FILE = " + crt + "\nSSL_CA_FILE = n/a\n",
                                  "HTTP_PORT = " + std::to_string(up) +
                                      "\nHTTPS_PORT = " + std::to_string(tls) + "\n")))
      << srv.Output();
  for (int i = 0; i < 50; ++i) {
    ASSERT_GE(Connect(up), 0);
    ASSERT_GE(Connect(tls), 0);
  }
  ASSERT_TRUE(srv.WaitCount("just connected", 100, 10000)) << srv.Output();
  EXPECT_EQ("ping 200", Post("--http2", "http://127.0.0.1:" + std::to_string(up) + "/a"));
  EXPECT_EQ("ping 200", Post("--http2 -k", "https://127.0.0.1:" + std::to_string(tls) + "/b"));
  EXPECT_TRUE(srv.WaitCount("Receive HTTP/2 upgrade request. timeout!..", 50, 10000))
      << srv.Output();
  EXPECT_TRUE(srv.WaitCount("SSL_accept() failed!..handshake not complete within 3000 ms", 50,
                            10000))
      << srv.Output();
  for (int fd : silent_) {
    char c;
    EXPECT_EQ(0, recv(fd, &c, 1, MSG_DONTWAIT));  // closed by the server
  }
  EXPECT_EQ(0u, srv.Count("gethostbyaddr_r"));  // no name lookup on the accept path
}

// MAX_CONNECTIONS: an invalid value stops the start; past the limit a new
// socket is closed at once with a log line; once a connection goes, the
// next one is served again.
TEST_F(H2SrvLoadTest, ConnectionLimit) {
  int port = FreePort();
  const std::string plain = "HTTP1X_UPGRADE = false\nUSE_SSL = false\n";
  const std::string listen = "HTTP_PORT = " + std::to_string(port) + "\n";
  {
    Server bad;
    ASSERT_TRUE(bad.Start(dir_, Ini(plain, listen + "MAX_CONNECTIONS = 0\n"), 1));
    EXPECT_EQ(1u, bad.Count("configuration(LISTENER:MAX_CONNECTIONS) value(0) invalid"))
        << bad.Output();
  }
  Server srv;
  ASSERT_TRUE(srv.Start(dir_, Ini(plain, listen + "MAX_CONNECTIONS = 2\n"))) << srv.Output();
  ASSERT_GE(Connect(port), 0);
  ASSERT_GE(Connect(port), 0);
  ASSERT_TRUE(srv.WaitCount("created...", 2, 10000)) << srv.Output();
  int extra = Connect(port);
  ASSERT_GE(extra, 0);
  timeval limit{10, 0};
  setsockopt(extra, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  char c;
  EXPECT_EQ(0, recv(extra, &c, 1, 0));  // closed, not served
  EXPECT_EQ(1u, srv.Count("connection limit(2) reached"));
  close(silent_.front());
  silent_.erase(silent_.begin());
  ASSERT_TRUE(srv.WaitCount("removed...", 1, 10000)) << srv.Output();
  EXPECT_EQ("ping 200", Post("--http2-prior-knowledge", "http://127.0.0.1:" + std::to_string(port)));
}
