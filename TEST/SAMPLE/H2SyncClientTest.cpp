// h2sync-client end to end: its command line, and runs against servers
// written elsewhere (nghttpd over TLS; nghttpx accepting the h2c upgrade in
// front of nghttpd) and against h2srv-sample.
#include "SAMPLE/H2SrvTestUtil.h"

#include "CQIRHttp2Request.h"
#include "QIRCommonOpenSSL.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using h2srv_test::FreePort;
using h2srv_test::ReadFile;

const std::string kClient = std::string(QIR_BINARY_DIR) + "/h2sync-client";
const std::string kServer = std::string(QIR_BINARY_DIR) + "/h2srv-sample";

bool Listening(int _port) {
  for (int i = 0; i < 500; ++i) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons((uint16_t)_port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool ok = connect(fd, (sockaddr*)&a, sizeof(a)) == 0;
    close(fd);
    if (ok) return true;
    usleep(10000);
  }
  return false;
}

// A child process whose output goes to files; Enter() gives its standard
// input one line (at once unless told otherwise).
struct Child {
  pid_t pid = -1;
  int in_ = -1;
  std::string out, err;

  Child(const std::vector<std::string>& _argv, const std::string& _dir, bool _enter = true) {
    out = _dir + "/out." + std::to_string(getpid()) + "." + std::to_string(seq_);
    err = out + ".err";
    ++seq_;
    int in[2];
    if (pipe(in) != 0) return;
    pid = fork();
    if (pid == 0) {
      dup2(in[0], 0);
      int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
      dup2(o, 1);
      dup2(e, 2);
      std::vector<char*> args;
      for (const std::string& a : _argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execvp(args[0], args.data());
      _exit(127);
    }
    close(in[0]);
    in_ = in[1];
    if (_enter) Enter();
  }
  void Enter() {
    if (in_ < 0) return;
    if (write(in_, "\n", 1) != 1) {}  // the client starts on Enter
    close(in_);
    in_ = -1;
  }
  // Exit status, or -1 when it had to be killed after _seconds.
  int Wait(int _seconds = 60) {
    for (int i = 0; i < _seconds * 100; ++i) {
      int status;
      if (waitpid(pid, &status, WNOHANG) == pid) {
        pid = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
      }
      usleep(10000);
    }
    Stop();
    return -1;
  }
  void Stop() {
    if (pid <= 0) return;
    kill(pid, SIGTERM);
    for (int i = 0; i < 200 && waitpid(pid, nullptr, WNOHANG) != pid; ++i) usleep(10000);
    if (waitpid(pid, nullptr, WNOHANG) == 0) {
      kill(pid, SIGKILL);
      waitpid(pid, nullptr, 0);
    }
    pid = -1;
  }
  ~Child() {
    Enter();
    Stop();
  }
  static int seq_;
};
int Child::seq_ = 0;

class H2SyncClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(kClient.c_str(), X_OK) != 0) GTEST_SKIP() << "h2sync-client not built";
    dir_ = h2srv_test::MakeTempDir();
    ASSERT_FALSE(dir_.empty());
  }
  void TearDown() override { h2srv_test::RemoveTree(dir_); }
  // Runs the client to its end: exit status, standard output and error.
  int Client(std::vector<std::string> _args, std::string* _out, std::string* _err = nullptr) {
    _args.insert(_args.begin(), kClient);
    Child c(_args, dir_);
    int rc = c.Wait();
    *_out = ReadFile(c.out);
    if (_err) *_err = ReadFile(c.err);
    return rc;
  }
  bool MakeCert() { return h2srv_test::MakeCert(dir_, &key_, &crt_); }
  std::string dir_, key_, crt_;
};

int Count(const std::string& _text, const std::string& _what) {
  int n = 0;
  for (size_t at = _text.find(_what); at != std::string::npos; at = _text.find(_what, at + 1)) ++n;
  return n;
}

// The -v line of request _i against an echo server.
std::string EchoLine(int _i) {
  char line[96];
  snprintf(line, sizeof(line), "%d response status:200,value[4096:%08d]\n", _i, _i);
  return line;
}

