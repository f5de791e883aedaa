// h2srv-sample as operators and newcomers meet it: both cleartext forms and
// an answer for plain HTTP/1.1 on the upgrade port, and the metrics port,
// read by curl, promtool and a real Prometheus.

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <string>

#include "SAMPLE/H2SrvTestUtil.h"

using namespace h2srv_test;

namespace {

class H2SrvOperatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(kSampleBinary, X_OK) != 0) GTEST_SKIP() << "h2srv-sample is not built";
  }

  // GET _path on the metrics port with curl over HTTP/1.1: "status\nbody".
  std::string Get(int _port, const std::string& _path, const std::string& _flags = "") {
    std::string out;
    RunCmd("curl -sS --http1.1 --max-time 5 " + _flags + " -w '\n%{http_code}' http://127.0.0.1:" +
               std::to_string(_port) + _path,
           &out, 10);
    size_t nl = out.rfind('\n');
    return nl == std::string::npos ? out : out.substr(nl + 1) + "\n" + out.substr(0, nl);
  }

  // A scrape as sample lines ("name{labels}" to value), HELP and TYPE left out.
  std::map<std::string, double> Scrape(int _port) {
    std::map<std::string, double> values;
    std::string text = Get(_port, "/metrics");
    if (text.compare(0, 4, "200\n") != 0) return values;
    WriteAll(dir_ + "/scrape.txt", text.substr(4));
    for (size_t p = 4, e; p < text.size(); p = e + 1) {
      e = text.find('\n', p);
      if (e == std::string::npos) e = text.size();
      std::string line = text.substr(p, e - p);
      size_t sp = line.rfind(' ');
      if (line.empty() || line[0] == '#' || sp == std::string::npos) continue;
      values[line.substr(0, sp)] = atof(line.c_str() + sp + 1);
    }
    return values;
  }

  TempDir tmp_;
  const std::string dir_ = tmp_.path();
};

double Sum(const std::map<std::string, double>& _m, const std::string& _prefix) {
  double sum = 0;
  for (const auto& kv : _m) {
    if (kv.first.compare(0, _prefix.size(), _prefix) == 0) sum += kv.second;
  }
  return sum;
}

}  // namespace

