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

std::string Bytes(const char* _p, size_t _n) { return std::string(_p, _n); }

class ScopedEnv {
 public:
  ScopedEnv(const char* _name, const char* _value) : name_(_name) {
    const char* old = getenv(_name);
    if (old) { had_ = true; old_ = old; }
    if (_value) setenv(_name, _value, 1); else unsetenv(_name);
    tzset();
  }
  ~ScopedEnv() {
    if (had_) setenv(name_, old_.c_str(), 1); else unsetenv(name_);
    tzset();
  }
 private:
  const char* name_;
  bool had_ = false;
  std::string old_;
};

// Heap buffer of exactly _n bytes, so that ASan sees any write past it.
struct Exact {
  explicit Exact(size_t _n, char _fill = '\x7e') : buf(new char[_n]), n(_n) { memset(buf, _fill, _n); }
  ~Exact() { delete[] buf; }
  char* buf;
  size_t n;
};

}  // namespace

TEST(CQIRConvTest, TextPacksIntoKnownBytes) {
  const struct { int (*fn)(char*, const char*); const char* src; std::string bytes; } cases[] = {
      {CQIRConv::Str2BCD, "123", std::string("\x01\x23", 2)},  // odd: first digit alone
      {CQIRConv::Str2BCD, "9876", "\x98\x76"},
      {CQIRConv::Str2TBCD, "12345", "\x12\x34\x5f"},           // odd: filler in last low nibble
      {CQIRConv::Str2TBCD, "*#aBcF", "\xab\xcd\xef"},
      {CQIRConv::Str2Hex, "123", "\x12\x30"},                  // odd: last low nibble 0
      {CQIRConv::Str2Hex, "7", std::string("\x07", 1)},        // one digit: its value
      {CQIRConv::Str2Hex, "a1B2", "\xa1\xb2"},
      {CQIRConv::Str2BCD, "", ""},
  };
  for (const auto& c : cases) {
    Exact out(c.bytes.size() + 1);
    int n = c.fn(out.buf, c.src);
    EXPECT_EQ(c.bytes, Bytes(out.buf, n)) << c.src;
    EXPECT_EQ('\0', out.buf[n]) << c.src;
  }
}

TEST(CQIRConvTest, PackedBytesBackToText) {
  char out[16];
  CQIRConv::BCD2Str(out, "\xab\x01", 2);
  EXPECT_STREQ("AB01", out);
  CQIRConv::Hex2Str(out, "\xab\x01", 2);
  EXPECT_STREQ("ab01", out);
  EXPECT_EQ(5, CQIRConv::TBCD2Str(out, "\x12\x34\x5f", 3));
  EXPECT_STREQ("12345", out);
  EXPECT_EQ(1, CQIRConv::TBCD2Str(out, "\x1f\x23", 2));  // the filler ends the digits
  EXPECT_STREQ("1", out);
  EXPECT_EQ(5, CQIRConv::TBCD2Str(out, "\xab\xcd\xef", 3));
  EXPECT_STREQ("*#abc", out);
  EXPECT_EQ(3, CQIRConv::TBCD2Str(out, "\xf1\x2f", 2));  // a high 15 is a digit
  EXPECT_STREQ("f12", out);

  // Round trips over the whole TBCD code set.
  const char* texts[] = {"0123456789", "*#abc", "5", "", "91#*"};
  for (const char* t : texts) {
    char packed[16];
    int n = CQIRConv::Str2TBCD(packed, t);
    EXPECT_EQ(static_cast<int>(strlen(t)), CQIRConv::TBCD2Str(out, packed, n)) << t;
    EXPECT_STREQ(t, out);
  }
}

TEST(CQIRConvTest, FixedWidthFormsPadWithoutNul) {
  Exact out(8);
  EXPECT_EQ(6, CQIRConv::TBCD2Str(out.buf, "\x12\x3f", 2, 6));
  EXPECT_EQ(std::string("123   \x7e\x7e"), Bytes(out.buf, 8));
  // Text longer than the width is not padded and still gets no NUL.
  Exact out2(4);
  EXPECT_EQ(4, CQIRConv::TBCD2Str(out2.buf, "\x12\x34", 2, 3));
  EXPECT_EQ("1234", Bytes(out2.buf, 4));
}

