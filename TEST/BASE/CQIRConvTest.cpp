#include "CQIRConv.h"
#include "QIRConv.h"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <limits.h>
#include <stdlib.h>
#include <string.h>
#include <time.h>

#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

std::string Bytes(const void* _p, size_t _n) { return std::string(static_cast<const char*>(_p), _n); }

// Sets (or with null, unsets) a variable for one scope.
struct ScopedEnv {
  ScopedEnv(const std::string& _name, const char* _value) : name(_name), had(getenv(_name.c_str())) {
    if (had) old = getenv(_name.c_str());
    _value ? setenv(_name.c_str(), _value, 1) : unsetenv(_name.c_str());
    tzset();
  }
  ~ScopedEnv() { had ? setenv(name.c_str(), old.c_str(), 1) : unsetenv(name.c_str()); tzset(); }
  std::string name, old;
  bool had;
};

// Heap buffer of exactly _n bytes filled with '~', so ASan sees any overrun.
struct Exact {
  explicit Exact(size_t _n, char _fill = '~') : buf(_n, _fill) {}
  char* p() { return buf.data(); }
  size_t n() const { return buf.size(); }
  std::string str() const { return std::string(buf.begin(), buf.end()); }
  std::vector<char> buf;
};

}  // namespace

TEST(CQIRConvTest, TextPacksIntoKnownBytes) {
  const struct { int (*fn)(char*, const char*); const char* src; std::string bytes; } cases[] = {
      {CQIRConv::Str2BCD, "123", std::string("\x01\x23", 2)},  // odd: first digit alone
      {CQIRConv::Str2BCD, "", ""},
      {CQIRConv::Str2TBCD, "12345", "\x12\x34\x5f"},           // odd: filler in last low nibble
      {CQIRConv::Str2TBCD, "*#aBcF", "\xab\xcd\xef"},
      {CQIRConv::Str2Hex, "123", "\x12\x30"},                  // odd: last low nibble 0
      {CQIRConv::Str2Hex, "7", std::string("\x07", 1)},        // one digit: its value
      {CQIRConv::Str2Hex, "a1B2", "\xa1\xb2"},
  };
  for (const auto& c : cases) {
    Exact out(c.bytes.size() + 1);
    int n = c.fn(out.p(), c.src);
    EXPECT_EQ(c.bytes + '\0', Bytes(out.p(), n + 1)) << c.src;
  }
}

TEST(CQIRConvTest, PackedBytesBackToText) {
  char out[16], lower[16];
  CQIRConv::BCD2Str(out, "\xab\x01", 2);
  CQIRConv::Hex2Str(lower, "\xab\x01", 2);
  EXPECT_EQ(std::string("AB01") + "ab01", std::string(out) + lower);
  const struct { const char* packed; int len; const char* text; } tbcd[] = {
      {"\x12\x34\x5f", 3, "12345"}, {"\x1f\x23", 2, "1"},  // the filler ends the digits
      {"\xab\xcd\xef", 3, "*#abc"}, {"\xf1\x2f", 2, "f12"}};
  for (const auto& t : tbcd) {
    EXPECT_EQ(static_cast<int>(strlen(t.text)), CQIRConv::TBCD2Str(out, t.packed, t.len));
    EXPECT_STREQ(t.text, out);
  }
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

TEST(CQIRConvTest, NibbleShifts) {
  using Fn = void (*)(char*, const char*, int);
  const struct { const char* name; Fn fn; const char* before; const char* after; } cases[] = {
      {"LastNibbleToStr", CQIRConv::LastNibbleToStr, "\xff\xff\xff\xff", "\x02\x34\x56\x00"},
      {"FirstNibbleToStr", CQIRConv::FirstNibbleToStr, "\xff\xff\xff\xff", "\x12\x34\x50\x00"},
      {"MiddleNibbleToStr", CQIRConv::MiddleNibbleToStr, "\x80\x00\x77\x77", "\xa3\x45\x00\x77"},
      {"ResultForFirstNibble", CQIRConv::ResultForFirstNibble, "\xff\xff\xff\xff", "\x23\x45\x60\x00"},
      {"FirstNibbleToNum", CQIRConv::FirstNibbleToNum, "\x00\x08\x00\x77", "\x01\x2b\x45\x00"},
      {"ResultForLastNibble", CQIRConv::ResultForLastNibble, "\xa0\x50\x0e\x77", "\xa2\x74\x56\x00"},
      {"ResultForMiddleNibble", CQIRConv::ResultForMiddleNibble, "\xa7\x00\x09\x77", "\xa1\x23\x49\x00"},
  };
  for (const auto& c : cases) {
    char dest[4];
    memcpy(dest, c.before, 4);
    c.fn(dest, "\x12\x34\x56", 3);
    EXPECT_EQ(Bytes(c.after, 4), Bytes(dest, 4)) << c.name;
  }
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
      {"  -42x", 6, -42}, {"12345", 3, 123}, {"abc", 3, 0}, {"\t+7", 10, 7}, {"5", -1, 0},
      {"99999999999999999999", 20, INT_MAX}, {"-99999999999999999999", 21, INT_MIN},
      // 29 blanks + "123" is 32 characters; one blank more pushes the 3 out.
      {std::string(29, ' ') + "123", 32, 123}, {std::string(30, ' ') + "123", 33, 12},
      {std::string(30, ' ') + "123", INT_MAX, 12}};
  for (const auto& c : cases) {
    std::vector<char> unterminated(c.src.begin(), c.src.end());  // only 32 may be read
    const char* src = c.src.size() >= 32 ? unterminated.data() : c.src.c_str();
    EXPECT_EQ(c.value, CQIRConv::Str2Int(src, c.len)) << c.src;
  }
}