TEST_F(H2SyncClientTest, ArgumentRules) {
  std::string closed = std::to_string(FreePort());  // nobody listens there
  struct Case {
    std::vector<std::string> args;
    int status;
    bool usage;
  } cases[] = {
      {{}, 0, true},
      {{"-h", "127.0.0.1"}, 0, true},                       // no port
      {{"-h", "127.0.0.1", "-p", "0"}, 0, true},            // port 0 counts as missing
      {{"-p", closed}, 1, false},                           // empty host: connect fails
      {{"-h", "127.0.0.1", "-e", "-p", closed}, 1, false},  // a later -p forgives -e
      {{"-e", "-h", "127.0.0.1", "-p", closed}, 1, false},  // so does a later -h
      {{"-h", "127.0.0.1", "-p", closed, "-e"}, 0, true},   // nothing after -e
  };
  for (const Case& c : cases) {
    std::string all;
    for (const std::string& a : c.args) all += a + " ";
    SCOPED_TRACE(all);
    std::string out, err;
    EXPECT_EQ(c.status, Client(c.args, &out, &err));
    EXPECT_EQ(c.usage ? 1 : 0, Count(err, "Invalid Arguments...\n"));
    if (c.usage) {
      EXPECT_NE(std::string::npos, err.find("\t -e       : external event dispath mode\n"));
      EXPECT_NE(std::string::npos, err.find("examples)\n\t"));
    }
  }
}

// A host of 32 or more characters used to overrun the 32-byte option buffer.
TEST_F(H2SyncClientTest, HostLongerThan31CharactersIsRefused) {
  std::string out, err;
  EXPECT_EQ(0, Client({"-h", std::string(40, 'a'), "-p", "8000"}, &out, &err));
  EXPECT_NE(std::string::npos, err.find("too long"));
  EXPECT_EQ(1, Count(err, "Invalid Arguments...\n"));
}

TEST_F(H2SyncClientTest, NghttpdOverTls) {
  if (!h2srv_test::HaveCommand("nghttpd")) GTEST_SKIP() << "nghttpd missing";
  ASSERT_TRUE(MakeCert());
  std::string port = std::to_string(FreePort());
  Child srv({"nghttpd", "--echo-upload", "-a", "127.0.0.1", port, key_, crt_},
            dir_);
  ASSERT_TRUE(Listening(std::stoi(port)));
  std::string out;
  ASSERT_EQ(0, Client({"-h", "127.0.0.1", "-p", port, "-v", "-c", "10"}, &out));
  for (int i = 0; i < 10; ++i) EXPECT_EQ(1, Count(out, EchoLine(i))) << out;
  EXPECT_EQ(1, Count(out, "\n10 elapsed...")) << out;
  ASSERT_EQ(0, Client({"-h", "127.0.0.1", "-p", port, "-c", "0"}, &out));
  EXPECT_EQ(1, Count(out, "\n0 elapsed...")) << out;
}

// nghttpx answers the upgrade request ("GET /", 404 from nghttpd) on stream
// 1; only the requested resources may show.
TEST_F(H2SyncClientTest, UpgradeThroughNghttpxShowsOnlyRequestedResources) {
  if (!h2srv_test::HaveCommand("nghttpx")) GTEST_SKIP() << "nghttpx missing";
  std::string back = std::to_string(FreePort());
  std::string front = std::to_string(FreePort());
  Child origin({"nghttpd", "--echo-upload", "--no-tls", "-a", "127.0.0.1", back}, dir_);
  Child proxy({"nghttpx", "--single-process", "--conf=/dev/null", "--no-ocsp", "-n1",
               "-f127.0.0.1," + front + ";no-tls", "-b127.0.0.1," + back + ";;proto=h2",
               "--errorlog-file=" + dir_ + "/nghttpx.err"},
              dir_);
  ASSERT_TRUE(Listening(std::stoi(back)));
  ASSERT_TRUE(Listening(std::stoi(front)));
  std::string out;
  ASSERT_EQ(0, Client({"-h", "127.0.0.1", "-p", front, "-u", "-v", "-c", "5"}, &out));
  for (int i = 0; i < 5; ++i) EXPECT_EQ(1, Count(out, EchoLine(i))) << out;
  EXPECT_EQ(5, Count(out, " response status:")) << out;
  EXPECT_EQ(1, Count(out, "\n5 elapsed...")) << out;
}