// Padding _mkLen - _len blanks after 2 * _len characters would run _len
// characters past a field of _mkLen.
TEST(CQIRConvTest, Hex2StrPaddingStaysInsideTheField) {
  Exact out(7);
  CQIRConv::Hex2Str(out.buf, "\xab\x0c", 2, 6);
  EXPECT_EQ("ab0c  \x7e", Bytes(out.buf, 7));
  CQIRConv::Hex2Str(out.buf, "\xab\x0c\xde", 3, 2);  // wider text: no padding
  EXPECT_EQ("ab0cde\x7e", Bytes(out.buf, 7));
}

TEST(CQIRConvTest, DigitValueTables) {
  const struct { char c; int bcd; int tbcd; } cases[] = {
      {'0', 0, 0}, {'9', 9, 9}, {'A', 10, 12}, {'F', 15, 15}, {'a', 10, 12}, {'f', 15, 15},
      {'*', '*' - 87 + 256, 10}, {'#', '#' - 87 + 256, 11}, {'c', 12, 14}, {'x', 'x' - 87, 255}};
  for (const auto& c : cases) {
    EXPECT_EQ(c.bcd, CQIRConv::GetBCDHex(c.c)) << c.c;
    EXPECT_EQ(c.bcd, QIR_GetHexDigit(c.c)) << c.c;
    EXPECT_EQ(c.tbcd, CQIRConv::GetTBCDHex(c.c)) << c.c;
  }
  EXPECT_EQ('7', CQIRConv::GetBCDChar(7));
  EXPECT_EQ('e', CQIRConv::GetBCDChar(14));
  EXPECT_EQ('#', CQIRConv::GetTBCDChar(11));
  EXPECT_EQ('f', CQIRConv::GetTBCDChar(15));
  EXPECT_EQ(static_cast<char>(255), CQIRConv::GetTBCDChar(16));
}

TEST(CQIRConvTest, NibbleShifts) {
  const char src[] = "\x12\x34\x56";
  using Fn = void (*)(char*, const char*, int);
  const struct { const char* name; Fn fn; std::string before; std::string after; } cases[] = {
      {"LastNibbleToStr", CQIRConv::LastNibbleToStr, "\xff\xff\xff\xff", std::string("\x02\x34\x56\x00", 4)},
      {"FirstNibbleToStr", CQIRConv::FirstNibbleToStr, "\xff\xff\xff\xff", std::string("\x12\x34\x50\x00", 4)},
      // ORs into what is there; 2 bytes out, NUL at index 2.
      {"MiddleNibbleToStr", CQIRConv::MiddleNibbleToStr, std::string("\x80\x00\x77\x77", 4), std::string("\xa3\x45\x00\x77", 4)},
      {"ResultForFirstNibble", CQIRConv::ResultForFirstNibble, "\xff\xff\xff\xff", std::string("\x23\x45\x60\x00", 4)},
      {"FirstNibbleToNum", CQIRConv::FirstNibbleToNum, std::string("\x00\x08\x00\x77", 4), std::string("\x01\x2b\x45\x00", 4)},
      {"ResultForLastNibble", CQIRConv::ResultForLastNibble, std::string("\xa0\x50\x0e\x77", 4), std::string("\xa2\x74\x56\x00", 4)},
      {"ResultForMiddleNibble", CQIRConv::ResultForMiddleNibble, std::string("\xa7\x00\x09\x77", 4), std::string("\xa1\x23\x49\x00", 4)},
  };
  for (const auto& c : cases) {
    char dest[4];
    memcpy(dest, c.before.data(), 4);
    c.fn(dest, src, 3);
    EXPECT_EQ(c.after, Bytes(dest, 4)) << c.name;
  }
}

// The literal rules index -1 for these lengths: MiddleNibbleToStr of 0 bytes
// terminates at _dest[-1], ResultForMiddleNibble of 1 byte reads _src[-1].
TEST(CQIRConvTest, NibbleShiftsOfTooShortInputStayInBounds) {
  Exact dest(2, 'x');
  CQIRConv::MiddleNibbleToStr(dest.buf + 1, "\x12", 0);
  EXPECT_EQ("xx", Bytes(dest.buf, 2));
  Exact one(2, '\x5a');
  CQIRConv::ResultForMiddleNibble(one.buf, "\x12", 1);
  EXPECT_EQ(std::string("\x5a\x00", 2), Bytes(one.buf, 2));
}

