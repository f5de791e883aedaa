// h2srv-sample end to end: the built program on free loopback ports with
// generated configurations, against curl, nghttp, h2load and python h2.

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <string>
#include <thread>
#include <vector>

#include "SAMPLE/H2SrvTestUtil.h"

using namespace h2srv_test;

namespace {

const std::string kSample = kSampleBinary;
const std::string kAsync = QIR_BINARY_DIR "/h2async-sample";

// A body with every byte value, so that any change shows.
std::string PatternBody(size_t _size) {
  std::string s(_size, '\0');
  for (size_t i = 0; i < _size; ++i) s[i] = static_cast<char>((i * 131 + 7) & 0xff);
  return s;
}

class H2SrvSampleTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    certs_ = new TempDir;
    MakeCert(certs_->path(), &key_, &crt_);
  }
  static void TearDownTestSuite() { delete certs_; }

  void SetUp() override {
    if (access(kSampleBinary, X_OK) != 0) GTEST_SKIP() << "h2srv-sample is not built";
    if (access(crt_.c_str(), R_OK) != 0) GTEST_SKIP() << "openssl made no certificate";
  }

  std::string Tls(bool _upgrade) const {
    return std::string("HTTP1X_UPGRADE = ") + (_upgrade ? "true\n" : "false\n") + TlsLines(key_, crt_);
  }

  // POSTs _body with curl; "status version", the answer's body in *_echo.
  std::string CurlPost(const std::string& _flags, const std::string& _url,
                       const std::string& _body, std::string* _echo) {
    WriteAll(dir_ + "/in", _body);
    unlink((dir_ + "/out").c_str());
    std::string meta;
    RunCmd("curl -sS " + _flags + " -H 'Expect:' --data-binary @" + dir_ + "/in -o " + dir_ +
               "/out -w '%{http_code} %{http_version}' " + _url,
           &meta, 20);
    *_echo = ReadAll(dir_ + "/out");
    return meta;
  }

  static TempDir* certs_;
  static std::string key_, crt_;
  TempDir tmp_;
  const std::string dir_ = tmp_.path();
};

TempDir* H2SrvSampleTest::certs_;
std::string H2SrvSampleTest::key_, H2SrvSampleTest::crt_;

}  // namespace

