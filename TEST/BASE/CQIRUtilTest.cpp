#include "CQIRUtil.h"

#include "CQIRServiceLog.h"
#include "QIRLogTestUtil.h"

#include <gtest/gtest.h>
#include <lz4.h>

#include <stdlib.h>
#include <string.h>

#include <string>
#include <vector>

using qirtest::Captured;

namespace {

// Failures are logged: the console log is open, and their lines are captured.
class CQIRUtilTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(1, QIR_OPEN_SERVICE_LOG(QIR_LOG_ALL)); }
  void TearDown() override { QIR_CLOSE_SERVICE_LOG(); }
  std::string File(const std::string& _content) {
    qirtest::WriteAll(tmp_ / "f", _content);
    return tmp_ / "f";
  }
  qirtest::TempDir tmp_;
};

// n field buffers of exactly CSV_FIELD_MAX + 1 bytes, so ASan sees an overrun.
struct Fields {
  explicit Fields(int _n) : store(_n, std::vector<char>(CQIRUtil::CSV_FIELD_MAX + 1)) {
    for (auto& s : store) ptrs.push_back(s.data());
  }
  std::vector<std::vector<char>> store;
  std::vector<char*> ptrs;
};

}  // namespace

TEST_F(CQIRUtilTest, LoadsFilesAndRefusesWhatIsNotThere) {
  const std::string content("ab\0cd\xff", 6), path = File(content);
  EXPECT_EQ(6u, CQIRUtil::GetFileSize(path.c_str()));
  char* whole = CQIRUtil::LoadFile(path.c_str());
  ASSERT_NE(nullptr, whole);
  EXPECT_EQ(content, std::string(whole, 6));
  free(whole);
  char buf[4];
  Captured([&] {
    EXPECT_EQ(static_cast<size_t>(-1), CQIRUtil::GetFileSize("/nonexistent/qir"));
    EXPECT_FALSE(CQIRUtil::LoadFile("/nonexistent/qir", buf, 1));
    const std::string empty = File("");
    EXPECT_EQ(nullptr, CQIRUtil::LoadFile(empty.c_str()));  // size 0
    EXPECT_FALSE(CQIRUtil::LoadFile(empty.c_str(), buf, 1));
  });
  memset(buf, '~', sizeof(buf));  // fread would take a size of -1 as a huge count
  EXPECT_FALSE(CQIRUtil::LoadFile(path.c_str(), buf, -1));
  EXPECT_EQ("~~~~", std::string(buf, 4));
}

TEST_F(CQIRUtilTest, HashKnownValues) {
  EXPECT_EQ(168, CQIRUtil::Hash("\x80", 1000));                   // 2^32 - 128 = 4294967168
  EXPECT_EQ(989595 % 100000, CQIRUtil::Hash("a\0b", 3, 100000));  // (97 * 101) * 101 + 98
  unsigned long long h = 0;  // wraps modulo 2^32
  for (int i = 0; i < 8; ++i) h = (h * 101 + 'z') % 4294967296ULL;
  EXPECT_EQ(static_cast<int>(h % 2147483647ULL), CQIRUtil::Hash("zzzzzzzz", 2147483647));
  EXPECT_EQ(-1, CQIRUtil::Hash("ab", 0));  // 0 would divide by zero
  EXPECT_EQ(-1, CQIRUtil::Hash("ab", -3));
}

TEST_F(CQIRUtilTest, SplitAtOneSeparator) {
  const struct { const char* text; std::vector<std::string> fields; } cases[] = {
      {"a\"b\",,c", {"ab", "", "c"}},  // quotes dropped, empty field kept
      {"\"x,y\"", {"x", "y"}},         // quotes do not protect
      {"a,b,", {"a", "b"}}, {"", {}}, {",", {""}}};
  for (const auto& c : cases) {
    std::vector<std::string> vec{"stale"};
    EXPECT_EQ(static_cast<int>(c.fields.size()), CQIRUtil::ParseCSV(c.text, ',', &vec)) << c.text;
    EXPECT_EQ(c.fields, vec) << c.text;
    Fields f(3);
    int n = CQIRUtil::ParseCSV(c.text, ',', f.ptrs.data());
    ASSERT_EQ(static_cast<int>(c.fields.size()), n) << c.text;
    for (int i = 0; i < n; ++i) EXPECT_EQ(c.fields[i], f.ptrs[i]) << c.text;
  }
}

