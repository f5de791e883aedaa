// h2sync-client end to end: its command line, and runs against h2srv-sample
// (runs against a server written elsewhere: H2oInteropTest).
#include "SAMPLE/H2SrvTestUtil.h"

#include "CQIRHttp2Request.h"
#include "QIRCommonOpenSSL.h"

#include <gtest/gtest.h>

#include <memory>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace h2srv_test;

class H2SyncClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(kClientBinary, X_OK) != 0) GTEST_SKIP() << "h2sync-client not built";
    dir_ = MakeTempDir();
    ASSERT_FALSE(dir_.empty());
  }
  void TearDown() override { RemoveTree(dir_); }
  // Runs the client to its end (Enter at once): exit status and output.
  int Client(std::vector<std::string> _args, std::string* _out) {
    _args.insert(_args.begin(), kClientBinary);
    Proc c(_args, dir_ + "/client.out");
    c.Enter();
    int rc = c.Wait(60000);
    *_out = c.Output();
    return rc < 0 ? c.Stop(SIGKILL) : rc;
  }
  bool MakeCert() { return h2srv_test::MakeCert(dir_, &key_, &crt_); }
  std::string dir_, key_, crt_;
};

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
      // A host of 32 or more characters used to overrun the 32-byte option buffer.
      {{"-h", std::string(40, 'a'), "-p", "8000"}, 0, true},
  };
  for (const Case& c : cases) {
    std::string all;
    for (const std::string& a : c.args) all += a + " ";
    SCOPED_TRACE(all);
    std::string err;
    EXPECT_EQ(c.status, Client(c.args, &err));
    EXPECT_EQ(c.usage ? 1u : 0u, Count(err, "Invalid Arguments...\n"));
    if (c.usage) {
      EXPECT_NE(std::string::npos, err.find("\t -e       : external event dispath mode\n"));
      EXPECT_NE(std::string::npos, err.find("examples)\n\t"));
    }
  }
}

// h2srv-sample echoes every body with 200: a TLS port and an upgrade port.
class H2SrvSampleRunTest : public H2SyncClientTest {
 protected:
  void SetUp() override {
    H2SyncClientTest::SetUp();
    if (IsSkipped()) return;
    if (access(kSampleBinary, X_OK) != 0) GTEST_SKIP() << "h2srv-sample not built";
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
    srv_.reset(new Proc({kSampleBinary, dir_ + "/srv.ini"}, dir_ + "/srv.out"));
    ASSERT_TRUE(srv_->Listening({std::stoi(http_), std::stoi(https_)}));
  }
  std::string http_, https_;
  std::unique_ptr<Proc> srv_;
};

TEST_F(H2SrvSampleRunTest, TlsWithProgressLines) {
  Start();
  std::string out;
  ASSERT_EQ(0, Client({"-h", "127.0.0.1", "-p", https_, "-c", "2000"}, &out));
  EXPECT_EQ(100u, Count(out, "] tps=")) << out;  // one progress line per 20 responses
  EXPECT_EQ(1u, Count(out, "\n20 response status:200,value[4096:00000019] tps="));
  EXPECT_EQ(1u, Count(out, "\n2000 elapsed..."));
}

// The client used to leave the connection unserved while it waited for
// Enter: the server's keep-alive ping went unanswered and the server closed.
TEST_F(H2SrvSampleRunTest, EnterPressedLateStillFindsTheConnectionOpen) {
  Start(1);
  Proc c({kClientBinary, "-h", "127.0.0.1", "-p", https_, "-c", "3"}, dir_ + "/late.out");
  sleep(3);  // ping after 1 s of silence, closed 1 s later if unanswered
  c.Enter();
  ASSERT_EQ(0, c.Wait(60000));
  std::string out = c.Output();
  EXPECT_EQ(1u, Count(out, "\n3 elapsed...")) << out;
  EXPECT_EQ(0u, Count(out, "error!"));
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
