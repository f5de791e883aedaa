#include "CQIRIniConfigContainer.h"

#include "CQIRServiceLog.h"
#include "CQIRVNFSupport.h"
#include "QIRLogTestUtil.h"

#include <gtest/gtest.h>

#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

class IniFile {
 public:
  explicit IniFile(const std::string& _text) {
    char tmpl[] = "/tmp/qir_ini_XXXXXX";
    int fd = mkstemp(tmpl);
    path_ = tmpl;
    if (fd >= 0) {
      ssize_t w = write(fd, _text.data(), _text.size());
      (void)w;
      close(fd);
    }
  }
  ~IniFile() { unlink(path_.c_str()); }
  const char* Path() const { return path_.c_str(); }

 private:
  std::string path_;
};

struct Lookup {
  const char* section;
  const char* key;
  const char* value;  // nullptr: must be missing
};

struct FormatCase {
  const char* name;
  std::string text;
  int result;     // Initialize's result
  int error;      // error code afterwards
  int lineCount;  // errorlc_ of a fresh container
  std::vector<Lookup> lookups;
};

std::string Repeat(char _c, size_t _n) { return std::string(_n, _c); }

}  // namespace

// Each row: a file, how loading ends, and what can be looked up afterwards.
TEST(CQIRIniConfigContainerTest, FileFormatRules) {
  const std::string firstPiece = Repeat('x', 1021);  // 1023 characters read, "K=" included
  const std::vector<FormatCase> cases = {
      {"section and key", "[LISTENER]\nHTTP_PORT = 8080\n", 1, 0, 2,
       {{"LISTENER", "HTTP_PORT", "8080"}}},
      {"combined names collide", "[A]\nBC = 1\n[AB]\nC = 2\n", 0, 2, 4, {{"A", "BC", "1"}}},
      {"same key twice", "[A]\nK=1\n\n[A]\nK=2\n", 0, 2, 5, {{"A", "K", "1"}}},
      {"nothing after =", "[A]\nX=1\nK =\n", 0, 3, 3, {{"A", "X", "1"}}},
      {"only blanks after =", "[A]\nK = \t \n", 0, 3, 2, {}},
      {"no =", "[A]\nplain words\n", 0, 3, 2, {}},
      {"indented # is no comment", "[A]\n  # note\n", 0, 3, 2, {}},
      {"empty key", "[A]\n = v\n", 0, 3, 2, {}},
      {"comment, blank and tab lines", "# c = 1\n\n \t \n[A]\nK=v # not a comment\n", 1, 0, 5,
       {{"A", "K", "v # not a comment"}, {"#", " c", nullptr}}},
      {"further = belong to the value", "[A]\nK = a=b = c\n", 1, 0, 2, {{"A", "K", "a=b = c"}}},
      {"section without ]", "[OPEN SEC\nK=1\n", 1, 0, 2, {{"OPEN SEC", "K", "1"}}},
      {"text after ] ignored, name untrimmed", "  [ S ]junk\nK\t=\t1\n", 1, 0, 2,
       {{" S ", "K", "1"}, {"S", "K", nullptr}}},
      {"empty section name", "[]\nK=1\n", 1, 0, 2, {{"", "K", "1"}}},
      {"key before any section", "K=top\n[A]\nK=a\n", 1, 0, 3, {{"", "K", "top"}, {"A", "K", "a"}}},
      {"quotes are text", "[A]\nK = \"x y\"\n", 1, 0, 2, {{"A", "K", "\"x y\""}}},
      {"letter case matters", "[A]\nKey=1\n", 1, 0, 2, {{"a", "Key", nullptr}, {"A", "KEY", nullptr}}},
      {"CR-LF keeps the CR in values", "[A]\r\nB = true\r\n", 1, 0, 2, {{"A", "B", "true\r"}}},
      {"CR-only line is a syntax error", "[A]\r\nB = 1\r\n\r\n", 0, 3, 3, {{"A", "B", "1\r"}}},
      {"no newline at the end", "[A]\nK=1", 1, 0, 2, {{"A", "K", "1"}}},
      {"long line: rest read as its own line", "[A]\nK=" + Repeat('x', 1500) + "\n", 0, 3, 3,
       {{"A", "K", firstPiece.c_str()}}},
      {"long comment: rest is a line too", "#" + Repeat('y', 1100) + "\n", 0, 3, 2, {}},
      {"127-character section and key", "[" + Repeat('s', 127) + "]\n" + Repeat('k', 127) + "=1\n",
       1, 0, 2, {}},
      {"128-character section refused", "[" + Repeat('s', 128) + "]\nK=1\n", 0, 3, 1, {}},
      {"128-character key refused", "[A]\n" + Repeat('k', 128) + "=1\n", 0, 3, 2, {}},
      {"127-character key with blanks before =", "[A]\n" + Repeat('k', 127) + "   =1\n", 1, 0, 2,
       {}},
  };
  for (const FormatCase& c : cases) {
    SCOPED_TRACE(c.name);
    IniFile file(c.text);
    CQIRIniConfigContainer ini;
    EXPECT_EQ(c.result, ini.Initialize(file.Path(), nullptr));
    char buf[2048];
    const char* texts[] = {"No error.", "File Access failed!", "Key Duplicate!", "Syntax error!"};
    EXPECT_STREQ(texts[c.error], ini.GetErrorMessage());
    EXPECT_EQ(c.lineCount, ini.GetErrorLC());
    for (const Lookup& l : c.lookups) {
      SCOPED_TRACE(std::string(l.section) + "/" + l.key);
      if (l.value == nullptr) {
        EXPECT_EQ(0, ini.Get(l.section, l.key, buf));
      } else {
        ASSERT_EQ(1, ini.Get(l.section, l.key, buf));
        EXPECT_STREQ(l.value, buf);
      }
    }
  }
}

