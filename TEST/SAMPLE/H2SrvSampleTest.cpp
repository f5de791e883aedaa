// End-to-end tests of h2srv-sample: the built program on free loopback
// ports with generated configurations, driven by independent HTTP/2 peers
// (curl, nghttp, h2load, python h2).

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "SAMPLE/H2SrvTestUtil.h"

using namespace h2srv_test;

namespace {

const char* const kBinary = QIR_BINARY_DIR "/h2srv-sample";

// One run of the program with its output captured in a file.
class SampleServer {
 public:
  ~SampleServer() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  // Starts the program on _ini and waits (bounded) until every port in
  // _ports listens, or the program has ended. True when all listen.
  bool Start(const std::string& _dir, const std::string& _ini, const std::vector<int>& _ports) {
    cfg_ = _dir + "/server.ini";
    log_ = _dir + "/server.out";
    WriteFile(cfg_, _ini);
    return Launch({kBinary, cfg_}) && WaitListening(_ports);
  }

  bool Launch(const std::vector<std::string>& _argv) {
    if (log_.empty()) return false;
    pid_ = fork();
    if (pid_ < 0) return false;
    if (pid_ == 0) {
      int fd = open(log_.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
      if (fd >= 0) {
        dup2(fd, 1);
        dup2(fd, 2);
        close(fd);
      }
      std::vector<char*> args;
      for (const std::string& a : _argv) args.push_back(const_cast<char*>(a.c_str()));
      args.push_back(nullptr);
      execv(args[0], args.data());
      _exit(127);
    }
    return true;
  }

  void SetLog(const std::string& _dir) { log_ = _dir + "/server.out"; }

  bool WaitListening(const std::vector<int>& _ports) {
    for (int waited = 0; waited < 15000; waited += 10) {
      std::string out = Output();
      bool all = true;
      for (int port : _ports) {
        char mark[64];
        snprintf(mark, sizeof(mark), "Start listening...(port=%5d,", port);
        if (out.find(mark) == std::string::npos) all = false;
      }
      if (all) return true;
      if (Exited(nullptr)) return false;
      usleep(10000);
    }
    return false;
  }

  bool Exited(int* _status) {
    if (pid_ <= 0) return true;
    int st = 0;
    if (waitpid(pid_, &st, WNOHANG) != pid_) return false;
    pid_ = -1;
    status_ = WIFEXITED(st) ? WEXITSTATUS(st) : 128 + WTERMSIG(st);
    if (_status != nullptr) *_status = status_;
    return true;
  }

  // Exit status after the program ended by itself within _limitMs, or -1.
  int WaitExit(int _limitMs) {
    for (int waited = 0; waited < _limitMs; waited += 10) {
      if (Exited(nullptr)) return status_;
      usleep(10000);
    }
    return -1;
  }

  // Sends _sig, waits for the end (SIGKILL after the deadline); the exit
  // status, or 128 + signal when it had to be killed.
  int Stop(int _sig = SIGTERM) {
    if (pid_ <= 0) return status_;
    kill(pid_, _sig);
    int st = WaitExit(15000);
    if (st >= 0) return st;
    kill(pid_, SIGKILL);
    int raw = 0;
    waitpid(pid_, &raw, 0);
    pid_ = -1;
    status_ = 128 + SIGKILL;
    return status_;
  }

  std::string Output() const { return ReadFile(log_); }
  pid_t Pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  int status_ = -1;
  std::string cfg_;
  std::string log_;
};

std::string Ini(const std::string& _ssl, int _pool, const std::string& _listener,
                const std::string& _options = "") {
  return "[SSL/TLS]\n" + _ssl + "\n[THREAD]\nPOOL_SIZE = " + std::to_string(_pool) +
         "\n[LISTENER]\n" + _listener + "\n[HTTP2_OPTIONS]\n" + _options + "\n";
}

class H2SrvSampleTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    certDir_ = MakeTempDir();
    if (!MakeCert(certDir_, &key_, &crt_)) key_.clear();
  }
  static void TearDownTestSuite() { RemoveTree(certDir_); }

