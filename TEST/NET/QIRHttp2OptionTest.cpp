#include "QIRHttp2Option.h"

#include <gtest/gtest.h>

#include <limits.h>

// The texts are one table indexed by the cause.
TEST(QIRHttp2OptionTest, ErrorTextStaysInsideItsTable) {
  for (int cause : {-1, 10, INT_MIN}) {
    EXPECT_STREQ("unknown...", QIR_HTTP2_GET_ERROR_MSG(cause)) << cause;
    EXPECT_STREQ("unknown", QIR_HTTP2_GET_CLOSE_TEXT(cause)) << cause;
  }
}