TEST(CQIRConvTest, Str2IntReadsLikeAtoiWithinLength) {
  const struct { const char* src; int len; int value; } cases[] = {
      {"  -42x", 6, -42}, {"12345", 3, 123}, {"abc", 3, 0}, {"+7", 2, 7}, {"9", 10, 9},
      {"\t 8", 3, 8}, {"5", 0, 0}, {"5", -1, 0},
      {"99999999999999999999", 20, INT_MAX}, {"-99999999999999999999", 21, INT_MIN}};
  for (const auto& c : cases) EXPECT_EQ(c.value, CQIRConv::Str2Int(c.src, c.len)) << c.src;
}

TEST(CQIRConvTest, Str2IntReadsAtMost32Characters) {
  // 29 blanks + "123" is 32 characters; one more blank pushes the 3 out.
  std::string at = std::string(29, ' ') + "123";
  std::string past = std::string(30, ' ') + "123";
  // Not NUL-terminated: only the 32 characters may be read.
  std::vector<char> a(at.begin(), at.end()), p(past.begin(), past.end());
  EXPECT_EQ(123, CQIRConv::Str2Int(a.data(), 32));
  EXPECT_EQ(12, CQIRConv::Str2Int(p.data(), 33));
  EXPECT_EQ(12, CQIRConv::Str2Int(p.data(), INT_MAX));
}

TEST(CQIRConvTest, Int2StrBufferIsPerThread) {
  char* mine = CQIRConv::Int2Str(INT_MIN);
  std::thread([] { CQIRConv::Int2Str(7); }).join();
  EXPECT_STREQ("-2147483648", mine);
  EXPECT_EQ(mine, CQIRConv::Int2Str(1));  // the same buffer, overwritten
  EXPECT_STREQ("1", mine);
}

TEST(CQIRConvTest, NumToStrWithCommaGroupsByThrees) {
  const struct { long num; const char* text; } cases[] = {
      {0, "0"}, {100, "100"}, {999, "999"}, {1000, "1,000"}, {-1000, "-1,000"},
      {100000, "100,000"}, {1234567, "1,234,567"}, {-12, "-12"},
      {LONG_MAX, "9,223,372,036,854,775,807"},
      // -LONG_MIN does not fit in a long.
      {LONG_MIN, "-9,223,372,036,854,775,808"}};
  for (const auto& c : cases) {
    Exact buf(QIR_NUM_COMMA_SIZE);
    EXPECT_EQ(buf.buf, CQIRConv::NumToStrWithComma(buf.buf, c.num));
    EXPECT_STREQ(c.text, buf.buf);
  }
}

TEST(CQIRConvTest, CompactTimeTextInUtc) {
  ScopedEnv tz("TZ", "UTC0");
  EXPECT_EQ(946684800, CQIRConv::Str2Time("20000101000000"));
  EXPECT_EQ(951782400 + 86399, CQIRConv::Str2Time("20000229235959"));  // leap day
  EXPECT_EQ(0, CQIRConv::Str2Time("2000010100000"));    // 13 characters
  EXPECT_EQ(0, CQIRConv::Str2Time("200001010000000"));  // 15 characters
  Exact out(15);
  CQIRConv::Time2Str(out.buf, 951782400 + 86399);
  EXPECT_STREQ("20000229235959", out.buf);
  CQIRConv::Time2Str(out.buf, 0);
  EXPECT_STREQ("19700101000000", out.buf);
  // Year 10000 would need a fifth digit: refused rather than overrun.
  CQIRConv::Time2Str(out.buf, 253402300800L);
  EXPECT_STREQ("", out.buf);
}

TEST(CQIRConvTest, ChangeByteOrderReversesAnyLength) {
  for (unsigned long n : {0UL, 1UL, 2UL, 15UL, 16UL, 17UL, 64UL}) {
    std::vector<unsigned char> data(n), want(n);
    for (unsigned long i = 0; i < n; ++i) {
      data[i] = static_cast<unsigned char>(i);
      want[n - 1 - i] = static_cast<unsigned char>(i);
    }
    CQIRConv::ChangeByteOrder(data.data(), n);
    EXPECT_EQ(want, data) << n;
  }
}