  void SetUp() override {
    if (access(kBinary, X_OK) != 0) GTEST_SKIP() << "h2srv-sample is not built";
    dir_ = MakeTempDir();
    ASSERT_FALSE(dir_.empty());
  }
  void TearDown() override { RemoveTree(dir_); }

  std::string TlsKeys(bool _upgrade) const {
    return std::string("HTTP1X_UPGRADE = ") + (_upgrade ? "true" : "false") +
           "\nUSE_SSL = yes\nSSL_KEY_FILE = " + key_ + "\nSSL_CRT_FILE = " + crt_ +
           "\nSSL_CA_FILE = n/a\n";
  }
  static std::string Ports(int _http, int _https) {
    std::string s;
    if (_http > 0) s += "HTTP_PORT = " + std::to_string(_http) + "\nHTTP_IPNET = v4\n";
    if (_https > 0) s += "HTTPS_PORT = " + std::to_string(_https) + "\nHTTPS_IPNET = v4\n";
    return s;
  }

  // POSTs _body with curl; returns "status version" and fills *_echo.
  std::string CurlPost(const std::string& _flags, const std::string& _url,
                       const std::string& _body, std::string* _echo) {
    std::string in = dir_ + "/body.in";
    std::string out = dir_ + "/body.out";
    WriteFile(in, _body);
    unlink(out.c_str());
    std::string meta;
    RunCmd("curl -sS " + _flags + " -H 'Expect:' --data-binary @" + in + " -o " + out +
            " -w '%{http_code} %{http_version}' " + _url,
        &meta, 20);
    *_echo = ReadFile(out);
    return meta;
  }

  static std::string certDir_, key_, crt_;
  std::string dir_;
};

std::string H2SrvSampleTest::certDir_;
std::string H2SrvSampleTest::key_;
std::string H2SrvSampleTest::crt_;

struct H2loadResult {
  long total = -1, succeeded = -1, status2xx = -1, status4xx = -1;
};

H2loadResult ParseH2load(const std::string& _out) {
  H2loadResult r;
  size_t p = _out.find("requests: ");
  if (p != std::string::npos) {
    sscanf(_out.c_str() + p, "requests: %ld total, %*d started, %*d done, %ld succeeded",
           &r.total, &r.succeeded);
  }
  p = _out.find("status codes: ");
  if (p != std::string::npos) {
    sscanf(_out.c_str() + p, "status codes: %ld 2xx, %*d 3xx, %ld 4xx", &r.status2xx,
           &r.status4xx);
  }
  return r;
}

size_t Count(const std::string& _text, const std::string& _what) {
  size_t n = 0;
  for (size_t p = _text.find(_what); p != std::string::npos; p = _text.find(_what, p + 1)) ++n;
  return n;
}

}  // namespace

TEST_F(H2SrvSampleTest, MissingArgumentPrintsUsageAndFails) {
  std::string out;
  int st = RunCmd(std::string(kBinary), &out, 10, true);
  EXPECT_EQ(2, st);
  EXPECT_NE(std::string::npos, out.find("usage:")) << out;
}