// Loading stops at the bad line: the counter names it (and keeps counting
// across loads), the lines before it stay queryable; a missing file is 1.
TEST(CQIRIniConfigContainerTest, LineCounterAndPartialLoad) {
  IniFile bad("[S]\nA=1\nB=2\n# c\nC=3\n\nbroken\nD=4\n");
  CQIRIniConfigContainer ini;
  EXPECT_EQ(0, ini.Initialize("/nonexistent/qir.ini", nullptr));
  EXPECT_STREQ("File Access failed!", ini.GetErrorMessage());
  EXPECT_EQ(0, ini.Initialize(bad.Path(), nullptr));
  EXPECT_EQ(7, ini.GetErrorLC());
  int v = 0;
  EXPECT_EQ(1, ini.Get("S", "C", &v));
  EXPECT_EQ(3, v);
  EXPECT_EQ(0, ini.Get("S", "D", &v));
  IniFile good("[S]\nA=9\n");
  EXPECT_EQ(1, ini.Initialize(good.Path(), nullptr));
  EXPECT_STREQ("No error.", ini.GetErrorMessage());
  EXPECT_EQ(9, ini.GetErrorLC());
  EXPECT_EQ(0, ini.Get("S", "B", &v));  // the earlier entries are gone
  ini.Finalize();
  ini.Finalize();
  EXPECT_EQ(0, ini.Get("S", "A", &v));
}

// atoi/atol/atof conversions, the boolean words, and what a missing key
// does with and without a default.
TEST(CQIRIniConfigContainerTest, TypedGetters) {
  IniFile file("[N]\nI=12abc\nW=abc\nL=9000000000\nD=2.5x\nT=/tmp/a\nV=http://$(VNF:web;eth0):80\n"
               "[B]\nyes=yes\ny=y\nTrue=True\none=1\non=on\n01=01\nfalse=false\n");
  CQIRIniConfigContainer ini;
  ASSERT_EQ(1, ini.Initialize(file.Path(), nullptr));
  int i = -1;
  long l = 0;
  double d = 0;
  EXPECT_TRUE(ini.Get("N", "I", &i) == 1 && i == 12);
  EXPECT_TRUE(ini.Get("N", "W", &i) == 1 && i == 0);
  EXPECT_TRUE(ini.Get("N", "L", &l) == 1 && l == 9000000000L);
  EXPECT_TRUE(ini.Get("N", "D", &d) == 1 && d == 2.5);
  i = 77, l = 77, d = 7.5;
  EXPECT_TRUE(ini.Get("N", "-", &i) == 0 && ini.Get("N", "-", &l) == 0 && ini.Get("N", "-", &d) == 0);
  EXPECT_TRUE(i == 77 && l == 77 && d == 7.5);
  EXPECT_TRUE(ini.Get("N", "-", &i, 5) == 1 && i == 5);
  EXPECT_TRUE(ini.Get("N", "-", &l, 6L) == 1 && l == 6);
  EXPECT_TRUE(ini.Get("N", "-", &d, 0.5) == 1 && d == 0.5);
  EXPECT_TRUE(ini.Get("N", "I", &i, 5) == 1 && i == 12);
  for (const auto& b : {std::make_pair("yes", 1), std::make_pair("y", 1), std::make_pair("True", 1),
                        std::make_pair("one", 1), std::make_pair("on", 0), std::make_pair("01", 0),
                        std::make_pair("false", 0)}) {
    int r = -1;
    EXPECT_EQ(1, ini.GetBool("B", b.first, &r));
    EXPECT_EQ(b.second, r) << b.first;
  }
  int r = -1;
  EXPECT_TRUE(ini.GetBool("B", "-", &r) == 0 && r == -1);
  EXPECT_TRUE(ini.GetBool("B", "-", &r, true) == 1 && r == 1);
  char buf[64] = "unchanged";
  EXPECT_TRUE(ini.Get("N", "-", buf) == 0 && strcmp(buf, "unchanged") == 0);
  EXPECT_TRUE(ini.Get("N", "-", buf, "dflt") == 1 && strcmp(buf, "dflt") == 0);
  EXPECT_TRUE(ini.Get("N", "T", buf, "dflt") == 1 && strcmp(buf, "/tmp/a") == 0);
  std::string text;
  EXPECT_TRUE(ini.Get("N", "T", text) == 1 && text == "/tmp/a");
  // Without a VNF object a reference is plain text.
  EXPECT_TRUE(ini.Get("N", "V", text) == 1 && text == "http://$(VNF:web;eth0):80");
}

