#include "CQIRUtil.h"

#include "CQIRServiceLog.h"

#include <gtest/gtest.h>
#include <lz4.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <random>
#include <string>
#include <vector>

namespace {

// Opens the console log for the test and captures what a call prints.
class CQIRUtilTest : public testing::Test {
 protected:
  void SetUp() override { ASSERT_EQ(1, QIR_OPEN_SERVICE_LOG(QIR_LOG_ALL)); }
  void TearDown() override { QIR_CLOSE_SERVICE_LOG(); }

  template <typename F>
  static std::string Captured(F _fn) {
    testing::internal::CaptureStdout();
    _fn();
    return testing::internal::GetCapturedStdout();
  }
};

// A file in a fresh temporary directory, removed with it.
class TempFile {
 public:
  explicit TempFile(const std::string& _content) {
    char dir[] = "/tmp/qir_util_XXXXXX";
    dir_ = mkdtemp(dir);
    path_ = dir_ + "/f";
    FILE* fp = fopen(path_.c_str(), "wb");
    fwrite(_content.data(), 1, _content.size(), fp);
    fclose(fp);
  }
  ~TempFile() {
    unlink(path_.c_str());
    rmdir(dir_.c_str());
  }
  const char* path() const { return path_.c_str(); }

 private:
  std::string dir_, path_;
};

// Field buffers of exactly CSV_FIELD_MAX + 1 bytes, on the heap for ASan.
struct Fields {
  explicit Fields(int _n) : store(_n), ptrs(_n) {
    for (int i = 0; i < _n; ++i) {
      store[i].assign(CQIRUtil::CSV_FIELD_MAX + 1, '~');
      ptrs[i] = &store[i][0];
    }
  }
  std::vector<std::vector<char>> store;
  std::vector<char*> ptrs;
};

}  // namespace

TEST_F(CQIRUtilTest, LoadsWholeFiles) {
  const std::string content("ab\0cd\xff", 6);
  TempFile f(content);
  EXPECT_EQ(6u, CQIRUtil::GetFileSize(f.path()));
  char* whole = CQIRUtil::LoadFile(f.path());
  ASSERT_NE(nullptr, whole);
  EXPECT_EQ(content, std::string(whole, 6));
  free(whole);

  std::vector<char> buf(4, '~');
  EXPECT_TRUE(CQIRUtil::LoadFile(f.path(), buf.data(), 4));  // a prefix is fine
  EXPECT_EQ(std::string("ab\0c", 4), std::string(buf.data(), 4));
}

TEST_F(CQIRUtilTest, LoadFailuresAreLogged) {
  TempFile empty("");
  std::string out = Captured([&] {
    EXPECT_EQ(static_cast<size_t>(-1), CQIRUtil::GetFileSize("/nonexistent/qir"));
    EXPECT_EQ(nullptr, CQIRUtil::LoadFile("/nonexistent/qir"));
    EXPECT_EQ(nullptr, CQIRUtil::LoadFile(empty.path()));  // size 0
  });
  EXPECT_NE(std::string::npos, out.find("[2-No such file or directory]stat(/nonexistent/qir) failed..."));

  char buf[8];
  out = Captured([&] { EXPECT_FALSE(CQIRUtil::LoadFile("/nonexistent/qir", buf, 1)); });
  EXPECT_NE(std::string::npos, out.find("]fopen(/nonexistent/qir) failed..."));
  out = Captured([&] { EXPECT_FALSE(CQIRUtil::LoadFile(empty.path(), buf, 1)); });
  EXPECT_NE(std::string::npos, out.find("]fread() failed..."));
}

// A negative size would reach fread as a huge count and overrun _memory.
TEST_F(CQIRUtilTest, LoadFileRefusesNegativeSize) {
  TempFile f("data");
  char buf[4] = {'~', '~', '~', '~'};
  EXPECT_FALSE(CQIRUtil::LoadFile(f.path(), buf, -1));
  EXPECT_EQ(std::string(4, '~'), std::string(buf, 4));
}

TEST_F(CQIRUtilTest, HashKnownValues) {
  EXPECT_EQ(0, CQIRUtil::Hash("", 1000));
  EXPECT_EQ(895, CQIRUtil::Hash("ab", 1000));  // 97 * 101 + 98 = 9895
  // 0x80 counts as -128: 2^32 - 128 = 4294967168.
  EXPECT_EQ(168, CQIRUtil::Hash("\x80", 1000));
  EXPECT_EQ(97 % 7, CQIRUtil::Hash("a\0b", 1, 7));
  // With 3 bytes: (97 * 101 + 0) * 101 + 98 = 989595.
  EXPECT_EQ(989595 % 100000, CQIRUtil::Hash("a\0b", 3, 100000));
  // Wraps modulo 2^32: 8 bytes of 'z' checked against 64-bit arithmetic.
  unsigned long long h = 0;
  for (int i = 0; i < 8; ++i) h = (h * 101 + 'z') % 4294967296ULL;
  EXPECT_EQ(static_cast<int>(h % 2147483647ULL), CQIRUtil::Hash("zzzzzzzz", 2147483647));
}