TEST(CQIRConvTest, Ipv4TextAndBytes) {
  char out[16];
  EXPECT_EQ(1, CQIRConv::Str2Ipv4(out, "192.168.1.2"));
  EXPECT_EQ(std::string("\xc0\xa8\x01\x02\x00", 5), Bytes(out, 5));
  EXPECT_EQ(0, CQIRConv::Str2Ipv4(out, "255.255.255.255"));  // indistinguishable from an error
  EXPECT_EQ(0, CQIRConv::Str2Ipv4(out, "1.2.3.x"));
  struct in_addr addr;
  ASSERT_EQ(1, inet_pton(AF_INET, "10.200.0.1", &addr));
  CQIRConv::Ipv42Str(out, addr.s_addr);
  EXPECT_STREQ("10.200.0.1", out);
}

TEST(CQIRConvTest, Trims) {
  char a[] = "a b \t ";
  EXPECT_STREQ("a b", CQIRConv::RTrim(a));
  char b[] = "";
  EXPECT_STREQ("", CQIRConv::RTrim(b));
  char c[] = " \t x y\t";
  EXPECT_STREQ("x y\t", CQIRConv::LTrim(c));
  char d[] = "  \t ";
  EXPECT_STREQ("", CQIRConv::Trim(d));
  char e[] = "\t key = v \t";
  EXPECT_STREQ("key = v", CQIRConv::Trim(e));
}

TEST(CQIRConvTest, RTrimOfLongStringsStaysInPlace) {
  for (size_t len : {32767u, 32768u, 100000u}) {
    Exact s(len + 1);
    memset(s.buf, 'x', len);
    s.buf[len - 2] = ' ';
    s.buf[len - 1] = '\t';
    s.buf[len] = '\0';
    EXPECT_EQ(s.buf, CQIRConv::RTrim(s.buf));
    EXPECT_EQ(len - 2, strlen(s.buf)) << len;
  }
}

TEST(CQIRConvTest, EnvReplaceIsAllOrNothing) {
  ScopedEnv home("QIR_T_HOME", "/home/u");
  ScopedEnv ref("QIR_T_REF", "$(QIR_T_HOME)");
  ScopedEnv none("QIR_T_NOSUCH", nullptr);
  const struct { const char* src; const char* out; } cases[] = {
      {"plain/text", "plain/text"},
      {"$(QIR_T_HOME)/log", "/home/u/log"},
      {"$(QIR_T_HOME)$(QIR_T_HOME)", "/home/u/home/u"},
      {"$(QIR_T_REF)", "$(QIR_T_HOME)"},  // values are not expanded again
      {"$QIR_T_HOME/log", "$QIR_T_HOME/log"},
      {"$(QIR_T_NOSUCH)/x", "$(QIR_T_NOSUCH)/x"},
      {"$(QIR_T_HOME)/$(QIR_T_NOSUCH)", "$(QIR_T_HOME)/$(QIR_T_NOSUCH)"},  // earlier expansion discarded
      {"$()", "$()"},
      {"$(QIR_T_HOME", "$(QIR_T_HOME"},
      {"$(QI(R)", "$(QI(R)"},
      {"a$", "a$"},
  };
  for (const auto& c : cases) {
    char out[256];
    EXPECT_STREQ(c.out, CQIRConv::EnvReplace(out, c.src)) << c.src;
  }
}

TEST(CQIRConvTest, EnvReplaceNameOf31CharactersOnly) {
  std::string n31(31, 'Q'), n32(32, 'Q');
  ScopedEnv e31(n31.c_str(), "v31");
  ScopedEnv e32(n32.c_str(), "v32");
  char out[64];
  EXPECT_STREQ("v31", CQIRConv::EnvReplace(out, ("$(" + n31 + ")").c_str()));
  std::string ref32 = "$(" + n32 + ")";
  EXPECT_EQ(ref32, CQIRConv::EnvReplace(out, ref32.c_str()));
}

