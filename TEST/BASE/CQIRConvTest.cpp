#include "CQIRConv.h"
#include "QIRConv.h"

#include "QIRLogTestUtil.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <limits.h>
#include <string.h>

#include <string>
#include <vector>

using qirtest::ScopedEnv, qirtest::ScopedTZ;

namespace {

std::string Bytes(const void* _p, size_t _n) { return std::string(static_cast<const char*>(_p), _n); }

// Heap buffer of exactly _n bytes filled with '~', so ASan sees any overrun.
struct Exact {
  explicit Exact(size_t _n, char _fill = '~') : buf(_n, _fill) {}
  char* p() { return buf.data(); }
  size_t n() const { return buf.size(); }
  std::string str() const { return std::string(buf.begin(), buf.end()); }
  std::vector<char> buf;
};

}  // namespace

// Odd lengths: BCD puts the first digit alone, TBCD fills the last low
// nibble, hex pads with 0; the TBCD filler ends the digits read back.
TEST(CQIRConvTest, TextPacksOddLengthsAndFiller) {
  const struct { int (*fn)(char*, const char*); const char* src; std::string bytes; } cases[] = {
      {CQIRConv::Str2BCD, "123", std::string("\x01\x23", 2)}, {CQIRConv::Str2TBCD, "12345", "\x12\x34\x5f"},
      {CQIRConv::Str2TBCD, "*#aBcF", "\xab\xcd\xef"}, {CQIRConv::Str2Hex, "123", "\x12\x30"}};
  for (const auto& c : cases) {
    Exact out(c.bytes.size() + 1);
    int n = c.fn(out.p(), c.src);
    EXPECT_EQ(c.bytes + '\0', Bytes(out.p(), n + 1)) << c.src;
  }
  char text[16];
  EXPECT_EQ(5, CQIRConv::TBCD2Str(text, "\xab\xcd\xef", 3));
  EXPECT_STREQ("*#abc", text);
}

// Fixed-width forms write exactly the field and no NUL. Padding Hex2Str with
// _mkLen - _len blanks after 2 * _len digits would run _len characters past it.
TEST(CQIRConvTest, Hex2StrPaddingStaysInsideTheField) {
  Exact hex(7), tbcd(8), wide(7);
  CQIRConv::Hex2Str(hex.p(), "\xab\x0c", 2, 6);
  EXPECT_EQ("ab0c  ~", hex.str());
  CQIRConv::Hex2Str(wide.p(), "\xab\x0c\xde", 3, 2);  // wider than the field: no padding
  EXPECT_EQ("ab0cde~", wide.str());
  EXPECT_EQ(6, CQIRConv::TBCD2Str(tbcd.p(), "\x12\x3f", 2, 6));
  EXPECT_EQ("123   ~~", tbcd.str());
}

// Taken literally, MiddleNibbleToStr of 0 bytes terminates at _dest[-1] and
// ResultForMiddleNibble of 1 byte reads _src[-1].
TEST(CQIRConvTest, NibbleShiftsOfTooShortInputStayInBounds) {
  Exact dest(2), one(2);
  CQIRConv::MiddleNibbleToStr(dest.p() + 1, "\x12", 0);
  EXPECT_EQ("~~", dest.str());
  CQIRConv::ResultForMiddleNibble(one.p(), "\x12", 1);
  EXPECT_EQ(std::string("~\0", 2), one.str());
}

TEST(CQIRConvTest, Str2IntReadsAtMost32Characters) {
  const struct { std::string src; int len; int value; } cases[] = {
      {"  -42x", 6, -42}, {"12345", 3, 123}, {"5", -1, 0}, {"99999999999999999999", 20, INT_MAX},
      {"-99999999999999999999", 21, INT_MIN},
      // 29 blanks + "123" is 32 characters; one blank more pushes the 3 out.
      {std::string(29, ' ') + "123", 32, 123}, {std::string(30, ' ') + "123", INT_MAX, 12}};
  for (const auto& c : cases) {
    std::vector<char> unterminated(c.src.begin(), c.src.end());  // only 32 may be read
    const char* src = c.src.size() >= 32 ? unterminated.data() : c.src.c_str();
    EXPECT_EQ(c.value, CQIRConv::Str2Int(src, c.len)) << c.src;
  }
}

TEST(CQIRConvTest, NumToStrWithCommaHandlesLongMin) {
  const struct { long num; const char* text; } cases[] = {
      {999, "999"}, {-1000, "-1,000"}, {1234567, "1,234,567"},
      {LONG_MIN, "-9,223,372,036,854,775,808"}};
  for (const auto& c : cases) {
    Exact buf(QIR_NUM_COMMA_SIZE);
    EXPECT_STREQ(c.text, CQIRConv::NumToStrWithComma(buf.p(), c.num));
  }
}