// Each bad configuration ends the program by itself, with status 1 and the
// message that names the problem.
TEST_F(H2SrvSampleTest, ConfigurationErrorsEndCleanly) {
  int p = FreePort();
  int busy = 0, holder = Loopback(&busy, false);
  ASSERT_EQ(0, listen(holder, 4));
  const struct { const char* name; std::string ini, message; } cases[] = {
      {"POOL_SIZE missing", "[SSL/TLS]\n" + kPlain + "[LISTENER]\n" + Ports(p, 0),
       "configuration(THREAD:POOL_SIZE) not found!"},
      {"POOL_SIZE 0", Ini(kPlain, 0, Ports(p, 0)), "(THREAD:POOL_SIZE) value(0) invalid"},
      {"no port", Ini(kPlain, 1, ""), "listen port not found!..."},
      {"https without TLS", Ini(kPlain, 1, Ports(0, p)), "PANIC::protocol is https but"},
      {"one port for IPv4 and IPv6",
       Ini(Tls(true), 1, Ports(p, 0) + "HTTPS_PORT = " + std::to_string(p) + "\nHTTPS_IPNET = v6\n"),
       "listen port(" + std::to_string(p) + ") ipv4/v6 crashed!..."},
      {"port out of range", Ini(kPlain, 1, "HTTP_PORT = 70000\n"), "Invalid listen-port(70000)"},
      {"MAX_CONNECTIONS 0", Ini(kPlain, 1, Ports(p, 0) + "MAX_CONNECTIONS = 0"),
       "configuration(LISTENER:MAX_CONNECTIONS) value(0) invalid"},
      {"too long IPNET", Ini(kPlain, 1, "HTTP_PORT = 1\nHTTP_IPNET = v4v4v4v4v4v4\n"),
       "(LISTENER:HTTP_IPNET) value(v4v4v4v4v4v4) too long!"},
      {"unreadable key",
       Ini("USE_SSL = 1\nSSL_KEY_FILE = /none.key\nSSL_CRT_FILE = /c\nSSL_CA_FILE = N/A", 1, Ports(0, p)),
       "QIR_SSL_CREATE_SERVER_CTX(/none.key,/c,no-sslca) failed..."},
      {"VERIFY_CLIENT require without SSL_CA_FILE", Ini(Tls(false) + "VERIFY_CLIENT = require", 1, Ports(0, p)),
       "(SSL/TLS:VERIFY_CLIENT) require needs SSL_CA_FILE"},
      {"VERIFY_CLIENT invalid", Ini(Tls(false) + "VERIFY_CLIENT = sometimes", 1, Ports(0, p)),
       "(SSL/TLS:VERIFY_CLIENT) value(sometimes) invalid"},
      {"syntax error", "[SSL/TLS]\nUSE_SSL = false\n\n[THREAD]\nPOOL_SIZE 2\n", "line(5) Syntax error!"},
      {"no file", "", "File Access failed!"},
      {"metrics port in use", Ini(kPlain, 1, Ports(p, 0) + "METRICS_PORT = " + std::to_string(busy)),
       "[98-Address already in use]listen() failed...(port=" + std::to_string(busy) + ")\n"},
      // Initialize passes; the first accept pass cannot listen and the
      // program stops before it ends.
      {"port in use", Ini(kPlain, 1, Ports(busy, 0)),
       "[98-Address already in use]listen() failed...(port=" + std::to_string(busy) + ")\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    SampleServer server;
    EXPECT_FALSE(server.Start(dir_, c.ini, {}));
    EXPECT_EQ(1, server.Wait(15000));
    EXPECT_NE(std::string::npos, server.Output().find(c.message)) << server.Output();
  }
  // The last case: a port that cannot be bound is an error, not news.
  const std::string last = ReadAll(dir_ + "/server.out");
  const size_t at = last.find("listen() failed...(port=");
  ASSERT_NE(std::string::npos, at);
  EXPECT_EQ("[Error  ]", last.substr(last.rfind('\n', at) + 18, 9)) << last;
  close(holder);
}

// The upgrade port, the TLS port and the preface port echo bodies byte for
// byte, and the program prints each connection and disconnection.
// Then garbage on every port, plain text on the TLS port, a silent TLS
// client and clients that vanish in the middle of a request: the next normal
// clients are served, and every connection that was set up is removed again.
// All the while 50 silent clients on each of the upgrade and TLS ports hold
// neither: they are set up off the accepting thread and closed at their
// deadline.
TEST_F(H2SrvSampleTest, EchoOverAllThreeFormsAndAfterBadInput) {
  if (!CurlHasHttp2() || !PythonHasH2()) GTEST_SKIP() << "curl lacks HTTP/2 or python3 lacks h2";
  int up = FreePort(), tls = FreePort(), direct = FreePort();
  SampleServer a, b;
  ASSERT_TRUE(a.Start(dir_, Ini(Tls(true), 2, Ports(up, tls)), {up, tls})) << a.Output();
  mkdir((dir_ + "/b").c_str(), 0700);
  ASSERT_TRUE(b.Start(dir_ + "/b", Ini(kPlain, 1, Ports(direct, 0)), {direct})) << b.Output();
  const std::string u = "http://127.0.0.1:" + std::to_string(up) + "/echo";
  const std::string s = "https://127.0.0.1:" + std::to_string(tls) + "/echo";
  const std::string d = "http://127.0.0.1:" + std::to_string(direct) + "/echo";
  const std::pair<const char*, std::string> peers[] = {
      {"--http2", u}, {"--http2 -k", s}, {"--http2-prior-knowledge", d}};
  std::vector<int> silent;
  for (int i = 0; i < 50; ++i) silent.push_back(Loopback(&up)), silent.push_back(Loopback(&tls));
  ASSERT_TRUE(a.Shows("just connected", 100)) << a.Output();
  std::string echo;
  for (size_t size : {0, 1, 4096, 65536}) {
    SCOPED_TRACE(size);
    std::string body = PatternBody(size);
    for (const auto& peer : peers) {
      // curl keeps at most 32 KiB that arrive together with the 101 answer.
      if (size > 16384 && peer.second == u) continue;
      EXPECT_EQ("200 2", CurlPost(peer.first, peer.second, body, &echo)) << peer.second;
      EXPECT_TRUE(echo == body) << peer.second << ": " << echo.size() << " bytes back";
    }
  }
  EXPECT_EQ(7u, Count(a.Output(), "\nConnect "));
  EXPECT_EQ(4u, Count(b.Output(), "\nConnect "));
  // nghttp upgrades with OPTIONS * before its POST.
  std::string out;
  WriteAll(dir_ + "/in", "hello");
  EXPECT_EQ(0, RunCmd("nghttp -u -d " + dir_ + "/in " + u, &out, 10));
  EXPECT_EQ("hello", out.substr(std::min<size_t>(out.size(), out.size() - 5))) << out;

  out = Python(dir_, R"PY(
import socket, ssl, sys, time, h2.connection, h2.config
up, tls, direct = (int(a) for a in sys.argv[1:4])
def raw(port, payload, linger=0.0):
    s = socket.create_connection(("127.0.0.1", port), timeout=5)
    if payload:
        s.sendall(payload)
        try: s.recv(4096)  # the answer or the close
        except OSError: pass
    time.sleep(linger)
    s.close()
garbage = bytes(range(256)) * 8
raw(up, garbage)
raw(up, b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")   # HTTP/1.1 without the upgrade
raw(tls, b"GET / HTTP/1.1\r\nHost: x\r\n\r\n")  # plain text on TLS
raw(tls, b"", linger=0.3)                      # silent, then gone
raw(direct, garbage)
def vanish(sock):
    c = h2.connection.H2Connection(h2.config.H2Configuration(client_side=True))
    c.initiate_connection()
    c.send_headers(1, [(":method", "POST"), (":scheme", "http"), (":authority", "t"), (":path", "/")])
    c.send_data(1, b"x" * 1000)
    sock.sendall(c.data_to_send())
    time.sleep(0.1)
    sock.close()
vanish(socket.create_connection(("127.0.0.1", direct), timeout=5))
ctx = ssl.create_default_context()
ctx.check_hostname, ctx.verify_mode = False, ssl.CERT_NONE
ctx.set_alpn_protocols(["h2"])
vanish(ctx.wrap_socket(socket.create_connection(("127.0.0.1", tls), timeout=5)))
print("done")
)PY", std::to_string(up) + " " + std::to_string(tls) + " " + std::to_string(direct));
  EXPECT_EQ("done\n", out);
  for (const auto& peer : peers) {
    EXPECT_EQ("200 2", CurlPost(peer.first, peer.second, "after", &echo)) << peer.second;
    EXPECT_EQ("after", echo);
  }
  EXPECT_TRUE(a.Shows("Receive HTTP/2 upgrade request. timeout!..", 50)) << a.Output();
  EXPECT_TRUE(a.Shows("SSL_accept() failed!..handshake not complete within 3000 ms", 50)) << a.Output();
  for (int fd : silent) {
    char c;
    EXPECT_EQ(0, recv(fd, &c, 1, MSG_DONTWAIT));  // closed by the server
    close(fd);
  }
  EXPECT_EQ(0u, Count(a.Output(), "gethostbyaddr_r"));  // no name lookup on the accept path
  // SIGINT as well as SIGTERM stops cleanly, removing a connection still open.
  const size_t open = Count(b.Output(), "\nConnect ") + 1;
  int idle = Loopback(&direct);
  const char preface[] = "PRI * HTTP/2.0\r\n\r\nSM\r\n\r\n\0\0\0\4\0\0\0\0\0";
  ASSERT_EQ(static_cast<ssize_t>(sizeof(preface) - 1), write(idle, preface, sizeof(preface) - 1));
  EXPECT_TRUE(b.Until([&] { return Count(b.Output(), "\nConnect ") == open; })) << b.Output();
  EXPECT_EQ(0, a.Stop());
  EXPECT_EQ(0, b.Stop(SIGINT));
  close(idle);
  for (const std::string& log : {a.Output(), b.Output()}) {
    EXPECT_EQ(Count(log, "\nConnect "), Count(log, "\nDisconnect ")) << log;
  }
  // TLS without SSL_CA_FILE takes any client certificate: a warning says so.
  out = a.Output();
  const size_t warned = out.find("(SSL/TLS:SSL_CA_FILE) is n/a: client certificates are not authenticated");
  ASSERT_NE(std::string::npos, warned) << out;
  EXPECT_EQ("[Warning]", out.substr(out.rfind('\n', warned) + 18, 9)) << out;
}

// Past MAX_CONNECTIONS a new socket is closed at once with a log line; once
// a connection goes, the next one is served again.
TEST_F(H2SrvSampleTest, ConnectionLimit) {
  if (!CurlHasHttp2()) GTEST_SKIP() << "curl lacks HTTP/2";
  int port = FreePort();
  SampleServer srv;
  ASSERT_TRUE(srv.Start(dir_, Ini(kPlain, 1, Ports(port, 0) + "MAX_CONNECTIONS = 2", "PING_PERIOD = 60"),
                        {port})) << srv.Output();
  int first = Loopback(&port), second = Loopback(&port);
  ASSERT_TRUE(srv.Shows("created...", 2)) << srv.Output();
  EXPECT_EQ("", ReadToClose(Loopback(&port)));  // closed, not served
  EXPECT_EQ(1u, Count(srv.Output(), "connection limit(2) reached"));
  close(first);
  ASSERT_TRUE(srv.Shows("removed...")) << srv.Output();
  std::string echo;
  EXPECT_EQ("200 2", CurlPost("--http2-prior-knowledge", "http://127.0.0.1:" + std::to_string(port),
                              "p", &echo));
  close(second);
}

// The exit statuses and texts a service manager or an operator relies on.
TEST_F(H2SrvSampleTest, CommandLine) {
  const struct {
    std::string args;
    int status;
    std::string text;
  } cases[] = {
      {"--help", 0, "usage: " + kSample + " CONFIG.ini\n"},
      {"--version", 0, "h2srv-sample " QIR_VERSION "\n"},
      {"''", 2, "usage: " + kSample + " CONFIG.ini\n"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    std::string out;
    EXPECT_EQ(c.status, RunCmd(kSample + " " + c.args, &out, 20, true));
    EXPECT_NE(std::string::npos, out.find(c.text)) << out;
  }
}

// The unit runs the installed program on the default configuration, stops
// it with SIGTERM (which the program answers with a drained exit 0) and
// restarts it after a failure exit.
TEST_F(H2SrvSampleTest, SystemdUnit) {
  const std::string unit =
      ReadAll(QIR_SOURCE_DIR "/SAMPLE/NET/HTTP2/HTTP2SRV/h2srv-sample.service");
  if (!HaveCommand("systemd-analyze")) GTEST_SKIP() << "systemd-analyze is not installed";
  // verify wants ExecStart to exist: point it at the built program.
  std::string local = unit;
  local.replace(local.find("/usr/local/bin/h2srv-sample"), 27, kSample);
  WriteAll(dir_ + "/h2srv-sample.service", local);
  std::string out;
  EXPECT_EQ(0, RunCmd("systemd-analyze verify " + dir_ + "/h2srv-sample.service", &out, 30, true))
      << out;
}

// 250 clients that send their ClientHello and stall, then a normal client:
// prints how long the normal one took to get its answer.
const char kStalledHandshakes[] = R"PY(
import socket, ssl, sys, time, h2.connection, h2.events
port = int(sys.argv[1])
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
ctx.check_hostname, ctx.verify_mode = False, ssl.CERT_NONE
ctx.set_alpn_protocols(["h2"])
stalled = []
for _ in range(250):
    s = socket.create_connection(("127.0.0.1", port), timeout=5)
    out = ssl.MemoryBIO()
    tls = ctx.wrap_bio(ssl.MemoryBIO(), out)
    try:
        tls.do_handshake()
    except ssl.SSLWantReadError:
        pass
    s.sendall(out.read())
    stalled.append(s)
start = time.time()
s = ctx.wrap_socket(socket.create_connection(("127.0.0.1", port), timeout=10))
c = h2.connection.H2Connection()
c.initiate_connection()
c.send_headers(1, [(":method", "GET"), (":scheme", "https"), (":authority", "t"), (":path", "/")],
               end_stream=True)
s.sendall(c.data_to_send())
while True:
    data = s.recv(65536)
    if not data:
        sys.exit("closed without an answer")
    if any(isinstance(e, h2.events.ResponseReceived) for e in c.receive_data(data)):
        break
print("served in %.1f s" % (time.time() - start))
)PY";

// A TLS 1.3 client that sends its Finished together with the connection
// preface and a GET, then nothing more (not even its SETTINGS ack, which
// would make the socket readable again); prints the answer's status.
const char kCoalescedFinished[] = R"PY(
import socket, ssl, sys, h2.connection, h2.events
ctx = ssl.SSLContext(ssl.PROTOCOL_TLS_CLIENT)
ctx.check_hostname, ctx.verify_mode = False, ssl.CERT_NONE
ctx.minimum_version = ssl.TLSVersion.TLSv1_3
ctx.set_alpn_protocols(["h2"])
inc, out = ssl.MemoryBIO(), ssl.MemoryBIO()
tls = ctx.wrap_bio(inc, out)
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=5)
while True:
    try:
        tls.do_handshake()
        break
    except ssl.SSLWantReadError:
        s.sendall(out.read())
        inc.write(s.recv(65536))
h2c = h2.connection.H2Connection()
h2c.initiate_connection()
h2c.send_headers(1, [(":method", "GET"), (":scheme", "https"), (":authority", "t"), (":path", "/")],
                 end_stream=True)
tls.write(h2c.data_to_send())
s.sendall(out.read())  # Finished, preface, SETTINGS, HEADERS
while True:
    data = s.recv(65536)
    if not data:
        sys.exit("closed without an answer")
    inc.write(data)
    while True:
        try:
            plain = tls.read(65536)
        except ssl.SSLWantReadError:
            break
        for e in h2c.receive_data(plain):
            if isinstance(e, h2.events.ResponseReceived):
                print(dict(e.headers)[b":status"].decode())
                sys.exit(0)
)PY";