// Each bad configuration ends the program on its own, with status 1 and
// the message that names the problem.
TEST_F(H2SrvSampleTest, ConfigurationErrorsEndCleanly) {
  ASSERT_FALSE(key_.empty()) << "openssl could not make a certificate";
  int p = FreePort();
  const std::string plain = "HTTP1X_UPGRADE = true\nUSE_SSL = false\n";
  const struct {
    const char* name;
    std::string ini;
    std::string message;
  } cases[] = {
      {"POOL_SIZE missing", "[SSL/TLS]\n" + plain + "[LISTENER]\n" + Ports(p, 0),
       "configuration(THREAD:POOL_SIZE) not found!"},
      {"POOL_SIZE 0", Ini(plain, 0, Ports(p, 0)), "configuration(THREAD:POOL_SIZE) value(0) invalid"},
      {"negative POOL_SIZE is rejected like 0", Ini(plain, -3, Ports(p, 0)),
       "configuration(THREAD:POOL_SIZE) value(-3) invalid"},
      {"no port", Ini(plain, 1, ""), "listen port not found!..."},
      {"https without TLS", Ini(plain, 1, Ports(0, p)),
       "PANIC::protocol is https but SSL_CONTEXT null!.."},
      {"same port for IPv4 and IPv6",
       Ini(TlsKeys(true), 1,
           "HTTP_PORT = " + std::to_string(p) + "\nHTTP_IPNET = v4\nHTTPS_PORT = " +
               std::to_string(p) + "\nHTTPS_IPNET = v6\n"),
       "listen port(" + std::to_string(p) + ") ipv4/v6 crashed!..."},
      {"too long IPNET is refused",
       Ini(plain, 1, "HTTP_PORT = " + std::to_string(p) + "\nHTTP_IPNET = v4v4v4v4v4v4\n"),
       "configuration(LISTENER:HTTP_IPNET) value(v4v4v4v4v4v4) too long!"},
      {"USE_SSL missing", Ini("HTTP1X_UPGRADE = true\n", 1, Ports(p, 0)),
       "configuration(SSL/TLS:USE_SSL) not found!"},
      {"key file missing", Ini("USE_SSL = true\n", 1, Ports(0, p)),
       "configuration(SSL/TLS:SSL_KEY_FILE) not found!"},
      {"unreadable key", Ini("USE_SSL = 1\nSSL_KEY_FILE = /nonexistent.key\nSSL_CRT_FILE = " + crt_ +
                                 "\nSSL_CA_FILE = N/A\n",
                             1, Ports(0, p)),
       "QIR_SSL_CREATE_SERVER_CTX(/nonexistent.key," + crt_ + ",no-sslca) failed..."},
      {"syntax error with its line", "[SSL/TLS]\nUSE_SSL = false\n\n[THREAD]\nPOOL_SIZE 2\n",
       "line(5) Syntax error!"},
      {"duplicate key", "[THREAD]\nPOOL_SIZE = 1\nPOOL_SIZE = 2\n", "line(3) Key Duplicate!"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SampleServer server;
    EXPECT_FALSE(server.Start(dir_, c.ini, {p}));
    EXPECT_EQ(1, server.WaitExit(15000));
    std::string out = server.Output();
    EXPECT_NE(std::string::npos, out.find(c.message)) << out;
    EXPECT_EQ(std::string::npos, out.find("Initializing successfully completed.")) << out;
  }

  SampleServer missing;
  missing.SetLog(dir_);
  ASSERT_TRUE(missing.Launch({kBinary, dir_ + "/none.ini"}));
  EXPECT_EQ(1, missing.WaitExit(15000));
  EXPECT_NE(std::string::npos, missing.Output().find("File Access failed!"));

  // A port another socket holds: Initialize passes, the first accept pass
  // cannot listen, and the program stops and fails.
  int holder = socket(AF_INET, SOCK_STREAM, 0);
  int busy = FreePort();
  sockaddr_in a;
  memset(&a, 0, sizeof(a));
  a.sin_family = AF_INET;
  a.sin_port = htons(busy);
  ASSERT_EQ(0, bind(holder, reinterpret_cast<sockaddr*>(&a), sizeof(a)));
  ASSERT_EQ(0, listen(holder, 4));
  SampleServer clash;
  EXPECT_FALSE(clash.Start(dir_, Ini(plain, 1, Ports(busy, 0)), {busy}));
  EXPECT_EQ(1, clash.WaitExit(15000));
  std::string out = clash.Output();
  EXPECT_NE(std::string::npos, out.find("listen() failed...")) << out;
  EXPECT_NE(std::string::npos, out.find("Service Stopping...")) << out;
  close(holder);
}

// The upgrade port and the TLS port echo bodies byte for byte to curl and
// nghttp, and the program prints each connection, request and disconnect.
TEST_F(H2SrvSampleTest, UpgradeAndTlsEchoBodiesByteForByte) {
  if (!CurlHasHttp2()) GTEST_SKIP() << "curl lacks HTTP/2";
  ASSERT_FALSE(key_.empty());
  int http = FreePort(), https = FreePort();
  SampleServer server;
  ASSERT_TRUE(server.Start(dir_, Ini(TlsKeys(true), 2, Ports(http, https)), {http, https}))
      << server.Output();
  const std::string h = "http://127.0.0.1:" + std::to_string(http) + "/echo";
  const std::string s = "https://127.0.0.1:" + std::to_string(https) + "/echo";

  int expectedConnections = 0;
  for (size_t size : {0, 1, 4096, 65536}) {
    SCOPED_TRACE(size);
    std::string body = PatternBody(size), echo;
    EXPECT_EQ("200 2", CurlPost("--http2", h, body, &echo));
    EXPECT_TRUE(echo == body) << "upgrade echo differs, " << echo.size() << " bytes";
    EXPECT_EQ("200 2", CurlPost("--http2 -k", s, body, &echo));
    EXPECT_TRUE(echo == body) << "TLS echo differs, " << echo.size() << " bytes";
    expectedConnections += 2;
  }
  if (HaveCommand("nghttp")) {
    std::string in = dir_ + "/nghttp.in", out;
    WriteFile(in, "hello from nghttp");
    EXPECT_EQ(0, RunCmd("nghttp -u -d " + in + " " + h, &out, 20));
    EXPECT_EQ("hello from nghttp", out);
    EXPECT_EQ(0, RunCmd("nghttp -u " + h, &out, 20));  // GET / by the upgrade itself
    EXPECT_EQ(0, RunCmd("nghttp -d " + in + " " + s, &out, 20));
    EXPECT_EQ("hello from nghttp", out);
    expectedConnections += 3;
  }

  EXPECT_EQ(0, server.Stop());
  std::string out = server.Output();
  EXPECT_NE(std::string::npos, out.find("Connect 0-(http://127.0.0.1:" + std::to_string(http) + ")"))
      << out;
  EXPECT_NE(std::string::npos, out.find("Connect 1-(https://127.0.0.1:" + std::to_string(https) + ")"));
  EXPECT_EQ(static_cast<size_t>(expectedConnections), Count(out, "\nConnect "));
  EXPECT_EQ(static_cast<size_t>(expectedConnections), Count(out, "\nDisconnect "));
  EXPECT_NE(std::string::npos, out.find("Disconnect 0\n"));
  EXPECT_NE(std::string::npos, out.find("Payload-Size[0]\n\n"));
  EXPECT_NE(std::string::npos, out.find("Payload-Size[65536]\n"));
  EXPECT_NE(std::string::npos, out.find(":method : POST\n"));
  EXPECT_NE(std::string::npos, out.find(":path : /echo\n"));
  EXPECT_NE(std::string::npos, out.find("conn(0) Receive Request 1\n"));
}

// The cleartext port without the upgrade takes the connection preface; many
// connections at once, over cleartext and TLS, all get their 2xx answers.
TEST_F(H2SrvSampleTest, PriorKnowledgeEchoAndManyConnections) {
  if (!CurlHasHttp2()) GTEST_SKIP() << "curl lacks HTTP/2";
  ASSERT_FALSE(key_.empty());
  int http = FreePort(), https = FreePort();
  SampleServer server;
  // Each connection allocates its stream and response pools up front, so
  // 200 connections with the default 100 streams are a lot of memory for
  // the sanitizer builds; 16 streams keep it modest.
  ASSERT_TRUE(server.Start(dir_,
                           Ini(TlsKeys(false), 2, Ports(http, https), "MAX_CONCURRENT_STREAM = 16\n"),
                           {http, https}))
      << server.Output();
  const std::string h = "http://127.0.0.1:" + std::to_string(http) + "/echo";
  const std::string s = "https://127.0.0.1:" + std::to_string(https) + "/echo";

  for (size_t size : {0, 1, 4096, 65536}) {
    SCOPED_TRACE(size);
    std::string body = PatternBody(size), echo;
    EXPECT_EQ("200 2", CurlPost("--http2-prior-knowledge", h, body, &echo));
    EXPECT_TRUE(echo == body) << echo.size() << " bytes back";
  }
  if (HaveCommand("nghttp")) {
    std::string in = dir_ + "/nghttp.in", out;
    WriteFile(in, "direct");
    EXPECT_EQ(0, RunCmd("nghttp -d " + in + " " + h, &out, 20));
    EXPECT_EQ("direct", out);
  }
  if (HaveCommand("h2load")) {
    std::string body = dir_ + "/h2load.in", out;
    WriteFile(body, std::string(4096, 'b'));
    EXPECT_EQ(0, RunCmd("h2load -n 2000 -c 200 -m 2 -d " + body + " " + h, &out, 60)) << out;
    H2loadResult r = ParseH2load(out);
    EXPECT_EQ(2000, r.total) << out;
    EXPECT_EQ(2000, r.succeeded) << out;
    EXPECT_EQ(2000, r.status2xx) << out;
    EXPECT_EQ(0, RunCmd("h2load -n 500 -c 50 -m 4 -d " + body + " " + s, &out, 60)) << out;
    r = ParseH2load(out);
    EXPECT_EQ(500, r.succeeded) << out;
    EXPECT_EQ(500, r.status2xx) << out;
  }
  EXPECT_EQ(0, server.Stop());
}

// Two requests completing in one read while the limit is 2: the second is
// answered 429 at once and never reaches the application.
TEST_F(H2SrvSampleTest, StreamLimitAnswers429) {
  if (!PythonHasH2()) GTEST_SKIP() << "python3 h2 is missing";
  int http = FreePort();
  SampleServer server;
  ASSERT_TRUE(server.Start(dir_,
                           Ini("HTTP1X_UPGRADE = false\nUSE_SSL = false\n", 1, Ports(http, 0),
                               "MAX_CONCURRENT_STREAM = 2\n"),
                           {http}))
      << server.Output();
  std::string script = dir_ + "/limit.py";
  WriteFile(script, R"PY(
import socket, sys, h2.connection, h2.config, h2.events
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=10)
c = h2.connection.H2Connection(h2.config.H2Configuration(client_side=True))
c.initiate_connection()
s.sendall(c.data_to_send())
for sid in (1, 3):
    c.send_headers(sid, [(":method", "GET"), (":scheme", "http"), (":authority", "t"),
                         (":path", "/limit")], end_stream=True)
s.sendall(c.data_to_send())
status, ended = {}, set()
while len(ended) < 2:
    data = s.recv(65536)
    if not data:
        break
    for e in c.receive_data(data):
        if isinstance(e, h2.events.ResponseReceived):
            status[e.stream_id] = dict(e.headers)[b":status"].decode()
        if isinstance(e, h2.events.StreamEnded):
            ended.add(e.stream_id)
    s.sendall(c.data_to_send())
print(status.get(1), status.get(3))
)PY");
  std::string out;
  EXPECT_EQ(0, RunCmd("/usr/bin/python3 " + script + " " + std::to_string(http), &out, 20, true));
  EXPECT_EQ("200 429\n", out);
  EXPECT_EQ(0, server.Stop());
  std::string log = server.Output();
  EXPECT_NE(std::string::npos, log.find("Too many request automatic response...")) << log;
  EXPECT_EQ(1u, Count(log, "Receive Request"));
}