// A size of 0 would divide by zero.
TEST_F(CQIRUtilTest, HashRefusesNonPositiveSize) {
  EXPECT_EQ(-1, CQIRUtil::Hash("ab", 0));
  EXPECT_EQ(-1, CQIRUtil::Hash("ab", -5));
}

TEST_F(CQIRUtilTest, SplitAtOneSeparator) {
  const struct { const char* text; std::vector<std::string> fields; } cases[] = {
      {"a\"b\",,c", {"ab", "", "c"}},     // quotes dropped, empty field kept
      {"a,\"b\",,c", {"a", "b", "", "c"}},
      {"a,b,", {"a", "b"}},                // no trailing empty field
      {"", {}},
      {"abc", {"abc"}},
      {",", {""}},
      {"\"x,y\"", {"x", "y"}},             // quotes do not protect
  };
  for (const auto& c : cases) {
    std::vector<std::string> vec{"stale"};
    EXPECT_EQ(static_cast<int>(c.fields.size()), CQIRUtil::ParseCSV(c.text, ',', &vec)) << c.text;
    EXPECT_EQ(c.fields, vec) << c.text;

    Fields f(4);
    int n = CQIRUtil::ParseCSV(c.text, ',', f.ptrs.data());
    ASSERT_EQ(static_cast<int>(c.fields.size()), n) << c.text;
    for (int i = 0; i < n; ++i) EXPECT_EQ(c.fields[i], f.ptrs[i]) << c.text;
  }
}

TEST_F(CQIRUtilTest, SplitFieldsAreCutAtTheirLimit) {
  for (size_t len : {255u, 256u, 511u, 512u}) {
    std::string text = std::string(len, 'x') + ",y";
    std::vector<std::string> vec;
    ASSERT_EQ(2, CQIRUtil::ParseCSV(text.c_str(), ',', &vec));
    EXPECT_EQ(std::min<size_t>(len, 511), vec[0].size()) << len;
    EXPECT_EQ("y", vec[1]);

    Fields f(2);
    ASSERT_EQ(2, CQIRUtil::ParseCSV(text.c_str(), ',', f.ptrs.data()));
    EXPECT_EQ(std::min<size_t>(len, 255), strlen(f.ptrs[0])) << len;
    EXPECT_STREQ("y", f.ptrs[1]);
  }
}

TEST_F(CQIRUtilTest, SizedSplitRefusesMoreFieldsThanSlots) {
  Fields f(3);
  EXPECT_EQ(3, CQIRUtil::ParseCSV("a,b,c", ',', f.ptrs.data(), 3));
  EXPECT_EQ(3, CQIRUtil::ParseCSV("a,b,c,", ',', f.ptrs.data(), 3));
  EXPECT_EQ(-1, CQIRUtil::ParseCSV("a,b,c,d", ',', f.ptrs.data(), 3));
  EXPECT_STREQ("c", f.ptrs[2]);
}

TEST_F(CQIRUtilTest, TokensBetweenSeparatorRuns) {
  std::vector<std::string> dest{"kept"};
  EXPECT_EQ(4, CQIRUtil::ParseCSV(std::string("a, b,,c "), ", ", dest));
  EXPECT_EQ((std::vector<std::string>{"kept", "a", "b", "c"}), dest);
  EXPECT_EQ(4, CQIRUtil::ParseCSV(std::string(" ,, "), ", ", dest));
  EXPECT_EQ(5, CQIRUtil::ParseCSV(std::string("Upgrade"), ", ", dest));
  EXPECT_EQ("Upgrade", dest.back());
}