// With ENABLE_TLS13 the server agrees TLS 1.3 and "h2" with curl; without
// it a TLS 1.3-only client is refused and TLS 1.2 stays. A burst of new TLS
// connections is set up a hundred handshakes at a time per worker, and
// clients that stall in their handshake cannot keep the others waiting: 250
// stalled ClientHellos (on the one worker) delay a normal client by a few
// slot times, not by the 3 s handshake time-out.
TEST_F(H2SrvSampleTest, Tls13OnlyWithTheKeyAndStalledHandshakes) {
  if (!CurlHasHttp2()) GTEST_SKIP() << "curl lacks HTTP/2";
  for (bool on : {true, false}) {
    SCOPED_TRACE(on ? "ENABLE_TLS13 = true" : "no key");
    int port = FreePort();
    std::string ini = Ini(Tls(false) + (on ? "ENABLE_TLS13 = true" : ""), 1, Ports(0, port), "PING_PERIOD = 0");
    SampleServer server;
    ASSERT_TRUE(server.Start(dir_, ini, {port})) << server.Output();
    const std::string curl = "curl -sS -k --http2 -w ' %{http_version}' -d thirteen ";
    const std::string url = " https://127.0.0.1:" + std::to_string(port) + "/echo";
    std::string out;
    EXPECT_EQ(on ? 0 : 35, RunCmd(curl + "--tlsv1.3" + url, &out, 20, true)) << out;  // 35: handshake
    if (on) {
      EXPECT_EQ("thirteen 2", out);
      // The client's Finished and its first request in one segment: the
      // handshake's read takes the request too, and it must be served from
      // the session, since the socket never becomes readable again.
      if (PythonHasH2()) {
        EXPECT_EQ("200\n", Python(dir_, kCoalescedFinished, std::to_string(port)));
      }
    }
    EXPECT_EQ(0, RunCmd(curl + "--tlsv1.2 --tls-max 1.2" + url, &out, 20, true));
    EXPECT_EQ("thirteen 2", out);
    if (!on && PythonHasH2()) {
      out = Python(dir_, kStalledHandshakes, std::to_string(port));
      double took = 99;
      EXPECT_EQ(1, sscanf(out.c_str(), "served in %lf s", &took)) << out;
      EXPECT_LT(took, 1.5) << out;
    }
    if (!on && HaveCommand("h2load")) {
      EXPECT_EQ(0, RunCmd("h2load -c 300 -n 300" + url, &out, 60));
      EXPECT_NE(std::string::npos, out.find("300 succeeded")) << out;
    }
    EXPECT_EQ(0, server.Stop());
  }
}

