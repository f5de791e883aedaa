// h2sync-client against h2o, a server written elsewhere that keeps
// referring to HPACK table entries up to the RFC's default table size of
// 4096 whatever size the client announces.
#include <gtest/gtest.h>

#include "SAMPLE/H2SrvTestUtil.h"

using namespace h2srv_test;

// A small header table made the client's decoder evict entries h2o still
// used: every request failed with COMPRESSION_ERROR and was reported as a
// time-out. Every answer must arrive, over TLS and over the upgrade; h2o's
// answer to the upgrade request itself (stream 1) must not show.
TEST(H2oInteropTest, CompressionErrorWithSmallHeaderTable) {
  if (!HaveCommand("h2o")) GTEST_SKIP() << "h2o is not installed (Debian package h2o)";
  if (access(kClientBinary, X_OK) != 0) GTEST_SKIP() << "h2sync-client is not built";
  TempDir tmp;
  const std::string dir = tmp.path();
  std::string key, crt;
  ASSERT_TRUE(MakeCert(dir, &key, &crt));
  int h2c = FreePort(), tls = FreePort();
  Proc h2o({"bash", QIR_SOURCE_DIR "/scripts/h2o-echo.sh", dir, std::to_string(h2c),
            std::to_string(tls), crt, key},
           dir + "/h2o.out");
  ASSERT_TRUE(h2o.Listening({h2c, tls})) << h2o.Output();
  for (const auto& run : {std::vector<std::string>{"-p", std::to_string(tls)},
                          std::vector<std::string>{"-p", std::to_string(h2c), "-u"}}) {
    SCOPED_TRACE(run.back());
    std::vector<std::string> argv = {kClientBinary, "-h", "127.0.0.1", "-v", "-c", "200"};
    argv.insert(argv.end(), run.begin(), run.end());
    Proc client(argv, dir + "/client.out");
    client.Enter();
    EXPECT_EQ(0, client.Wait(60000));
    std::string out = client.Output();
    EXPECT_EQ(1u, Count(out, "\n200 elapsed...")) << out;
    EXPECT_EQ(200u, Count(out, " response status:")) << out;
    EXPECT_EQ(1u, Count(out, "\n199 response status:200,value[4096:00000199]\n")) << out;
    EXPECT_EQ(0u, Count(out, "error!")) << out;
  }
  h2o.Stop();
}