TEST(CQIRConvTest, Int2StrBufferIsPerThread) {
  char* mine = CQIRConv::Int2Str(INT_MIN);
  std::thread([] { CQIRConv::Int2Str(7); }).join();
  EXPECT_STREQ("-2147483648", mine);
}

TEST(CQIRConvTest, NumToStrWithCommaHandlesLongMin) {
  const struct { long num; const char* text; } cases[] = {
      {0, "0"}, {999, "999"}, {-1000, "-1,000"}, {100000, "100,000"}, {1234567, "1,234,567"},
      {LONG_MAX, "9,223,372,036,854,775,807"}, {LONG_MIN, "-9,223,372,036,854,775,808"}};
  for (const auto& c : cases) {
    Exact buf(QIR_NUM_COMMA_SIZE);
    EXPECT_STREQ(c.text, CQIRConv::NumToStrWithComma(buf.p(), c.num));
  }
}

TEST(CQIRConvTest, CompactTimeTextInUtc) {
  ScopedEnv tz("TZ", "UTC0");
  const long leapEnd = 951782400 + 86399;  // 2000-02-29 23:59:59
  EXPECT_EQ(946684800, CQIRConv::Str2Time("20000101000000"));
  EXPECT_EQ(leapEnd, CQIRConv::Str2Time("20000229235959"));
  EXPECT_EQ(0, CQIRConv::Str2Time("2000010100000"));  // 13 characters
  Exact out(15);
  CQIRConv::Time2Str(out.p(), leapEnd);
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

TEST(CQIRConvTest, Ipv4TextAndBytes) {
  char out[16];
  ASSERT_EQ(1, CQIRConv::Str2Ipv4(out, "192.168.1.2"));
  EXPECT_EQ(Bytes("\xc0\xa8\x01\x02\x00", 5), Bytes(out, 5));
  EXPECT_EQ(0, CQIRConv::Str2Ipv4(out, "255.255.255.255"));  // inet_addr's error value
  CQIRConv::Ipv42Str(out, htonl(0x0ac80001));
  EXPECT_STREQ("10.200.0.1", out);
}

TEST(CQIRConvTest, Trims) {
  char a[] = "a b \t ", b[] = "", c[] = " \t x\t", d[] = "  \t ";
  EXPECT_STREQ("a b", CQIRConv::RTrim(a));
  EXPECT_STREQ("", CQIRConv::RTrim(b));
  EXPECT_STREQ("x\t", CQIRConv::LTrim(c));
  EXPECT_STREQ("", CQIRConv::Trim(d));
  for (size_t len : {32767u, 32768u}) {  // no internal copy, so no length limit
    Exact s(len + 1, 'x');
    s.buf[len - 2] = ' ';
    s.buf[len - 1] = '\t';
    s.buf[len] = '\0';
    EXPECT_EQ(len - 2, strlen(CQIRConv::RTrim(s.p()))) << len;
  }
}

TEST(CQIRConvTest, EnvReplaceIsAllOrNothing) {
  ScopedEnv home("QIR_T_HOME", "/home/u"), ref("QIR_T_REF", "$(QIR_T_HOME)");
  ScopedEnv none("QIR_T_NOSUCH", nullptr);
  std::string n31(31, 'Q'), n32(32, 'Q');
  ScopedEnv e31(n31, "v31"), e32(n32, "v32");
  const struct { std::string src, out; } cases[] = {
      {"$(QIR_T_HOME)/log", "/home/u/log"},
      {"$(QIR_T_REF)", "$(QIR_T_HOME)"},  // values are not expanded again
      {"$QIR_T_HOME/log", "$QIR_T_HOME/log"}, {"$(QIR_T_NOSUCH)/x", "$(QIR_T_NOSUCH)/x"},
      {"$(QIR_T_HOME)$(QIR_T_NOSUCH)", "$(QIR_T_HOME)$(QIR_T_NOSUCH)"},  // earlier ones discarded
      {"$()", "$()"}, {"$(QIR_T_HOME", "$(QIR_T_HOME"}, {"$(Q(R)", "$(Q(R)"}, {"a$", "a$"},
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
      {"ab", "ab", "abab", "ab", "abab"},  // holds the pattern: only the single pass can
      {"aab", "ab", "bbaa", "aab", "abbaa"},  // re-forms "ab" with the "a" before it, forever
      {"abc", "", "x", "abc", "abc"}};
  for (const auto& c : cases) {
    char out[64], data[64];
    EXPECT_STREQ(c.repeated, CQIRConv::StrReplace(c.src, c.pat, c.rep, out)) << c.src;
    EXPECT_EQ(c.repeated, CQIRConv::StrReplace(std::string(c.src), std::string(c.pat), std::string(c.rep)));
    strcpy(data, c.src);
    EXPECT_EQ(static_cast<int>(strlen(c.once)), QIR_STR_REPLACE(data, c.pat, c.rep)) << c.src;
    EXPECT_STREQ(c.once, data);
  }
}

// Reference: replace the first occurrence, searching from the start, until
// none is left; compared over random texts.
TEST(CQIRConvTest, StrReplaceMatchesSearchFromStart) {
  std::mt19937 rng(7);
  auto word = [&](size_t _max) {
    std::string s(rng() % (_max + 1), 'a');
    for (char& ch : s) ch = "abc"[rng() % 3];
    return s;
  };
  int compared = 0;
  for (int i = 0; i < 3000; ++i) {
    std::string src = word(12), pat = word(3), rep = word(4), ref = src;
    if (pat.empty() || rep.find(pat) != std::string::npos) continue;
    int steps = 0;
    for (size_t pos; (pos = ref.find(pat)) != std::string::npos && steps < 1000; ++steps) {
      ref.replace(pos, pat.size(), rep);
    }
    if (steps == 1000) continue;  // self-reproducing: refused, checked above
    EXPECT_EQ(ref, CQIRConv::StrReplace(src, pat, rep)) << src << " " << pat << " " << rep;
    ++compared;
  }
  EXPECT_GT(compared, 1000);
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

TEST(CQIRConvTest, HexaDumpRows) {
  // A whole row is followed by a row of blanks and dots; 0x1e is the first
  // byte shown as itself, 0x7f the last.
  unsigned char row[16] = {0x1d, 0x1e, 0x7f, 0x80};
  std::string want = "00000000: 1d  1e  7f  80  ";
  for (int i = 4; i < 16; ++i) want += "00  ";
  want += ".\x1e\x7f" + std::string(13, '.') + "\n00000010: " + std::string(64, ' ') + std::string(16, '.') + "\n";
  std::string dump;
  CQIRConv::HexaDump(dump, row, 16);
  EXPECT_EQ(want, dump);

  std::vector<unsigned char> data(48, 0x61);
  for (int len : {0, 15, 16, 17, 48}) {
    Exact out(QIR_HEXADUMP_SIZE(len));
    EXPECT_EQ(out.n() - 1, CQIRConv::HexaDump(out.p(), data.data(), len)) << len;
  }
}

TEST(QIRConvTest, BinHexText) {
  char text[16];
  const unsigned char bin[] = {0x00, 0xab, 0x1f};
  EXPECT_EQ(8, QIR_CONV_BIN2HEX(bin, text, 3, 1));
  EXPECT_STREQ("0x00ab1f", text);
  EXPECT_EQ(6, QIR_CONV_BIN2HEX(bin, text, 3, 0));
  unsigned char out[3] = {0xee, 0xee, 0xee};
  EXPECT_EQ(2, QIR_CONV_HEX2BIN("aB1", out));
  EXPECT_EQ(Bytes("\xab\x10\xee", 3), Bytes(out, 3));  // lone digit high, no NUL
}

// Fewer parts would report success with bytes of _dest never set.
TEST(QIRConvTest, Str2Ipv4RefusesAnythingButFourParts) {
  const struct { const char* text; int result; } cases[] = {
      {"1.2.3.4", 4}, {"255.0.10.1", 4}, {"1.2.3.256", -1}, {"1.2.300.4", -1}, {"1.2.3.1234", -1},
      {"1.2.3", -1}, {"1.2.3.4.5", -1}, {"1..3.4", -1}, {"1.2.3.-1", -1}};
  for (const auto& c : cases) {
    unsigned char out[4];
    struct in_addr ref;
    EXPECT_EQ(c.result, QIR_CONV_STR2IPV4(c.text, out)) << c.text;
    if (c.result == 4 && inet_pton(AF_INET, c.text, &ref) == 1) {
      EXPECT_EQ(Bytes(&ref, 4), Bytes(out, 4)) << c.text;
    }
  }
}

TEST(QIRConvTest, Ipv6PrefixForms) {
  unsigned char bin[18];
  ASSERT_EQ(8, QIR_CONV_STR2IPV6PREFIX("2001:0db8:0001::/48", bin));
  EXPECT_EQ(Bytes("\x00\x30\x20\x01\x0d\xb8\x00\x01", 8), Bytes(bin, 8));
  for (const char* r : {"2001:0db8::/60", "2001:db8::/32", "2001-0db8/32", "2001:0db8:/136"}) {
    EXPECT_EQ(-1, QIR_CONV_STR2IPV6PREFIX(r, bin)) << r;
  }
  char text[INET6_ADDRSTRLEN];
  const unsigned char p56[] = {0, 56, 0x20, 0x01, 0x0d, 0xb8, 0xab, 0xcd, 0xef};
  EXPECT_EQ(19, QIR_CONV_IPV6PREFIX2STR(p56, text));
  EXPECT_STREQ("2001:0db8:abcd::/56", text);  // whole groups only
  const unsigned char p200[18] = {0, 200};  // would read past the 16 address bytes
  EXPECT_EQ(-1, QIR_CONV_IPV6PREFIX2STR(p200, text));

  // Prefix text of full addresses against inet_pton's bytes, and back.
  char full[40], back[INET6_ADDRSTRLEN];
  EXPECT_EQ(0, QIR_CONV_IPV6_FULL_STR("1.2.3.4", full, false));
  ASSERT_EQ(1, QIR_CONV_IPV6_FULL_STR("2001:DB8::a", full, true));
  EXPECT_STREQ("2001:0DB8:0000:0000:0000:0000:0000:000A", full);
  for (const char* a : {"2001:db8:1:2:3:4:5:6", "::", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"}) {
    unsigned char ref[16];
    ASSERT_EQ(1, inet_pton(AF_INET6, a, ref));
    ASSERT_EQ(1, QIR_CONV_IPV6_FULL_STR(a, full, false));
    for (int bits = 16; bits <= 128; bits += 16) {
      std::string prefix = std::string(full) + "/" + std::to_string(bits);
      ASSERT_EQ(2 + bits / 8, QIR_CONV_STR2IPV6PREFIX(prefix.c_str(), bin)) << prefix;
      EXPECT_EQ(Bytes(ref, bits / 8), Bytes(bin + 2, bits / 8)) << prefix;
      QIR_CONV_IPV6PREFIX2STR(bin, back);
      EXPECT_EQ(std::string(full, bits / 16 * 5 - 1) + (bits == 128 ? "/" : "::/") + std::to_string(bits), back);
    }
  }
}
