#include "CQIRHttp2StreamData.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

// Chunks are appended while the whole chunk fits; one that does not is
// dropped whole and later chunks that fit still go in.
TEST(CQIRHttp2StreamData, PayloadFillsToCapacityAndDropsWhatDoesNotFit) {
  struct {
    std::vector<std::string> chunks;
    std::string stored;
    int rejected;
  } cases[] = {
      {{"12345678"}, "12345678", 0},         // exactly the capacity
      {{"123456789"}, "", 1},                // one byte past it
      {{"1234", "56789", "567"}, "1234567", 1},
      {{"", "12"}, "12", 0},
  };
  for (const auto& c : cases) {
    CQIRHttp2StreamData s;
    ASSERT_TRUE(s.Initialize(8));
    s.New(7);
    int rejected = 0;
    for (const auto& chunk : c.chunks) {
      rejected += s.SetRequestPayload(chunk.data(), chunk.size()) ? 0 : 1;
    }
    char* data = nullptr;
    size_t n = s.GetRequestPayload(&data);
    EXPECT_EQ(c.stored, std::string(data, n));
    EXPECT_EQ(c.rejected, rejected);
    data[n] = '\0';  // the receiver's terminator always has room
  }
}

TEST(CQIRHttp2StreamData, NewStartsAFreshRequestInTheSameBuffer) {
  CQIRHttp2StreamData s;
  ASSERT_TRUE(s.Initialize(4));
  const char* before = nullptr;
  char* data = nullptr;
  s.New(1);
  s.AddRequestHeader(":path", "/a");
  s.SetRequestPayload("ab", 2);
  s.SetPayloadError();
  before = (s.GetRequestPayload(&data), data);

  s.New(3);
  EXPECT_EQ(3, s.GetStreamID());
  EXPECT_TRUE(s.GetRequestHeader()->empty());
  EXPECT_EQ(0u, s.GetRequestPayload(&data));
  EXPECT_EQ(before, data);
  EXPECT_EQ(0, s.GetError());
}
