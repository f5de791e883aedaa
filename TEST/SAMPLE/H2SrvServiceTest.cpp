// The programs as services: h2srv-sample's command line, unit file and TLS
// 1.3, and h2async-sample answering from its application thread.
// Independent peers: curl, h2load, python h2.

#include <gtest/gtest.h>

#include <signal.h>

#include <string>
#include <thread>
#include <vector>

#include "SAMPLE/H2SrvTestUtil.h"

using namespace h2srv_test;

namespace {

const std::string kServer = QIR_BINARY_DIR "/h2srv-sample";
const std::string kAsync = QIR_BINARY_DIR "/h2async-sample";

class H2SrvServiceTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(kServer.c_str(), X_OK) != 0) GTEST_SKIP() << "h2srv-sample is not built";
  }

  // A configuration with a TLS port (and ENABLE_TLS13 when given) or a
  // cleartext preface port.
  std::string Config(int _http, int _https, const std::string& _tls13) {
    std::string key, crt;
    if (_https > 0 && !MakeCert(dir_, &key, &crt)) return "";
    return Ini(_https > 0 ? "HTTP1X_UPGRADE = false\nUSE_SSL = true\nSSL_KEY_FILE = " + key +
                                "\nSSL_CRT_FILE = " + crt + "\nSSL_CA_FILE = n/a\n" + _tls13
                          : kPlain,
               2, Ports(_http, _https), "PING_PERIOD = 0");
  }

  TempDir tmp_;
  const std::string dir_ = tmp_.path();
};

}  // namespace

// Each command line: its exit status and what it prints (configuration
// errors: H2SrvSampleTest.ConfigurationErrorsEndCleanly).
TEST_F(H2SrvServiceTest, CommandLine) {
  const struct {
    std::string args;
    int status;
    std::string text;
  } cases[] = {
      {"--help", 0, "usage: " + kServer + " CONFIG.ini\n"},
      {"--version", 0, "h2srv-sample " QIR_VERSION "\n"},
      {"", 2, "usage: " + kServer + " CONFIG.ini\n"},
      {"''", 2, "usage:"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.args);
    std::string out;
    EXPECT_EQ(c.status, RunCmd(kServer + " " + c.args, &out, 20, true));
    EXPECT_NE(std::string::npos, out.find(c.text)) << out;
  }
}

// The unit runs the installed program on the default configuration, stops
// it with SIGTERM (which the program answers with a drained exit 0) and
// restarts it after a failure exit.
TEST_F(H2SrvServiceTest, SystemdUnit) {
  const std::string unit =
      ReadAll(QIR_SOURCE_DIR "/SAMPLE/NET/HTTP2/HTTP2SRV/h2srv-sample.service");
  ASSERT_TRUE(qirtest::Has(
      unit, "\nExecStart=/usr/local/bin/h2srv-sample /usr/local/etc/qir/h2srv-sample.ini\n"));
  if (!HaveCommand("systemd-analyze")) GTEST_SKIP() << "systemd-analyze is not installed";
  // verify wants ExecStart to exist: point it at the built program.
  std::string local = unit;
  local.replace(local.find("/usr/local/bin/h2srv-sample"), 27, kServer);
  WriteAll(dir_ + "/h2srv-sample.service", local);
  std::string out;
  EXPECT_EQ(0, RunCmd("systemd-analyze verify " + dir_ + "/h2srv-sample.service", &out, 30, true))
      << out;
}

// With ENABLE_TLS13 the server agrees TLS 1.3 and "h2" with curl; without
// it a TLS 1.3-only client is refused and TLS 1.2 stays.
TEST_F(H2SrvServiceTest, Tls13OnlyWithTheKey) {
  if (!CurlHasHttp2()) GTEST_SKIP() << "curl lacks HTTP/2";
  for (bool on : {true, false}) {
    SCOPED_TRACE(on ? "ENABLE_TLS13 = true" : "no key");
    int port = FreePort();
    std::string ini = Config(0, port, on ? "ENABLE_TLS13 = true" : "");
    ASSERT_FALSE(ini.empty());
    SampleServer server;
    ASSERT_TRUE(server.Start(dir_, ini, {port})) << server.Output();
    const std::string curl = "curl -sS -k --http2 -w ' %{http_version}' -d thirteen ";
    const std::string url = " https://127.0.0.1:" + std::to_string(port) + "/echo";
    std::string out;
    EXPECT_EQ(on ? 0 : 35, RunCmd(curl + "--tlsv1.3" + url, &out, 20, true)) << out;  // 35: handshake
    if (on) {
      EXPECT_EQ("thirteen 2", out);
    }
    EXPECT_EQ(0, RunCmd(curl + "--tlsv1.2 --tls-max 1.2" + url, &out, 20, true));
    EXPECT_EQ("thirteen 2", out);
    EXPECT_NE(std::string::npos, server.Output().find(std::string(" - TLS 1.3 Support : ") +
                                                      (on ? "true" : "false")));
    EXPECT_EQ(0, server.Stop());
  }
}

// h2async-sample answers from its application thread: a later request with
// a shorter delay overtakes earlier ones on the same connection, many
// concurrent requests all come back, SIGUSR1 logs the monitor report while
// answers wait, and SIGTERM sends what waits and exits 0.
TEST_F(H2SrvServiceTest, AsyncSampleEndToEnd) {
  if (access(kAsync.c_str(), X_OK) != 0) GTEST_SKIP() << "h2async-sample is not built";
  if (!CurlHasHttp2() || !PythonHasH2()) GTEST_SKIP() << "curl lacks HTTP/2 or python3 lacks h2";
  int port = FreePort();
  SampleServer server;
  ASSERT_TRUE(server.Start(dir_, Config(port, 0, ""), {port}, kAsync)) << server.Output();
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/echo";

  std::string out;
  // Streams 1, 3, 5 with delays 1500, 0, 600 ms come back as 3, 5, 1; while
  // they wait, SIGUSR1 asks for the report.
  WriteAll(dir_ + "/order.py", R"PY(
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
)PY");
  std::string order;
  std::thread client([&] {
    RunCmd("/usr/bin/python3 " + dir_ + "/order.py " + std::to_string(port), &order, 30, true);
  });
  EXPECT_TRUE(server.Shows("Receive Request 5 delay 600 ms"));
  kill(server.Pid(), SIGUSR1);
  EXPECT_TRUE(server.Shows("monitor report"));
  client.join();
  EXPECT_EQ("3:body3 5:body5 1:body1\n", order);
  std::string log = server.Output();
  size_t report = log.find("monitor report\n");
  ASSERT_NE(std::string::npos, report) << log;
  EXPECT_NE(std::string::npos, log.find("\tThread Index :   0 \tConnections : ", report)) << log;
  EXPECT_NE(std::string::npos, log.find("\tName : http://127.0.0.1:" + std::to_string(port), report))
      << log;

  // Many at once, on several connections, some held back.
  WriteAll(dir_ + "/body", std::string(1000, 'a'));
  EXPECT_EQ(0, RunCmd("h2load -n 400 -c 4 -m 20 -H 'x-delay-ms: 5' -d " + dir_ + "/body " + url,
                      &out, 60));
  EXPECT_NE(std::string::npos, out.find("requests: 400 total, 400 started, 400 done, 400 succeeded"))
      << out;
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
