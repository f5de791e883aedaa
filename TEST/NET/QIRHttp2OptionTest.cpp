#include "QIRHttp2Option.h"

#include "CQIRServiceLog.h"
#include "NET/QIRNetTestUtil.h"

#include <gtest/gtest.h>
#include <nghttp2/nghttp2.h>

#include <limits.h>

#include <string>

// The texts are one table indexed by the cause.
TEST(QIRHttp2OptionTest, ErrorTextStaysInsideItsTable) {
  EXPECT_STREQ("stream already closed!",
               QIR_HTTP2_GET_ERROR_MSG(QIR_HTTP2_CONN_ERROR_CAUSE_STREAM_ALREADY_CLOSED));
  EXPECT_STREQ("already closed",
               QIR_HTTP2_GET_CLOSE_TEXT(QIR_HTTP2_CONN_ERROR_CAUSE_STREAM_ALREADY_CLOSED));
  for (int cause : {-1, 10, INT_MIN}) {
    EXPECT_STREQ("unknown...", QIR_HTTP2_GET_ERROR_MSG(cause)) << cause;
    EXPECT_STREQ("unknown", QIR_HTTP2_GET_CLOSE_TEXT(cause)) << cause;
  }
}

TEST(QIRHttp2OptionTest, InitSwitchesDetailLogOnlyForTrue) {
  const struct { const char* value; int before, after; } cases[] = {
      {nullptr, 0, 0}, {"tRuE", 0, 1}, {"1", 0, 0}, {"true ", 0, 0}, {"false", 0, 0},
      {nullptr, 1, 1}};  // never cleared once on
  QIR_OPEN_SERVICE_LOG(QIR_LOG_ALL);
  for (const auto& c : cases) {
    ScopedEnv env("QIR_HTTP2_DETAIL_LOG", c.value);
    G_QIR_HTTP2_DETAIL_LOG = c.before;
    std::string out = Captured(QIR_HTTP2_INIT);
    EXPECT_EQ(c.after, G_QIR_HTTP2_DETAIL_LOG) << (c.value ? c.value : "(unset)");
    EXPECT_TRUE(Has(out, std::string("nghttp2 version        : ") + nghttp2_version(0)->version_str))
        << out;
  }
  G_QIR_HTTP2_DETAIL_LOG = 0;
}