TEST(CQIRConvTest, CompactTimeTextInUtc) {
  ScopedTZ tz("UTC0");
  EXPECT_EQ(951868799, CQIRConv::Str2Time("20000229235959"));
  EXPECT_EQ(0, CQIRConv::Str2Time("2000010100000"));  // 13 characters
  Exact out(15);
  CQIRConv::Time2Str(out.p(), 951868799);
  EXPECT_STREQ("20000229235959", out.p());
  CQIRConv::Time2Str(out.p(), 253402300800L);  // year 10000 has no CCYY
  EXPECT_STREQ("", out.p());
}

TEST(CQIRConvTest, ChangeByteOrderPastSixteenBytes) {
  for (unsigned long n : {0UL, 1UL, 16UL, 17UL}) {
    std::vector<unsigned char> data(n), want(n);
    for (unsigned long i = 0; i < n; ++i) data[i] = want[n - 1 - i] = static_cast<unsigned char>(i);
    CQIRConv::ChangeByteOrder(data.data(), n);
    EXPECT_EQ(want, data) << n;
  }
}

TEST(CQIRConvTest, Trims) {
  char a[] = "a b \t ", c[] = " \t x\t", d[] = "  \t ";
  EXPECT_EQ(std::string("a b") + "x\t", std::string(CQIRConv::RTrim(a)) + CQIRConv::LTrim(c));
  EXPECT_STREQ("", CQIRConv::Trim(d));
  Exact s(32769, 'x');  // no internal copy, so no length limit
  strcpy(s.p() + 32766, " \t");
  EXPECT_EQ(32766u, strlen(CQIRConv::RTrim(s.p())));
}

TEST(CQIRConvTest, EnvReplaceIsAllOrNothing) {
  ScopedEnv home("QIR_T_HOME", "/home/u"), ref("QIR_T_REF", "$(QIR_T_HOME)");
  ScopedEnv none("QIR_T_NOSUCH", nullptr);
  std::string n31(31, 'Q'), n32(32, 'Q');
  ScopedEnv e31(n31.c_str(), "v31"), e32(n32.c_str(), "v32");
  const struct { std::string src, out; } cases[] = {
      {"$(QIR_T_HOME)/log", "/home/u/log"}, {"$(QIR_T_REF)", "$(QIR_T_HOME)"},  // not expanded again
      {"$QIR_T_HOME/log", "$QIR_T_HOME/log"},
      {"$(QIR_T_HOME)$(QIR_T_NOSUCH)", "$(QIR_T_HOME)$(QIR_T_NOSUCH)"},  // earlier ones discarded
      {"$()", "$()"}, {"$(QIR_T_HOME", "$(QIR_T_HOME"}, {"a$", "a$"},
      {"$(" + n31 + ")", "v31"}, {"$(" + n32 + ")", "$(" + n32 + ")"}};  // names of 31 at most
  for (const auto& c : cases) {
    char out[64];
    EXPECT_EQ(c.out, CQIRConv::EnvReplace(out, c.src.c_str())) << c.src;
  }
  Exact fits(9), shortBy1(8);  // "a/home/u" and its NUL, then one byte less
  EXPECT_STREQ("a/home/u", CQIRConv::EnvReplace(fits.p(), "a$(QIR_T_HOME)", fits.n()));
  EXPECT_STREQ("a$(QIR_", CQIRConv::EnvReplace(shortBy1.p(), "a$(QIR_T_HOME)", shortBy1.n()));
}

TEST(CQIRConvTest, StrReplaceRepeatsWhileQirStrReplaceScansOnce) {
  const struct { const char *src, *pat, *rep, *repeated, *once; } cases[] = {
      {"aaab", "ab", "b", "b", "aab"},  // each replacement forms a new occurrence
      {"x-y-z", "-", "+", "x+y+z", "x+y+z"}, {"abcabc", "abc", "", "", ""},
      {"ab", "ab", "abab", "ab", "abab"},     // holds the pattern: only the single pass can
      {"aab", "ab", "bbaa", "aab", "abbaa"},  // re-forms "ab" with the "a" before it, forever
      {"abc", "", "x", "abc", "abc"}};
  for (const auto& c : cases) {
    char out[64], data[64];
    EXPECT_STREQ(c.repeated, CQIRConv::StrReplace(c.src, c.pat, c.rep, out)) << c.src;
    EXPECT_EQ(c.repeated, CQIRConv::StrReplace(std::string(c.src), c.pat, c.rep));
    strcpy(data, c.src);
    EXPECT_EQ(static_cast<int>(strlen(c.once)), QIR_STR_REPLACE(data, c.pat, c.rep)) << c.src;
    EXPECT_STREQ(c.once, data);
  }
}