// PING keep-alive: a peer that answers PINGs stays and is served after
// several periods; a peer that never answers is dropped after the time-out.
TEST_F(H2SrvSampleTest, PingKeepAliveAndTimeout) {
  if (!PythonHasH2()) GTEST_SKIP() << "python3 h2 is missing";
  int http = FreePort();
  SampleServer server;
  ASSERT_TRUE(server.Start(dir_,
                           Ini("HTTP1X_UPGRADE = false\nUSE_SSL = false\n", 1, Ports(http, 0),
                               "PING_PERIOD = 1\nPING_TIMEOUT = 1\n"),
                           {http}))
      << server.Output();
  std::string script = dir_ + "/ping.py";
  WriteFile(script, R"PY(
import socket, sys, time, threading, h2.connection, h2.config, h2.events
port = int(sys.argv[1])
result = {}

def open_conn():
    s = socket.create_connection(("127.0.0.1", port), timeout=10)
    c = h2.connection.H2Connection(h2.config.H2Configuration(client_side=True))
    c.initiate_connection()
    s.sendall(c.data_to_send())
    return s, c

def answering():
    # Acknowledges every PING (h2 queues the ACK), then asks after 3 s.
    s, c = open_conn()
    pings, end = 0, time.time() + 3
    s.settimeout(0.2)
    while time.time() < end:
        try:
            data = s.recv(65536)
        except socket.timeout:
            continue
        if not data:
            result["answering"] = "closed"
            return
        for e in c.receive_data(data):
            if isinstance(e, h2.events.PingReceived):
                pings += 1
        s.sendall(c.data_to_send())
    c.send_headers(1, [(":method", "GET"), (":scheme", "http"), (":authority", "t"),
                       (":path", "/alive")], end_stream=True)
    s.sendall(c.data_to_send())
    s.settimeout(10)
    while True:
        data = s.recv(65536)
        if not data:
            result["answering"] = "closed"
            return
        for e in c.receive_data(data):
            if isinstance(e, h2.events.ResponseReceived):
                result["answering"] = "pings>=2:%s status:%s" % (
                    pings >= 2, dict(e.headers)[b":status"].decode())
                return
        s.sendall(c.data_to_send())

def silent():
    # Sends its preface and SETTINGS, then never writes again.
    s, c = open_conn()
    pinged, start = False, time.time()
    while True:
        data = s.recv(65536)
        if not data:
            break
        for e in c.receive_data(data):
            if isinstance(e, h2.events.PingReceived):
                pinged = True
            if isinstance(e, h2.events.ConnectionTerminated):
                pass
    result["silent"] = "pinged:%s closed_within_8s:%s" % (pinged, time.time() - start < 8)

threads = [threading.Thread(target=answering), threading.Thread(target=silent)]
for t in threads: t.start()
for t in threads: t.join()
print(result.get("answering"))
print(result.get("silent"))
)PY");
  std::string out;
  EXPECT_EQ(0, RunCmd("/usr/bin/python3 " + script + " " + std::to_string(http), &out, 30, true));
  EXPECT_EQ("pings>=2:True status:200\npinged:True closed_within_8s:True\n", out);
  EXPECT_EQ(0, server.Stop());
  std::string log = server.Output();
  EXPECT_NE(std::string::npos, log.find("ping timeout!...")) << log;
  EXPECT_EQ(2u, Count(log, "\nDisconnect "));
}