// h2async-sample answers from its application thread: a later request with
// a shorter delay overtakes earlier ones on the same connection, many
// concurrent requests all come back, SIGUSR1 logs the monitor report while
// answers wait, and SIGTERM sends what waits and exits 0.
TEST_F(H2SrvSampleTest, AsyncSampleEndToEnd) {
  if (access(kAsync.c_str(), X_OK) != 0) GTEST_SKIP() << "h2async-sample is not built";
  if (!CurlHasHttp2() || !PythonHasH2()) GTEST_SKIP() << "curl lacks HTTP/2 or python3 lacks h2";
  int port = FreePort();
  SampleServer server;
  ASSERT_TRUE(server.Start(dir_, Ini(kPlain, 2, Ports(port, 0), "PING_PERIOD = 0"), {port}, kAsync)) << server.Output();
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/echo";

  std::string out;
  // Streams 1, 3, 5 with delays 1500, 0, 600 ms come back as 3, 5, 1; while
  // they wait, SIGUSR1 asks for the report.
  const char order[] = R"PY(
import socket, sys, h2.connection, h2.config, h2.events as ev
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=15)
c = h2.connection.H2Connection(h2.config.H2Configuration(client_side=True))
c.initiate_connection()
for sid, delay in ((1, "1500"), (3, "0"), (5, "600")):
    c.send_headers(sid, [(":method", "POST"), (":scheme", "http"), (":authority", "t"),
                         (":path", "/"), ("x-delay-ms", delay)])
    c.send_data(sid, ("body%d" % sid).encode(), end_stream=True)
