#include "CQIRHttp2StreamData.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// A chunk goes in while it fits whole; from the first one that does not,
// nothing more goes in, so the body stays a prefix. New starts over.
// (BodyOverTheLimitIsAPrefix)
TEST(CQIRHttp2StreamData, PayloadFillsToCapacityAndDropsWhatDoesNotFit) {
  struct {
    std::vector<std::string> chunks;
    std::string stored;
    int rejected;
  } cases[] = {{{"12345678"}, "12345678", 0},  // exactly the capacity
               {{"123456789"}, "", 1},         // one byte past it
               {{"1234", "56789", "5"}, "1234", 2},
               {{"", "12"}, "12", 0}};
  CQIRHttp2StreamData s;
  ASSERT_TRUE(s.Initialize(8));
  for (const auto& c : cases) {
    s.New(7);
    int rejected = 0;
    for (const auto& chunk : c.chunks) rejected += !s.SetRequestPayload(chunk.data(), chunk.size());
    char* data = nullptr;
    size_t n = s.GetRequestPayload(&data);
    EXPECT_EQ(c.stored, std::string(data, n));
    EXPECT_EQ(c.rejected, rejected);
    data[n] = '\0';  // the receiver's terminator always has room
  }
}