TEST_F(CQIRUtilTest, LZ4RoundTripsThroughLiblz4) {
  std::mt19937 rng(3);
  std::string random(5000, '\0');
  for (char& c : random) c = static_cast<char>(rng());
  const std::string inputs[] = {"", "x", std::string(100000, 'a'), random,
                                "GET / HTTP/1.1 GET / HTTP/1.1 GET / HTTP/1.1"};
  for (const std::string& in : inputs) {
    const int size = static_cast<int>(in.size());
    // Ours compresses, liblz4 decompresses.
    char* packed = nullptr;
    int n = CQIRUtil::LZ4_Compress(in.data(), size, &packed);
    ASSERT_GT(n, 0);
    std::vector<char> plain(in.size() + 1);
    ASSERT_EQ(size, LZ4_decompress_safe(packed, plain.data(), n, size));
    EXPECT_EQ(in, std::string(plain.data(), in.size()));

    // Buffer form at exactly the bound, then our decompression of it.
    std::vector<char> block(CQIRUtil::LZ4_GetCompressBoundSize(size));
    ASSERT_EQ(LZ4_compressBound(size), static_cast<int>(block.size()));
    int m = CQIRUtil::LZ4_Compress(in.data(), size, block.data(), static_cast<int>(block.size()));
    ASSERT_GT(m, 0);
    EXPECT_EQ(size, CQIRUtil::LZ4_Decompress(block.data(), m, plain.data(), size));
    EXPECT_EQ(in, std::string(plain.data(), in.size()));
    char* copy = nullptr;
    ASSERT_EQ(size, CQIRUtil::LZ4_Decompress(packed, n, &copy, size));
    EXPECT_EQ(in, std::string(copy, in.size()));
    free(copy);
    free(packed);
  }
}

TEST_F(CQIRUtilTest, LZ4RefusesDestinationBelowBound) {
  const std::string in(1000, 'a');  // compresses to far less than the bound
  const int bound = LZ4_compressBound(1000);
  std::vector<char> block(bound - 1);
  std::string out = Captured([&] {
    EXPECT_EQ(-1, CQIRUtil::LZ4_Compress(in.data(), 1000, block.data(), bound - 1));
  });
  EXPECT_NE(std::string::npos,
            out.find("dest buffer size overflow!...(" + std::to_string(bound) + "," +
                     std::to_string(bound - 1) + ")"));
}

TEST_F(CQIRUtilTest, LZ4CorruptOrTooSmallOutputIsCodecFailure) {
  const std::string in = "abcabcabcabcabcabcabcabc";
  char* packed = nullptr;
  int n = CQIRUtil::LZ4_Compress(in.data(), static_cast<int>(in.size()), &packed);
  ASSERT_GT(n, 0);
  char small[8];
  std::string out = Captured([&] {
    EXPECT_EQ(-2, CQIRUtil::LZ4_Decompress(packed, n, small, sizeof(small)));
    char* none = nullptr;
    EXPECT_EQ(-2, CQIRUtil::LZ4_Decompress("\xff\xff\xff", 3, &none, 100));
    EXPECT_EQ(nullptr, none);
  });
  EXPECT_NE(std::string::npos, out.find("LZ4_decompress_safe () failed!..("));
  free(packed);
}

// liblz4 reports failure as 0; passed through, that would read as a
// successful compression to 0 bytes.
TEST_F(CQIRUtilTest, LZ4CompressFailureIsNotReportedAsSuccess) {
  char dest[64];
  char* none = nullptr;
  std::string out = Captured([&] {
    EXPECT_EQ(-2, CQIRUtil::LZ4_Compress("abc", -1, &none));
    EXPECT_EQ(-2, CQIRUtil::LZ4_Compress("abc", -1, dest, sizeof(dest)));
    EXPECT_EQ(-1, CQIRUtil::LZ4_Decompress("abc", 3, &none, -1));  // no negative allocation
  });
  EXPECT_EQ(nullptr, none);
  EXPECT_NE(std::string::npos, out.find("LZ4_compress_default() failed!..(0)"));
  EXPECT_NE(std::string::npos, out.find("memory allocate(-1 bytes) failed!..."));
}

TEST_F(CQIRUtilTest, JSONPrettyFormatting) {
  const struct { const char* json; const char* pretty; } cases[] = {
      {"{\"a\":1,\"b\":[1,2]}", "{\n\t\"a\": 1,\n\t\"b\": [\n\t\t1,\n\t\t2\n\t]\n}"},
      {"{ \"a\" :\n 1 ,\t\"b\": [ 1, 2 ] }", "{\n\t\"a\": 1,\n\t\"b\": [\n\t\t1,\n\t\t2\n\t]\n}"},
      {"[]", "[\n]"},
      {"{\"url\":\"http://h:80\"}", "{\n\t\"url\": \"http://h:80\"\n}"},  // colon in a string
      {"[\"a \\\"{,}\\\" b\",{}]", "[\n\t\"a \\\"{,}\\\" b\",\n\t{\n\t}\n]"},
      {"", ""},
  };
  for (const auto& c : cases) {
    std::string result = "prefix:";
    CQIRUtil::JSONPrettyFormatting(c.json, result);
    EXPECT_EQ(std::string("prefix:") + c.pretty, result) << c.json;
  }
}