TEST(CQIRConvTest, EnvReplaceSizedNeverWritesPastDestination) {
  ScopedEnv v("QIR_T_V", "12345");
  {
    Exact out(8);  // "a12345b" and its NUL: exactly fits
    EXPECT_STREQ("a12345b", CQIRConv::EnvReplace(out.buf, "a$(QIR_T_V)b", out.n));
  }
  {
    Exact out(7);  // one short: the source instead, cut to fit
    EXPECT_STREQ("a$(QIR", CQIRConv::EnvReplace(out.buf, "a$(QIR_T_V)b", out.n));
  }
}

TEST(CQIRConvTest, StrReplaceRepeatsWhileQirStrReplaceScansOnce) {
  const struct { const char* src; const char* pat; const char* rep; const char* repeated; const char* once; } cases[] = {
      {"aaab", "ab", "b", "b", "aab"},      // each replacement forms a new occurrence
      {"x-y-z", "-", "+", "x+y+z", "x+y+z"},
      {"abcabc", "abc", "", "", ""},
      {"none", "zz", "y", "none", "none"},
      {"ab", "ab", "abab", "ab", "abab"},   // replacement holds the pattern: only the single pass can
      {"a.b", ".", "..", "a.b", "a..b"},
  };
  for (const auto& c : cases) {
    char out[64];
    EXPECT_STREQ(c.repeated, CQIRConv::StrReplace(c.src, c.pat, c.rep, out)) << c.src;
    EXPECT_EQ(c.repeated, CQIRConv::StrReplace(std::string(c.src), std::string(c.pat), std::string(c.rep)));
    char data[64];
    strcpy(data, c.src);
    EXPECT_EQ(static_cast<int>(strlen(c.once)), QIR_STR_REPLACE(data, c.pat, c.rep)) << c.src;
    EXPECT_STREQ(c.once, data);
  }
}

// Reference: replace the first occurrence, searching from the start, again
// and again; compared with StrReplace over random texts.
TEST(CQIRConvTest, StrReplaceMatchesSearchFromStart) {
  std::mt19937 rng(7);
  auto word = [&](size_t _max) {
    std::string s(rng() % (_max + 1), 'a');
    for (char& ch : s) ch = "abc"[rng() % 3];
    return s;
  };
  int compared = 0;
  for (int i = 0; i < 3000; ++i) {
    std::string src = word(12), pat = word(3), rep = word(4);
    if (pat.empty() || rep.find(pat) != std::string::npos) continue;
    std::string ref = src;
    int steps = 0;
    for (size_t pos; (pos = ref.find(pat)) != std::string::npos && steps < 1000; ++steps) {
      ref.replace(pos, pat.size(), rep);
    }
    if (steps == 1000) continue;  // self-reproducing, covered below
    EXPECT_EQ(ref, CQIRConv::StrReplace(src, pat, rep)) << src << " " << pat << " " << rep;
    ++compared;
  }
  EXPECT_GT(compared, 1000);
}

TEST(CQIRConvTest, StrReplaceRefusesEndlessPatterns) {
  char out[64];
  // "ab" -> "bbaa" forms a new "ab" with the "a" before it every time.
  EXPECT_STREQ("aab", CQIRConv::StrReplace("aab", "ab", "bbaa", out));
  EXPECT_EQ("aab", CQIRConv::StrReplace(std::string("aab"), std::string("ab"), std::string("bbaa")));
  EXPECT_STREQ("abc", CQIRConv::StrReplace("abc", "", "x", out));
  char data[8] = "abc";
  EXPECT_EQ(3, QIR_STR_REPLACE(data, "", "x"));
  EXPECT_STREQ("abc", data);
}

TEST(CQIRConvTest, SizedReplaceNeverWritesPastBuffer) {
  {
    Exact out(6);  // "xyyyy" + NUL
    EXPECT_STREQ("xyyyy", CQIRConv::StrReplace("x--", "-", "yy", out.buf, out.n));
  }
  {
    Exact out(5);  // one short: the source unchanged
    EXPECT_STREQ("x--", CQIRConv::StrReplace("x--", "-", "yy", out.buf, out.n));
  }
  {
    Exact out(3);  // shrinking result fits although the source does not
    EXPECT_STREQ("ab", CQIRConv::StrReplace("a----b", "-", "", out.buf, out.n));
  }
  Exact data(6);
  strcpy(data.buf, "x--");
  EXPECT_EQ(5, QIR_STR_REPLACE(data.buf, "-", "yy", data.n));
  EXPECT_STREQ("xyyyy", data.buf);
  strcpy(data.buf, "x---");
  EXPECT_EQ(-1, QIR_STR_REPLACE(data.buf, "-", "yy", data.n));
  EXPECT_STREQ("x---", data.buf);
}