// Garbage on every port, plain text on the TLS port, a silent TLS client and
// a client that vanishes in the middle of a request: the next normal
// clients are still served.
TEST_F(H2SrvSampleTest, BadInputLeavesServerServing) {
  if (!CurlHasHttp2()) GTEST_SKIP() << "curl lacks HTTP/2";
  if (!PythonHasH2()) GTEST_SKIP() << "python3 h2 is missing";
  ASSERT_FALSE(key_.empty());
  int up = FreePort(), https = FreePort(), direct = FreePort();
  SampleServer upgradeServer, directServer;
  ASSERT_TRUE(upgradeServer.Start(dir_, Ini(TlsKeys(true), 2, Ports(up, https)), {up, https}))
      << upgradeServer.Output();
  std::string dir2 = dir_ + "/direct";
  mkdir(dir2.c_str(), 0755);
  ASSERT_TRUE(directServer.Start(dir2, Ini("HTTP1X_UPGRADE = false\nUSE_SSL = false\n", 1,
                                           Ports(direct, 0)),
                                 {direct}))
      << directServer.Output();

  std::string script = dir_ + "/bad.py";
  WriteFile(script, R"PY(
import socket, ssl, sys, time, h2.connection, h2.config
up, tls, direct = (int(a) for a in sys.argv[1:4])

def raw(port, payload, linger=0.0):
    s = socket.create_connection(("127.0.0.1", port), timeout=5)
    if payload:
        s.sendall(payload)
        try:
            s.recv(4096)  # the server's answer, or its close
        except OSError:
            pass
    time.sleep(linger)
    s.close()

garbage = bytes(range(256)) * 8
raw(up, garbage)                                   # not HTTP/1.1
raw(up, b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")       # HTTP/1.1 without the upgrade
raw(tls, b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")      # plain text on TLS
raw(tls, b"", linger=0.3)                          # silent, then gone
raw(direct, garbage)                               # not the preface

# A client that goes away in the middle of a request, on each form.
def vanish(sock):
    c = h2.connection.H2Connection(h2.config.H2Configuration(client_side=True))
    c.initiate_connection()
    c.send_headers(1, [(":method", "POST"), (":scheme", "http"), (":authority", "t"),
                       (":path", "/half")])
    c.send_data(1, b"x" * 1000)
    sock.sendall(c.data_to_send())
    time.sleep(0.1)
    sock.close()

vanish(socket.create_connection(("127.0.0.1", direct), timeout=5))
ctx = ssl.create_default_context()
ctx.check_hostname = False
ctx.verify_mode = ssl.CERT_NONE
ctx.set_alpn_protocols(["h2"])
vanish(ctx.wrap_socket(socket.create_connection(("127.0.0.1", tls), timeout=5)))
print("done")
)PY");
  std::string out;
  EXPECT_EQ(0, RunCmd("/usr/bin/python3 " + script + " " + std::to_string(up) + " " +
                       std::to_string(https) + " " + std::to_string(direct),
                   &out, 30, true));
  EXPECT_EQ("done\n", out);

  std::string echo;
  EXPECT_EQ("200 2", CurlPost("--http2", "http://127.0.0.1:" + std::to_string(up) + "/ok",
                              "after", &echo));
  EXPECT_EQ("after", echo);
  EXPECT_EQ("200 2", CurlPost("--http2 -k", "https://127.0.0.1:" + std::to_string(https) + "/ok",
                              "after", &echo));
  EXPECT_EQ("after", echo);
  EXPECT_EQ("200 2", CurlPost("--http2-prior-knowledge",
                              "http://127.0.0.1:" + std::to_string(direct) + "/ok", "after",
                              &echo));
  EXPECT_EQ("after", echo);

  EXPECT_EQ(0, upgradeServer.Stop());
  EXPECT_EQ(0, directServer.Stop());
  // Every connection that was set up is gone again.
  std::string log = upgradeServer.Output() + directServer.Output();
  EXPECT_EQ(Count(log, "\nConnect "), Count(log, "\nDisconnect ")) << log;
}

// SIGINT and SIGTERM stop the server the graceful way: listeners closed,
// queued answers drained, open connections removed, exit status 0.
TEST_F(H2SrvSampleTest, StopSignalsDrainAndExitZero) {
  if (!PythonHasH2()) GTEST_SKIP() << "python3 h2 is missing";
  for (int sig : {SIGINT, SIGTERM}) {
    SCOPED_TRACE(sig);
    int http = FreePort();
    SampleServer server;
    ASSERT_TRUE(server.Start(dir_, Ini("HTTP1X_UPGRADE = false\nUSE_SSL = false\n", 1,
                                       Ports(http, 0)),
                             {http}))
        << server.Output();
    // An idle connection stays open while the signal arrives.
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_port = htons(http);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(0, connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)));
    const char preface[] = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n\0\0\0\4\0\0\0\0\0";
    ASSERT_EQ(static_cast<ssize_t>(sizeof(preface) - 1), write(fd, preface, sizeof(preface) - 1));
    for (int i = 0; i < 500 && server.Output().find("Connect 0-") == std::string::npos; ++i) {
      usleep(10000);
    }
    EXPECT_EQ(0, server.Stop(sig));
    close(fd);
    std::string log = server.Output();
    EXPECT_NE(std::string::npos, log.find("Service Stopping...")) << log;
    EXPECT_NE(std::string::npos, log.find("all remaining messages have been processed...")) << log;
    EXPECT_NE(std::string::npos, log.find("Disconnect 0\n")) << log;
  }
}