TEST_F(CQIRUtilTest, SplitStaysInsideFieldsAndSlots) {
  for (size_t len : {255u, 256u, 511u, 512u}) {
    std::string text = std::string(len, 'x') + ",y";
    std::vector<std::string> vec;
    Fields f(2);
    ASSERT_EQ(2, CQIRUtil::ParseCSV(text.c_str(), ',', &vec));
    ASSERT_EQ(2, CQIRUtil::ParseCSV(text.c_str(), ',', f.ptrs.data()));
    EXPECT_EQ(std::min<size_t>(len, 511), vec[0].size()) << len;
    EXPECT_EQ(std::min<size_t>(len, 255), strlen(f.ptrs[0])) << len;
    EXPECT_STREQ("y", f.ptrs[1]);
  }
  Fields f(3);
  EXPECT_EQ(3, CQIRUtil::ParseCSV("a,b,c,", ',', f.ptrs.data(), 3));
  EXPECT_EQ(-1, CQIRUtil::ParseCSV("a,b,c,d", ',', f.ptrs.data(), 3));
}

TEST_F(CQIRUtilTest, TokensBetweenSeparatorRuns) {
  std::vector<std::string> dest{"kept"};
  EXPECT_EQ(4, CQIRUtil::ParseCSV(std::string("a, b,,c "), ", ", dest));
  EXPECT_EQ(4, CQIRUtil::ParseCSV(std::string(" ,, "), ", ", dest));
  EXPECT_EQ((std::vector<std::string>{"kept", "a", "b", "c"}), dest);
}

// Each direction against liblz4 itself; the buffer form at exactly the bound.
TEST_F(CQIRUtilTest, LZ4RoundTripsThroughLiblz4) {
  std::string noise(5000, '\0');  // incompressible: the output reaches the bound
  for (size_t i = 0; i < noise.size(); ++i) noise[i] = static_cast<char>((i * 2654435761u) >> 13);
  for (const std::string& in : {std::string(), std::string(100000, 'a'), noise}) {
    const int size = static_cast<int>(in.size());
    char *packed = nullptr, *copy = nullptr;
    int n = CQIRUtil::LZ4_Compress(in.data(), size, &packed);
    std::vector<char> plain(in.size() + 1), block(CQIRUtil::LZ4_GetCompressBoundSize(size));
    ASSERT_TRUE(n > 0 && size == LZ4_decompress_safe(packed, plain.data(), n, size));
    EXPECT_EQ(in, std::string(plain.data(), in.size()));
    int m = LZ4_compress_default(in.data(), block.data(), size, static_cast<int>(block.size()));
    ASSERT_EQ(size, CQIRUtil::LZ4_Decompress(block.data(), m, &copy, size));
    EXPECT_EQ(in, std::string(copy, in.size()));
    EXPECT_EQ(m, CQIRUtil::LZ4_Compress(in.data(), size, block.data(), static_cast<int>(block.size())));
    free(packed);
    free(copy);
  }
}

// liblz4 reports a failed compression as 0, which passed on would read as 0
// bytes written.
TEST_F(CQIRUtilTest, LZ4CompressFailureIsNotReportedAsSuccess) {
  const std::string in(1000, 'a');  // fits in far less than the bound
  const int bound = LZ4_compressBound(1000);
  std::vector<char> block(bound);
  char* none = nullptr;
  Captured([&] {
    EXPECT_EQ(-2, CQIRUtil::LZ4_Compress("abc", -1, &none));
    EXPECT_EQ(-2, CQIRUtil::LZ4_Compress("abc", -1, block.data(), bound));
    EXPECT_EQ(-1, CQIRUtil::LZ4_Compress(in.data(), 1000, block.data(), bound - 1));
    int n = CQIRUtil::LZ4_Compress(in.data(), 1000, block.data(), bound);
    EXPECT_EQ(-2, CQIRUtil::LZ4_Decompress(block.data(), n, &none, 999));  // too small
    EXPECT_EQ(-2, CQIRUtil::LZ4_Decompress("\xff\xff\xff", 3, block.data(), bound));  // corrupt
    EXPECT_EQ(-1, CQIRUtil::LZ4_Decompress("abc", 3, &none, -1));
  });
  EXPECT_EQ(nullptr, none);
}

TEST_F(CQIRUtilTest, JSONPrettyFormatting) {
  const struct { const char* json; const char* pretty; } cases[] = {
      {"{ \"a\" :\n 1 ,\t\"b\": [ 1, 2 ] }", "{\n\t\"a\": 1,\n\t\"b\": [\n\t\t1,\n\t\t2\n\t]\n}"},
      {"{\"url\":\"http://h:80\"}", "{\n\t\"url\": \"http://h:80\"\n}"},  // colon in a string
      {"[\"a \\\"{,}\\\" b\",{}]", "[\n\t\"a \\\"{,}\\\" b\",\n\t{\n\t}\n]"}};
  for (const auto& c : cases) {
    std::string result = "kept:";
    CQIRUtil::JSONPrettyFormatting(c.json, result);
    EXPECT_EQ(std::string("kept:") + c.pretty, result) << c.json;
  }
}