TEST(CQIRConvTest, HexaDumpRows) {
  std::string dump;
  const unsigned char abc[] = {0x41, 0x42, 0x0a};
  CQIRConv::HexaDump(dump, abc, 3);
  EXPECT_EQ("00000000: 41  42  0a  " + std::string(52, ' ') + "AB" + std::string(14, '.') + "\n", dump);

  // A whole row is followed by a row of blanks and dots.
  unsigned char row[16];
  for (int i = 0; i < 16; ++i) row[i] = static_cast<unsigned char>(0x1c + i);
  CQIRConv::HexaDump(dump, row, 16);
  std::string want = "00000000: ";
  for (int i = 0; i < 16; ++i) {
    char cell[8];
    snprintf(cell, sizeof(cell), "%02x  ", row[i]);
    want += cell;
  }
  // 0x1c and 0x1d are dots; from 0x1e on, bytes show as themselves.
  want += std::string("..") + std::string(reinterpret_cast<const char*>(row) + 2, 14) + "\n";
  want += "00000010: " + std::string(64, ' ') + std::string(16, '.') + "\n";
  EXPECT_EQ(want, dump);

  const unsigned char high[] = {0x7f, 0x80, 0xff};
  CQIRConv::HexaDump(dump, high, 3);
  EXPECT_EQ("\x7f..", dump.substr(10 + 64, 3));
}

TEST(CQIRConvTest, HexaDumpFitsItsSizeMacro) {
  std::vector<unsigned char> data(48, 0x61);
  for (int len : {0, 1, 15, 16, 17, 32, 47, 48}) {
    Exact out(QIR_HEXADUMP_SIZE(len));
    size_t n = CQIRConv::HexaDump(out.buf, data.data(), len);
    EXPECT_EQ(out.n - 1, n) << len;
    EXPECT_EQ(n, strlen(out.buf));
  }
}

TEST(QIRConvTest, BinHexText) {
  char text[16];
  const unsigned char bin[] = {0x00, 0xab, 0x1f};
  EXPECT_EQ(8, QIR_CONV_BIN2HEX(bin, text, 3, 1));
  EXPECT_STREQ("0x00ab1f", text);
  EXPECT_EQ(6, QIR_CONV_BIN2HEX(bin, text, 3, 0));
  EXPECT_STREQ("00ab1f", text);
  unsigned char out[4] = {0xee, 0xee, 0xee, 0xee};
  EXPECT_EQ(2, QIR_CONV_HEX2BIN("aB1", out));
  EXPECT_EQ(0xab, out[0]);
  EXPECT_EQ(0x10, out[1]);
  EXPECT_EQ(0xee, out[2]);  // no NUL written
  EXPECT_EQ(0, QIR_CONV_HEX2BIN("", out));
}

TEST(QIRConvTest, Ipv4DottedParts) {
  const struct { const char* text; int result; } cases[] = {
      {"1.2.3.4", 4}, {"255.0.10.1", 4}, {"001.2.3.4", 4},
      {"1.2.3.256", -1}, {"1.2.300.4", -1}, {"1.2.3.1234", -1},
      // Fewer parts would report success with bytes of _dest never set.
      {"1.2.3", -1}, {"1.2.3.4.5", -1}, {"1..3.4", -1}, {"", -1}, {"1.2.3.-1", -1}};
  for (const auto& c : cases) {
    unsigned char out[4];
    EXPECT_EQ(c.result, QIR_CONV_STR2IPV4(c.text, out)) << c.text;
    struct in_addr ref;
    if (c.result == 4 && inet_pton(AF_INET, c.text, &ref) == 1) {
      EXPECT_EQ(0, memcmp(out, &ref, 4)) << c.text;
    }
  }
  unsigned char out[4];
  ASSERT_EQ(4, QIR_CONV_STR2IPV4("010.1.1.1", out));
  EXPECT_EQ(10, out[0]);  // decimal, not octal
}