s.sendall(c.data_to_send())
order, bodies = [], {}
while len(order) < 3:
    data = s.recv(65536)
    if not data:
        break
    for e in c.receive_data(data):
        if isinstance(e, ev.DataReceived):
            bodies[e.stream_id] = bodies.get(e.stream_id, b"") + e.data
            c.acknowledge_received_data(len(e.data), e.stream_id)
        if isinstance(e, ev.StreamEnded):
            order.append("%d:%s" % (e.stream_id, bodies.get(e.stream_id, b"").decode()))
    s.sendall(c.data_to_send())
print(" ".join(order))
)PY";
  std::thread client([&] { out = Python(dir_, order, std::to_string(port)); });
  EXPECT_TRUE(server.Shows("Receive Request 5 delay 600 ms"));
  kill(server.Pid(), SIGUSR1);
  EXPECT_TRUE(server.Shows("monitor report"));
  client.join();
  EXPECT_EQ("3:body3 5:body5 1:body1\n", out);

  // Many at once, on several connections, some held back.
  WriteAll(dir_ + "/body", std::string(1000, 'a'));
  EXPECT_EQ(0, RunCmd("h2load -n 400 -c 4 -m 20 -H 'x-delay-ms: 5' -d " + dir_ + "/body " + url,
                      &out, 60));
  EXPECT_NE(std::string::npos, out.find("requests: 400 total, 400 started, 400 done, 400 succeeded")) << out;
  EXPECT_NE(std::string::npos, out.find("status codes: 400 2xx")) << out;

  // An answer still waiting when SIGTERM comes is sent before the exit.
  std::thread waiting([&] {
    RunCmd("curl -sS -i --http2-prior-knowledge -H 'x-delay-ms: 10000' -d last " + url, &out, 30);
  });
  EXPECT_TRUE(server.Shows("delay 10000 ms"));
  EXPECT_EQ(0, server.Stop());
  waiting.join();
  EXPECT_EQ(0u, out.find("HTTP/2 200")) << out;
  EXPECT_NE(std::string::npos, out.find("x-answered-by: app")) << out;
  EXPECT_EQ("\r\n\r\nlast", out.substr(out.size() - 8)) << out;
  EXPECT_EQ(std::string::npos, server.Output().find("not answered")) << server.Output();
}
