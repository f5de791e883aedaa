// h2sync-client end to end: its command line, and runs against h2srv-sample
// and against h2o, a server written elsewhere.
#include "SAMPLE/H2SrvTestUtil.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace h2srv_test;

class H2SyncClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(kClientBinary, X_OK) != 0) GTEST_SKIP() << "h2sync-client not built";
  }
  int Client(const std::vector<std::string>& _args, std::string* _out) {
    return RunToEnd(kClientBinary, _args, dir_, _out);
  }
  bool MakeCert() { return h2srv_test::MakeCert(dir_, &key_, &crt_); }
  TempDir tmp_;
  const std::string dir_ = tmp_.path();
  std::string key_, crt_;
};

TEST_F(H2SyncClientTest, ArgumentRules) {
  std::string closed = std::to_string(FreePort());  // nobody listens there
  struct Case { std::vector<std::string> args; int status; bool usage; } cases[] = {
      {{}, 0, true},
      {{"-h", "127.0.0.1", "-p", "0"}, 0, true},            // port 0 counts as missing
      {{"-p", closed}, 1, false},                           // empty host: connect fails
      {{"-h", "127.0.0.1", "-p", closed, "-e"}, 0, true},   // nothing after -e
      // A host of 32 or more characters used to overrun the 32-byte option buffer.
      {{"-h", std::string(40, 'a'), "-p", "8000"}, 0, true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.args));
    std::string err;
    EXPECT_EQ(c.status, Client(c.args, &err));
    EXPECT_EQ(c.usage ? 1u : 0u, Count(err, "Invalid Arguments...\n"));
  }
}

// Against h2srv-sample on a TLS port, pinging after 1 s of silence and
// closing 1 s later when unanswered: progress lines, one per 20 responses.
// The client used to leave the connection unserved while it waited for
// Enter: the server's ping went unanswered and the server closed.
TEST_F(H2SyncClientTest, AgainstTheSampleServerWithLateEnter) {
  if (access(kSampleBinary, X_OK) != 0) GTEST_SKIP() << "h2srv-sample not built";
  ASSERT_TRUE(MakeCert());
  int port = FreePort();
  const std::string https = std::to_string(port);
  SampleServer srv;
  ASSERT_TRUE(srv.Start(dir_, Ini(TlsLines(key_, crt_), 1, Ports(0, port), "PING_PERIOD = 1\nPING_TIMEOUT = 1"),
                        {port})) << srv.Output();
  std::string out;
  ASSERT_EQ(0, Client({"-h", "127.0.0.1", "-p", https, "-c", "2000"}, &out));
  EXPECT_EQ(100u, Count(out, "] tps=")) << out;
  EXPECT_EQ(1u, Count(out, "\n20 response status:200,value[4096:00000019] tps="));
  EXPECT_EQ(1u, Count(out, "\n2000 elapsed..."));
  Proc late({kClientBinary, "-h", "127.0.0.1", "-p", https, "-c", "3"}, dir_ + "/late.out");
  sleep(3);
  late.Enter();
  ASSERT_EQ(0, late.Wait(60000));
  out = late.Output();
  EXPECT_EQ(1u, Count(out, "\n3 elapsed...")) << out;
  EXPECT_EQ(0u, Count(out, "error!"));
}

// A graceful GOAWAY (python-h2 peer: after the first request, GOAWAY with
// it as last-stream-id, its answer 0.2 s later): the answer that arrives
// after the GOAWAY is printed, the rest are reported as not sent, and the
// run is a failure.
TEST_F(H2SyncClientTest, GracefulGoawayPrintsTheLastAnswerAndCountsTheRest) {
  if (!PythonHasH2()) GTEST_SKIP() << "python3 h2 is missing";
  Proc peer({"/usr/bin/python3", QIR_SOURCE_DIR "/TEST/NET/h2peer.py", "hold", "1", "0", "1", "0",
             "1", "upgrade"},
            dir_ + "/peer.out");
  ASSERT_TRUE(peer.Shows("\n")) << peer.Output();
  std::string port = std::to_string(atoi(peer.Output().c_str() + 5));
  std::string out;
  EXPECT_EQ(1, Client({"-h", "127.0.0.1", "-p", port, "-u", "-c", "5"}, &out));
  EXPECT_EQ(1u, Count(out, "\n0 response status:200,value[4096:00000000]\n")) << out;
  EXPECT_EQ(1u, Count(out, "\n1 elapsed..."));
  EXPECT_EQ(1u, Count(out, "\nGOAWAY(0) received...\n"));
  EXPECT_EQ(1u, Count(out, "\n4 requests not sent (refused, safe to retry)\n"));
  EXPECT_EQ(0u, Count(out, "error!"));
}

// h2o refers to HPACK entries up to the default table size of 4096 whatever
// the client announces; a small table made the client's decoder evict
// entries h2o still used (COMPRESSION_ERROR, reported as time-outs). Every
// answer must arrive, over TLS and over the upgrade; h2o's answer to the
// upgrade request itself must not show.
TEST_F(H2SyncClientTest, CompressionErrorWithSmallHeaderTable) {
  if (!HaveCommand("h2o")) GTEST_SKIP() << "h2o is not installed (Debian package h2o)";
  ASSERT_TRUE(MakeCert());
  int h2c = FreePort(), tls = FreePort();
  Proc h2o({"bash", QIR_SOURCE_DIR "/scripts/h2o-echo.sh", dir_, std::to_string(h2c),
            std::to_string(tls), crt_, key_},
           dir_ + "/h2o.out");
  ASSERT_TRUE(h2o.Listening({h2c, tls})) << h2o.Output();
  for (const auto& run : {std::vector<std::string>{"-p", std::to_string(tls)},
                          std::vector<std::string>{"-p", std::to_string(h2c), "-u"}}) {
    SCOPED_TRACE(run.back());
    std::vector<std::string> argv = {"-h", "127.0.0.1", "-v", "-c", "200"};
    argv.insert(argv.end(), run.begin(), run.end());
    std::string out;
    EXPECT_EQ(0, Client(argv, &out));
    EXPECT_EQ(1u, Count(out, "\n200 elapsed...")) << out;
    EXPECT_EQ(200u, Count(out, " response status:")) << out;
    EXPECT_EQ(1u, Count(out, "\n199 response status:200,value[4096:00000199]\n")) << out;
    EXPECT_EQ(0u, Count(out, "error!")) << out;
  }
  h2o.Stop();
}

}  // namespace