// ---- VNF references ---------------------------------------------------------

namespace {

const char kVNFList[] = R"({"vnfcConfigurationData": [{"vnfcSpecificData": {"name": "web0",
    "interfaces": [{"address": "10.0.0.5", "networkInterfaceId": "sig"}]}}]})";

}  // namespace

TEST(CQIRIniConfigContainerTest, VNFReferencesAreResolvedInTextValues) {
  IniFile list(kVNFList);
  qirtest::ScopedEnv env("QIR_SERVER_LIST", list.Path());
  IniFile file(
      "[S]\nURL = http://$(VNF:web0;sig):8080/x\nBRACE = ${VNF:web0;sig}\n"
      "TWICE = $(VNF:web0;sig),$(VNF:web0;sig)\nUNKNOWN = http://$(VNF:db9;sig)/\n"
      "OPEN = $(VNF:web0;sig\n");
  CQIRVNFSupport vnf;
  CQIRIniConfigContainer ini;
  ASSERT_EQ(1, ini.Initialize(file.Path(), &vnf));
  const struct {
    const char* key;
    int result;
    const char* value;
  } cases[] = {{"URL", 1, "http://10.0.0.5:8080/x"},
               {"BRACE", 1, "10.0.0.5"},
               {"TWICE", 1, "10.0.0.5,10.0.0.5"},
               {"UNKNOWN", 0, ""},
               {"OPEN", 1, "$(VNF:web0;sig"}};  // no closing ")": nothing replaced
  QIR_OPEN_SERVICE_LOG(QIR_LOG_ALL);
  testing::internal::CaptureStdout();  // the unknown pair is logged
  for (const auto& c : cases) {
    char buf[256] = "";
    EXPECT_EQ(c.result, ini.Get("S", c.key, buf)) << c.key;
    EXPECT_STREQ(c.value, buf) << c.key;
  }
  char buf[256];
  EXPECT_EQ(0, ini.Get("S", "UNKNOWN", buf, "default"));  // a default does not help
  testing::internal::GetCapturedStdout();
}

// Blanks inside a reference were trimmed for the look-up, and the trimmed
// text then searched for in the value: not found, so the reference stayed in
// the value and success was reported.
TEST(CQIRIniConfigContainerTest, VNFReferenceWithBlanksInsideIsReplaced) {
  IniFile list(kVNFList);
  qirtest::ScopedEnv env("QIR_SERVER_LIST", list.Path());
  IniFile file("[S]\nURL = http://$(VNF: web0 ; sig ):8080\n");
  CQIRVNFSupport vnf;
  CQIRIniConfigContainer ini;
  ASSERT_EQ(1, ini.Initialize(file.Path(), &vnf));
  char buf[256] = "";
  EXPECT_EQ(1, ini.Get("S", "URL", buf));
  EXPECT_STREQ("http://10.0.0.5:8080", buf);
}