TEST(QIRConvTest, Ipv6PrefixForms) {
  unsigned char bin[18];
  ASSERT_EQ(8, QIR_CONV_STR2IPV6PREFIX("2001:0db8:0001::/48", bin));
  EXPECT_EQ(std::string("\x00\x30\x20\x01\x0d\xb8\x00\x01", 8),
            Bytes(reinterpret_cast<char*>(bin), 8));
  const char* refused[] = {"2001:0db8::/60", "2001:db8::/32", "2001:0db8", "2001-0db8/32",
                           "20g1:0db8/32", "2001:0db8:/136", "2001/-8"};
  for (const char* r : refused) EXPECT_EQ(-1, QIR_CONV_STR2IPV6PREFIX(r, bin)) << r;
  EXPECT_EQ(2, QIR_CONV_STR2IPV6PREFIX("::/0", bin));

  char text[INET6_ADDRSTRLEN];
  const unsigned char p64[] = {0, 64, 0x20, 0x01, 0x0d, 0xb8, 0, 0, 0, 1};
  EXPECT_EQ(24, QIR_CONV_IPV6PREFIX2STR(p64, text));
  EXPECT_STREQ("2001:0db8:0000:0001::/64", text);
  const unsigned char p56[] = {0, 56, 0x20, 0x01, 0x0d, 0xb8, 0xab, 0xcd, 0xef};
  QIR_CONV_IPV6PREFIX2STR(p56, text);
  EXPECT_STREQ("2001:0db8:abcd::/56", text);  // only whole groups
  // A length above 128 would read past the 16 address bytes.
  const unsigned char p200[18] = {0, 200};
  EXPECT_EQ(-1, QIR_CONV_IPV6PREFIX2STR(p200, text));
  EXPECT_STREQ("", text);
}

// Prefix text built from an address checked against inet_pton's bytes, and
// printed back.
TEST(QIRConvTest, Ipv6PrefixRoundTripAgainstInetPton) {
  const char* addrs[] = {"2001:db8:1:2:3:4:5:6", "fe80::1", "::", "ffff:ffff:ffff:ffff:ffff:ffff:ffff:ffff"};
  for (const char* a : addrs) {
    unsigned char ref[16];
    ASSERT_EQ(1, inet_pton(AF_INET6, a, ref));
    char full[40];
    ASSERT_EQ(1, QIR_CONV_IPV6_FULL_STR(a, full, false));
    for (int bits = 16; bits <= 128; bits += 16) {
      std::string text = std::string(full) + "/" + std::to_string(bits);
      unsigned char bin[18];
      ASSERT_EQ(2 + bits / 8, QIR_CONV_STR2IPV6PREFIX(text.c_str(), bin)) << text;
      EXPECT_EQ(0, memcmp(bin + 2, ref, bits / 8)) << text;
      char back[INET6_ADDRSTRLEN];
      QIR_CONV_IPV6PREFIX2STR(bin, back);
      std::string want = std::string(full, bits / 16 * 5 - 1) + (bits == 128 ? "/" : "::/") +
                         std::to_string(bits);
      EXPECT_EQ(want, back);
    }
  }
}

TEST(QIRConvTest, Ipv6FullText) {
  char out[40];
  EXPECT_EQ(1, QIR_CONV_IPV6_FULL_STR("::1", out, false));
  EXPECT_STREQ("0000:0000:0000:0000:0000:0000:0000:0001", out);
  EXPECT_EQ(1, QIR_CONV_IPV6_FULL_STR("2001:DB8::a", out, true));
  EXPECT_STREQ("2001:0DB8:0000:0000:0000:0000:0000:000A", out);
  EXPECT_EQ(1, QIR_CONV_IPV6_FULL_STR("::ffff:1.2.3.4", out, false));
  EXPECT_STREQ("0000:0000:0000:0000:0000:ffff:0102:0304", out);
  EXPECT_EQ(0, QIR_CONV_IPV6_FULL_STR("1.2.3.4", out, false));
  EXPECT_EQ(0, QIR_CONV_IPV6_FULL_STR("1::2::3", out, false));
}