// Each event the runtime counts, caused once or a known number of times by
// real peers, moves its counter by exactly that much; the scrape passes
// promtool's lint; the metrics port answers 404 to anything but a scrape and
// serves a scrape while idle sockets hold every slot. The upgrade port takes
// clients that start HTTP/2 directly (h2load) beside the upgrade, answers a
// plain HTTP/1.1 client with 426 after reading the rest of its request (so
// that a reset does not lose the answer), and closes on garbage silently.
TEST_F(H2SrvOperatorTest, MetricsCountWhatPeersDid) {
  if (!CurlHasHttp2() || !PythonHasH2()) GTEST_SKIP() << "curl lacks HTTP/2 or python3 lacks h2";
  int port = FreePort(), tls = FreePort(), mport = FreePort();
  std::string key, crt;
  ASSERT_TRUE(MakeCert(dir_, &key, &crt));
  SampleServer srv;
  ASSERT_TRUE(srv.Start(dir_,
                        Ini("HTTP1X_UPGRADE = true\n" + TlsLines(key, crt), 2,
                            Ports(port, tls) + "METRICS_PORT = " + std::to_string(mport),
                            "MAX_CONCURRENT_STREAM = 2\nPING_PERIOD = 60"),
                        {port, tls}))
      << srv.Output();
  ASSERT_TRUE(srv.Shows("Start metrics listening...(127.0.0.1 port=")) << srv.Output();
  std::map<std::string, double> before = Scrape(mport);
  ASSERT_FALSE(before.empty());

  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/";
  std::string out;
  {
    // The whole request, larger than the set-up stage waits for, written
    // before any read: the body still arrives when the answer goes out.
    int slow = Loopback(&port);
    const std::string head = "POST /echo HTTP/1.1\r\nHost: t\r\nContent-Length: 102400\r\n\r\n";
    ASSERT_EQ(static_cast<ssize_t>(head.size()), send(slow, head.data(), head.size(), MSG_NOSIGNAL));
    const std::string piece(16 * 1024, 'b');
    for (size_t left = 100 * 1024, n; left > 0; left -= n, usleep(20000)) {
      n = std::min(left, piece.size());
      ASSERT_EQ(static_cast<ssize_t>(n), send(slow, piece.data(), n, MSG_NOSIGNAL)) << left;
    }
    EXPECT_EQ(std::string("HTTP/1.1 426 Upgrade Required\r\nUpgrade: h2c\r\nConnection: Upgrade, close\r\n"
                          "Content-Type: text/plain\r\nContent-Length: 82\r\n\r\n") +
                  "This port speaks HTTP/2 only: use the h2c upgrade or HTTP/2 with prior knowledge.\n",
              ReadToClose(slow));
    const char garbage[] = "\x16\x03\x01\x02\x00 not HTTP at all\r\n\r\n";
    int fd = Loopback(&port);
    ASSERT_EQ(static_cast<ssize_t>(sizeof(garbage) - 1), write(fd, garbage, sizeof(garbage) - 1));
    EXPECT_EQ("", ReadToClose(fd));
  }
  WriteAll(dir_ + "/big", std::string(70000, 'b'));
  EXPECT_EQ(0, RunCmd("curl -sS --http2-prior-knowledge -o /dev/null -w '%{http_code} %{size_download}' "
                      "--data-binary @" + dir_ + "/big " + url, &out, 10));
  EXPECT_EQ("413 0", out);  // over the payload limit: no body
  EXPECT_EQ(0, RunCmd("curl -sS --http2 -o /dev/null -d x " + url, &out, 10));  // by upgrade
  EXPECT_EQ(0, RunCmd("curl -sS --http2 -k -o /dev/null https://127.0.0.1:" + std::to_string(tls) + "/",
                      &out, 10));
  int plain = Loopback(&tls);  // plain text where TLS is spoken: a failed handshake
  const char text[] = "GET / HTTP/1.1\r\n\r\n";
  ASSERT_EQ(static_cast<ssize_t>(sizeof(text) - 1), write(plain, text, sizeof(text) - 1));
  ReadToClose(plain);
  // Five requests at once before the client has seen the limit of two:
  // three are refused by the server. Then one stream reset by the client,
  // and one the server resets for a connection-specific header.
  out = Python(dir_, R"PY(
import socket, sys, time, h2.connection, h2.config, h2.events
s = socket.create_connection(("127.0.0.1", int(sys.argv[1])), timeout=5)
c = h2.connection.H2Connection(h2.config.H2Configuration(
    client_side=True, validate_outbound_headers=False, normalize_outbound_headers=False))
c.initiate_connection()
req = [(":method", "GET"), (":scheme", "http"), (":authority", "t"), (":path", "/")]
for i in range(5):
    c.send_headers(1 + 2 * i, req, end_stream=True)
s.sendall(c.data_to_send())
codes, ended, resets = [], 0, 0
deadline = time.time() + 10
def pump():
    global ended, resets
    for e in c.receive_data(s.recv(65536)):
        if isinstance(e, h2.events.ResponseReceived):
            codes.append(dict(e.headers)[b":status"].decode())
        elif isinstance(e, h2.events.StreamEnded):
            ended += 1
        elif isinstance(e, h2.events.StreamReset):
            resets += 1
    s.sendall(c.data_to_send())
while ended + resets < 5 and time.time() < deadline:
    pump()
c.send_headers(11, req)
c.reset_stream(11)
c.send_headers(13, req + [("connection", "keep-alive")], end_stream=True)
s.sendall(c.data_to_send())
while resets < 4 and time.time() < deadline:
    pump()
c.close_connection()
s.sendall(c.data_to_send())
s.close()
print(" ".join(sorted(codes)), resets)
)PY", std::to_string(port));
  EXPECT_EQ("200 200 4\n", out);
  EXPECT_EQ(0, RunCmd("h2load -n 100 -c 2 " + url, &out, 30));
  EXPECT_NE(std::string::npos, out.find("100 succeeded, 0 failed")) << out;

  std::map<std::string, double> after;
  // The last connection is counted closed once its worker has removed it.
  EXPECT_TRUE(srv.Until([&] {
    after = Scrape(mport);
    return after["qir_connections_open"] == 0;
  })) << ReadAll(dir_ + "/scrape.txt");
  auto delta = [&](const std::string& _name) { return after[_name] - before[_name]; };
  EXPECT_EQ(1, delta("qir_upgrade_required_total"));
  EXPECT_EQ(1, delta("qir_request_bodies_over_limit_total"));
  EXPECT_EQ(1, delta("qir_requests_total{form=\"upgrade\",code=\"2xx\"}"));
  EXPECT_EQ(1, delta("qir_requests_total{form=\"tls\",code=\"2xx\"}"));
  EXPECT_EQ(1, delta("qir_tls_handshake_failures_total"));
  EXPECT_EQ(1, delta("qir_requests_total{form=\"preface\",code=\"4xx\"}"));  // the 413
  EXPECT_EQ(102, delta("qir_requests_total{form=\"preface\",code=\"2xx\"}"));
  EXPECT_EQ(1, delta("qir_stream_resets_total{by=\"peer\"}"));
  EXPECT_EQ(4, delta("qir_stream_resets_total{by=\"server\"}"));
  // 9 connections, each closed again; the 426 one, the garbage and the
  // failed handshake in set-up.
  EXPECT_EQ(9, delta("qir_connections_accepted_total"));
  EXPECT_EQ(9, Sum(after, "qir_connections_closed_total") - Sum(before, "qir_connections_closed_total"));
  EXPECT_EQ(3, delta("qir_connections_closed_total{cause=\"setup\"}"));
  EXPECT_EQ(0, Sum(after, "qir_worker_connections_open"));
  // Every answered request has its latency.
  EXPECT_EQ(Sum(after, "qir_requests_total") - Sum(before, "qir_requests_total"),
            delta("qir_request_duration_seconds_count"));
  // On loopback no answer takes 10 s, the upgraded request's included.
  EXPECT_EQ(after["qir_request_duration_seconds_count"],
            after["qir_request_duration_seconds_bucket{le=\"10\"}"]);
  EXPECT_GT(10.0, after["qir_request_duration_seconds_sum"]);
  EXPECT_LT(70000, delta("qir_received_bytes_total"));
  EXPECT_LT(0, delta("qir_sent_bytes_total"));
  if (HaveCommand("promtool")) {
    EXPECT_EQ(0, RunCmd("promtool check metrics < " + dir_ + "/scrape.txt", &out, 20, true));
    EXPECT_EQ("", out);
  }

  // Anything but a scrape is 404; idle sockets filling every slot give way.
  EXPECT_EQ(0u, Get(mport, "/").find("404\n"));
  EXPECT_EQ(0u, Get(mport, "/metrics", "-d x").find("404\n"));
  std::vector<int> idle;
  for (int i = 0; i < 12; ++i) idle.push_back(Loopback(&mport));
  EXPECT_EQ(0u, Get(mport, "/metrics").find("200\n# HELP qir_"));
  for (int fd : idle) close(fd);

  // A real Prometheus, on loopback with its own storage, scrapes every
  // second while h2load runs: its API shows the target up and the requests
  // counted as the runtime counts them.
  const bool prometheus = HaveCommand("prometheus");
  if (prometheus) {
    int web = FreePort();
    WriteAll(dir_ + "/prometheus.yml",
             "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\n"
             "scrape_configs:\n  - job_name: qir\n    static_configs:\n"
             "      - targets: ['127.0.0.1:" + std::to_string(mport) + "']\n");
    Proc prom({"prometheus", "--config.file=" + dir_ + "/prometheus.yml", "--storage.tsdb.path=" + dir_ + "/tsdb",
               "--web.listen-address=127.0.0.1:" + std::to_string(web)},
              dir_ + "/prometheus.out");
    ASSERT_TRUE(prom.Listening({web})) << prom.Output();
    EXPECT_EQ(0, RunCmd("h2load -n 20000 -c 4 -m 2 " + url, &out, 40));
    ASSERT_NE(std::string::npos, out.find("20000 succeeded, 0 failed")) << out;
    const std::string total = std::to_string(static_cast<long>(Sum(Scrape(mport), "qir_requests_total"))) + "\n";
    // The query's single value, or "none".
    auto query = [&](const std::string& _promql) {
      std::string value;
      RunCmd("curl -sS --max-time 5 --data-urlencode 'query=" + _promql + "' http://127.0.0.1:" +
                 std::to_string(web) + "/api/v1/query | /usr/bin/python3 -c 'import json, sys; "
                 "r = json.load(sys.stdin)[\"data\"][\"result\"]; print(r[0][\"value\"][1] if r else \"none\")'",
             &value, 10);
      return value;
    };
    std::string up, requests;
    EXPECT_TRUE(prom.Until([&] {
      up = query("up{job=\"qir\"}");
      requests = query("sum(qir_requests_total{job=\"qir\"})");
      return up == "1\n" && requests == total;
    }, 40000)) << "up " << up << " requests " << requests << " of " << total << prom.Output();
    EXPECT_EQ(0, prom.Stop());
  }
  EXPECT_EQ(0, srv.Stop());
  if (!prometheus) GTEST_SKIP() << "prometheus is not installed: no real scrape";
}
