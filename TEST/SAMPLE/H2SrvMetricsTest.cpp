// h2srv-sample as operators and newcomers meet it: both cleartext forms and
// an answer for plain HTTP/1.1 on the upgrade port.

#include <gtest/gtest.h>

#include <string>

#include "SAMPLE/H2SrvTestUtil.h"

using namespace h2srv_test;

namespace {

const std::string kUpgrade = "HTTP1X_UPGRADE = true\nUSE_SSL = false\n";

class H2SrvOperatorTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (access(kSampleBinary, X_OK) != 0) GTEST_SKIP() << "h2srv-sample is not built";
  }
  TempDir tmp_;
  const std::string dir_ = tmp_.path();
};

}  // namespace

// The upgrade port takes clients that start HTTP/2 directly (curl, nghttp
// and h2load with prior knowledge) beside the upgrade, and tells a plain
// HTTP/1.1 client what it speaks; garbage is still closed without a word.
TEST_F(H2SrvOperatorTest, UpgradePortTakesBothFormsAndAnswersHttp1) {
  if (!CurlHasHttp2()) GTEST_SKIP() << "curl lacks HTTP/2";
  int port = FreePort();
  SampleServer srv;
  ASSERT_TRUE(srv.Start(dir_, Ini(kUpgrade, 2, Ports(port, 0)), {port})) << srv.Output();
  const std::string url = "http://127.0.0.1:" + std::to_string(port) + "/echo";
  std::string out;
  for (const char* form : {"--http2-prior-knowledge", "--http2"}) {
    EXPECT_EQ(0, RunCmd(std::string("curl -sS ") + form + " -d hello -w ' %{http_code} %{http_version}' " + url,
                        &out, 20));
    EXPECT_EQ("hello 200 2", out) << form;
  }
  WriteAll(dir_ + "/in", "nghttp");
  EXPECT_EQ(0, RunCmd("nghttp -d " + dir_ + "/in " + url, &out, 20));
  EXPECT_EQ("nghttp", out);
  EXPECT_EQ(0, RunCmd("h2load -n 200 -c 4 -m 8 " + url, &out, 60));
  EXPECT_NE(std::string::npos, out.find("200 succeeded, 0 failed")) << out;

  // curl --http1.1 gets the whole answer, then the close.
  EXPECT_EQ(0, RunCmd("curl -sS -i --http1.1 -d abc " + url, &out, 20));
  EXPECT_EQ(std::string("HTTP/1.1 426 Upgrade Required\r\nUpgrade: h2c\r\nConnection: Upgrade, close\r\n"
                        "Content-Type: text/plain\r\nContent-Length: 82\r\n\r\n") +
                "This port speaks HTTP/2 only: use the h2c upgrade or HTTP/2 with prior knowledge.\n",
            out);
  int fd = Loopback(&port);
  const char garbage[] = "\x16\x03\x01\x02\x00 not HTTP at all\r\n\r\n";
  ASSERT_EQ(static_cast<ssize_t>(sizeof(garbage) - 1), write(fd, garbage, sizeof(garbage) - 1));
  timeval limit{10, 0};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof(limit));
  char c;
  EXPECT_EQ(0, recv(fd, &c, 1, 0));  // closed, nothing said
  close(fd);
  EXPECT_EQ(0, srv.Stop());
}
