// h2async-client end to end: its command line, and runs against h2srv-sample
// and nghttpd over TLS and over cleartext.
#include "SAMPLE/H2SrvTestUtil.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using namespace h2srv_test;
using qirtest::Has;

const char* const kAsyncClient = QIR_BINARY_DIR "/h2async-client";

class H2AsyncClientTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(kAsyncClient, X_OK) != 0) GTEST_SKIP() << "h2async-client not built";
  }
  int Client(const std::vector<std::string>& _args, std::string* _out) {
    return RunToEnd(kAsyncClient, _args, dir_, _out);
  }
  TempDir tmp_;
  const std::string dir_ = tmp_.path();
};

TEST_F(H2AsyncClientTest, ArgumentRules) {
  std::string out;
  for (const std::vector<std::string>& args :
       {std::vector<std::string>{}, {"-h", "127.0.0.1", "-c", "1"},
        {"-h", "127.0.0.1", "-p", "1", "-u", "-P"}, {"-h", "127.0.0.1", "-p", "1", "-m", "0"}}) {
    EXPECT_EQ(2, Client(args, &out));
    EXPECT_NE(std::string::npos, out.find("usage: ")) << out;
  }
  std::string closed = std::to_string(FreePort());
  EXPECT_EQ(1, Client({"-h", "127.0.0.1", "-p", closed, "-P", "-c", "3"}, &out));
}

// Three connections of 20 streams each, driven by one thread, over TLS and
// over the connection preface, against h2srv-sample and nghttpd: every
// request answered, counted once. With --cacert naming another certificate
// the server's self-signed one is refused.
TEST_F(H2AsyncClientTest, AgainstTheSampleServerAndNghttpd) {
  if (access(kSampleBinary, X_OK) != 0) GTEST_SKIP() << "h2srv-sample not built";
  if (!HaveCommand("nghttpd")) GTEST_SKIP() << "nghttpd is not installed (nghttp2-server)";
  std::string key, crt;
  ASSERT_TRUE(MakeCert(dir_, &key, &crt));
  const int h2c = FreePort(), tls = FreePort(), ngH2c = FreePort(), ngTls = FreePort();
  SampleServer srv;  // one port of each form
  ASSERT_TRUE(srv.Start(dir_, Ini("HTTP1X_UPGRADE = false\n" + TlsLines(key, crt), 1, Ports(h2c, tls)), {h2c, tls}))
      << srv.Output();
  Proc ngPlain({"nghttpd", "--echo-upload", "-n1", "--no-tls", std::to_string(ngH2c)}, dir_ + "/plain.out");
  Proc ngSecure({"nghttpd", "--echo-upload", "-n1", std::to_string(ngTls), key, crt}, dir_ + "/secure.out");
  ASSERT_TRUE(ngPlain.Listening({ngH2c}) && ngSecure.Listening({ngTls})) << ngPlain.Output() << ngSecure.Output();
  WriteAll(dir_ + "/body", std::string(4096, 'b'));
  for (const auto& run : {std::vector<std::string>{"-p", std::to_string(tls)},
                          std::vector<std::string>{"-p", std::to_string(h2c), "-P"},
                          std::vector<std::string>{"-p", std::to_string(ngTls)},
                          std::vector<std::string>{"-p", std::to_string(ngH2c), "-P"}}) {
    SCOPED_TRACE(run[1] + (run.size() == 3 ? " -P" : ""));
    std::vector<std::string> argv = {"-h", "127.0.0.1", "-c", "600", "-m", "20", "-n", "3",
                                     "-d", dir_ + "/body"};
    argv.insert(argv.end(), run.begin(), run.end());
    std::string out;
    EXPECT_EQ(0, Client(argv, &out)) << out;
    EXPECT_EQ(run.size() == 2, Has(out, "server certificates are not authenticated")) << out;
    EXPECT_EQ(1u, Count(out, "\noutcomes: 2xx 600, 3xx 0, 4xx 0, 5xx 0, other 0, timed out 0, "
                             "refused 0, reset 0, failed 0, not sent 0\n"))
        << out;
  }
  TempDir other;
  std::string otherKey, otherCrt, out;
  ASSERT_TRUE(MakeCert(other.path(), &otherKey, &otherCrt));
  EXPECT_EQ(1, Client({"-h", "127.0.0.1", "-p", std::to_string(tls), "-c", "3", "--cacert", otherCrt},
                      &out));
  EXPECT_TRUE(Has(out, "certificate refused: ")) << out;
}

}  // namespace