// h2srv-sample echoes every body with 200: a TLS port and an upgrade port.
class H2SrvSampleRunTest : public H2SyncClientTest {
 protected:
  void SetUp() override {
    H2SyncClientTest::SetUp();
    if (IsSkipped()) return;
    if (access(kServer.c_str(), X_OK) != 0) GTEST_SKIP() << "h2srv-sample not built";
    ASSERT_TRUE(MakeCert());
  }
  // Starts the server with its keep-alive ping period and time-out.
  void Start(int _ping = 2) {
    http_ = std::to_string(FreePort());
    https_ = std::to_string(FreePort());
    std::string ping = std::to_string(_ping);
    h2srv_test::WriteFile(dir_ + "/srv.ini",
                          "[SSL/TLS]\nHTTP1X_UPGRADE = true\nUSE_SSL = true\nSSL_KEY_FILE = " +
                              key_ + "\nSSL_CRT_FILE = " + crt_ + "\nSSL_CA_FILE = n/a\n" +
                              "[THREAD]\nPOOL_SIZE = 1\n[LISTENER]\nHTTP_PORT = " + http_ +
                              "\nHTTPS_PORT = " + https_ + "\n[HTTP2_OPTIONS]\nPING_PERIOD = " +
                              ping + "\nPING_TIMEOUT = " + ping + "\n");
    srv_.reset(new Child({kServer, dir_ + "/srv.ini"}, dir_));
    ASSERT_TRUE(Listening(std::stoi(http_)));
    ASSERT_TRUE(Listening(std::stoi(https_)));
  }
  std::string http_, https_;
  std::unique_ptr<Child> srv_;
};

TEST_F(H2SrvSampleRunTest, TlsWithProgressAndUpgradeVerbose) {
  Start();
  std::string out;
  ASSERT_EQ(0, Client({"-h", "127.0.0.1", "-p", https_, "-c", "2000"}, &out));
  EXPECT_EQ(100, Count(out, "] tps=")) << out;  // one progress line per 20 responses
  EXPECT_EQ(1, Count(out, "\n20 response status:200,value[4096:00000019] tps="));
  EXPECT_EQ(1, Count(out, "\n2000 elapsed..."));
  ASSERT_EQ(0, Client({"-h", "127.0.0.1", "-p", http_, "-u", "-v", "-c", "10"}, &out));
  EXPECT_EQ(1, Count(out, EchoLine(7))) << out;
  EXPECT_EQ(10, Count(out, " response status:")) << out;
}

// The client used to leave the connection unserved while it waited for
// Enter: the server's keep-alive ping went unanswered and the server closed.
TEST_F(H2SrvSampleRunTest, EnterPressedLateStillFindsTheConnectionOpen) {
  Start(1);
  Child c({kClient, "-h", "127.0.0.1", "-p", https_, "-c", "3"}, dir_, false);
  sleep(3);  // ping after 1 s of silence, closed 1 s later if unanswered
  c.Enter();
  ASSERT_EQ(0, c.Wait());
  std::string out = ReadFile(c.out);
  EXPECT_EQ(1, Count(out, "\n3 elapsed...")) << out;
  EXPECT_EQ(0, Count(out, "error!"));
}

// The engine's asynchronous path against our server, over TLS and over the
// upgrade (whose stream-1 answer must not reach the application): requests
// from four threads, each answer matched to its messageId_ by its body.
TEST_F(H2SrvSampleRunTest, AsyncRequestsFromThreadsMatchTheirMessageIds) {
  Start();
  QIR_SSL_INIT();
  SSL_CTX* ctx = QIR_SSL_CREATE_CLIENT_CTX(nullptr, nullptr, nullptr);
  ASSERT_NE(nullptr, ctx);
  for (bool upgrade : {false, true}) {
    SCOPED_TRACE(upgrade ? "upgrade" : "tls");
    CQIRHttp2Request c;
    QIR_ST_HTTP2_OPTIONS o;
    o.nMaxConcurrentStream_ = 50;  // the server answers 429 once 100 streams are open
    o.nTimeout_ = 10;              // no time-out notices on a loaded machine
    ASSERT_TRUE(c.Initialize("async", &o));
    ASSERT_TRUE(upgrade ? c.Connect("127.0.0.1", std::stoi(http_), false)
                        : c.Connect("127.0.0.1", std::stoi(https_), ctx, false));
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
      threads.emplace_back([&c, t] {
        for (int i = t * 25; i < t * 25 + 25; ++i) {
          std::string body = "m" + std::to_string(i);
          c.Request(i, nullptr, "POST", "/a", QIR_HTTP2_HEADER(), body.size(), body.data(), true);
        }
      });
    }
    std::set<int32_t> seen;
    char buf[1024];
    QIR_ST_HTTP2_RESPONSE res;
    res.payload_.data_ = buf;
    for (int round = 0; round < 2000 && seen.size() < 100; ++round) {
      if (c.Response(&res) != 1) continue;
      EXPECT_STREQ("200", res.rs_) << res.error_;
      EXPECT_EQ("m" + std::to_string(res.messageId_), std::string(buf, res.payload_.size_));
      seen.insert(res.messageId_);
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(100u, seen.size());
    c.Disconnect();
    EXPECT_EQ(50u, c.GetFreeResponseCount());
  }
  SSL_CTX_free(ctx);
}

}  // namespace