TEST(CQIRConvTest, SizedReplaceNeverWritesPastBuffer) {
  Exact fits(6), shortBy1(5), shrinks(3), data(6);  // "xyyyy" and its NUL fit in 6
  EXPECT_STREQ("xyyyy", CQIRConv::StrReplace("x--", "-", "yy", fits.p(), fits.n()));
  EXPECT_STREQ("x--", CQIRConv::StrReplace("x--", "-", "yy", shortBy1.p(), shortBy1.n()));
  EXPECT_STREQ("ab", CQIRConv::StrReplace("a----b", "-", "", shrinks.p(), shrinks.n()));
  strcpy(data.p(), "x--");
  EXPECT_EQ(5, QIR_STR_REPLACE(data.p(), "-", "yy", data.n()));
  EXPECT_STREQ("xyyyy", data.p());
  strcpy(data.p(), "x---");
  EXPECT_EQ(-1, QIR_STR_REPLACE(data.p(), "-", "yy", data.n()));
  EXPECT_STREQ("x---", data.p());
}

// A whole row is followed by a row of blanks and dots; 0x1e is the first
// byte shown as itself, 0x7f the last. QIR_HEXADUMP_SIZE is exact.
TEST(CQIRConvTest, HexaDumpRows) {
  unsigned char row[16] = {0x1d, 0x1e, 0x7f, 0x80};
  std::string want = "00000000: 1d  1e  7f  80  ", dump;
  for (int i = 4; i < 16; ++i) want += "00  ";
  want += ".\x1e\x7f" + std::string(13, '.') + "\n00000010: ";
  want += std::string(64, ' ') + std::string(16, '.');
  EXPECT_EQ(want + "\n", CQIRConv::HexaDump(dump, row, 16));
  std::vector<unsigned char> data(48, 0x61);
  for (int len : {0, 15, 16, 17, 48}) {
    Exact out(QIR_HEXADUMP_SIZE(len));
    EXPECT_EQ(out.n() - 1, CQIRConv::HexaDump(out.p(), data.data(), len)) << len;
  }
}

// Fewer parts would report success with bytes of _dest never set.
TEST(QIRConvTest, Str2Ipv4RefusesAnythingButFourParts) {
  unsigned char out[4];
  ASSERT_EQ(4, QIR_CONV_STR2IPV4("192.168.1.2", out));
  EXPECT_EQ(Bytes("\xc0\xa8\x01\x02", 4), Bytes(out, 4));
  for (const char* bad : {"1.2.3.256", "1.2.3.1234", "1.2.3", "1.2.3.4.5", "1..3.4", "1.2.3.-1"}) {
    EXPECT_EQ(-1, QIR_CONV_STR2IPV4(bad, out)) << bad;
  }
}

TEST(QIRConvTest, Ipv6PrefixForms) {
  unsigned char bin[18];
  for (const char* r : {"2001:0db8::/60", "2001:db8::/32", "2001-0db8/32", "2001:0db8:/136"}) {
    EXPECT_EQ(-1, QIR_CONV_STR2IPV6PREFIX(r, bin)) << r;
  }
  char text[INET6_ADDRSTRLEN];
  const unsigned char p56[] = {0, 56, 0x20, 0x01, 0x0d, 0xb8, 0xab, 0xcd, 0xef}, p200[18] = {0, 200};
  EXPECT_EQ(19, QIR_CONV_IPV6PREFIX2STR(p56, text));
  EXPECT_STREQ("2001:0db8:abcd::/56", text);           // whole groups only
  EXPECT_EQ(-1, QIR_CONV_IPV6PREFIX2STR(p200, text));  // would read past the 16 address bytes
  char full[40], back[INET6_ADDRSTRLEN];
  EXPECT_EQ(0, QIR_CONV_IPV6_FULL_STR("1.2.3.4", full, false));
  ASSERT_EQ(1, QIR_CONV_IPV6_FULL_STR("2001:DB8::a", full, true));
  EXPECT_STREQ("2001:0DB8:0000:0000:0000:0000:0000:000A", full);
  // Prefix text of full addresses against inet_pton's bytes, and back.
  for (const char* a : {"2001:db8:1:2:3:4:5:6", "::", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"}) {
    unsigned char ref[16];
    ASSERT_TRUE(inet_pton(AF_INET6, a, ref) == 1 && QIR_CONV_IPV6_FULL_STR(a, full, false) == 1);
    for (int bits = 16; bits <= 128; bits += 16) {
      std::string prefix = std::string(full) + "/" + std::to_string(bits);
      ASSERT_EQ(2 + bits / 8, QIR_CONV_STR2IPV6PREFIX(prefix.c_str(), bin)) << prefix;
      EXPECT_EQ(Bytes("\0", 1) + char(bits) + Bytes(ref, bits / 8), Bytes(bin, 2 + bits / 8)) << prefix;
      QIR_CONV_IPV6PREFIX2STR(bin, back);
      const std::string groups(full, bits / 16 * 5 - 1);
      EXPECT_EQ(groups + (bits == 128 ? "/" : "::/") + std::to_string(bits), back);
    }
  }
}
