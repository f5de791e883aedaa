#include "CQIRIniConfigContainer.h"

#include "CQIRServiceLog.h"
#include "CQIRVNFSupport.h"
#include "QIRLogTestUtil.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

namespace {

// An INI file in its own temporary directory.
class IniFile {
 public:
  explicit IniFile(const std::string& _text) { qirtest::WriteAll(path_, _text); }
  const char* Path() const { return path_.c_str(); }

 private:
  qirtest::TempDir dir_;
  std::string path_ = dir_ / "test.ini";
};

struct Lookup {
  const char *section, *key;
  const char* value;  // nullptr: must be missing
};

std::string Repeat(char _c, size_t _n) { return std::string(_n, _c); }

const char* const kErrors[] = {"No error.", "File Access failed!", "Key Duplicate!", "Syntax error!"};

}  // namespace

// Each row: a file, how loading ends, the line count, and what can be looked
// up afterwards.
TEST(CQIRIniConfigContainerTest, FileFormatRules) {
  const std::string firstPiece = Repeat('x', 1021);  // 1023 characters read, "K=" included
  const struct {
    const char* name;
    std::string text;
    int result, error, lineCount;
    std::vector<Lookup> lookups;
  } cases[] = {
      {"combined names collide", "[A]\nBC = 1\n[AB]\nC = 2\n", 0, 2, 4, {{"A", "BC", "1"}}},
      {"same key twice", "[A]\nK=1\n\n[A]\nK=2\n", 0, 2, 5, {{"A", "K", "1"}}},
      {"no =", "[A]\nplain words\n", 0, 3, 2, {}},
      {"comment, blank and tab lines", "# c = 1\n\n \t \n[A]\nK=v # not a comment\n", 1, 0, 5,
       {{"A", "K", "v # not a comment"}, {"#", " c", nullptr}}},
      {"further = belong to the value", "[A]\nK = a=b = c\n", 1, 0, 2, {{"A", "K", "a=b = c"}}},
      {"text after ] ignored, name untrimmed", "  [ S ]junk\nK\t=\t1\n", 1, 0, 2,
       {{" S ", "K", "1"}, {"S", "K", nullptr}}},
      {"key before any section", "K=top\n[A]\nK=a\n", 1, 0, 3, {{"", "K", "top"}, {"A", "K", "a"}}},
      {"CR-LF keeps the CR in values", "[A]\r\nB = true\r\n", 1, 0, 2, {{"A", "B", "true\r"}}},
      {"CR-only line is a syntax error", "[A]\r\nB = 1\r\n\r\n", 0, 3, 3, {{"A", "B", "1\r"}}},
      {"long line: rest read as its own line", "[A]\nK=" + Repeat('x', 1500) + "\n", 0, 3, 3,
       {{"A", "K", firstPiece.c_str()}}},
      {"127-character names", "[" + Repeat('s', 127) + "]\n" + Repeat('k', 127) + "   =1\n", 1, 0, 2,
       {}},
      {"128-character section refused", "[" + Repeat('s', 128) + "]\nK=1\n", 0, 3, 1, {}},
      {"128-character key refused", "[A]\n" + Repeat('k', 128) + "=1\n", 0, 3, 2, {}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    IniFile file(c.text);
    CQIRIniConfigContainer ini;
    EXPECT_EQ(c.result, ini.Initialize(file.Path(), nullptr));
    EXPECT_STREQ(kErrors[c.error], ini.GetErrorMessage());
    EXPECT_EQ(c.lineCount, ini.GetErrorLC());
    for (const Lookup& l : c.lookups) {
      char buf[2048];
      EXPECT_EQ(l.value ? 1 : 0, ini.Get(l.section, l.key, buf)) << l.section << "/" << l.key;
      if (l.value) { EXPECT_STREQ(l.value, buf) << l.section << "/" << l.key; }
    }
  }
  CQIRIniConfigContainer ini;
  EXPECT_EQ(0, ini.Initialize("/nonexistent/qir/none.ini", nullptr));
  EXPECT_STREQ(kErrors[1], ini.GetErrorMessage());
  EXPECT_EQ(0, ini.Initialize(nullptr, nullptr));
}

// The line counter points at the bad line of a first load, keeps counting
// across loads, and the entries before the bad line stay queryable.
TEST(CQIRIniConfigContainerTest, LineCounterAndPartialLoad) {
  IniFile bad("[S]\nA=1\nB=2\n# c\nC=3\n\nbroken\nD=4\n"), good("[S]\nA=9\n");
  CQIRIniConfigContainer ini;
  int v = 0;
  EXPECT_EQ(0, ini.Initialize(bad.Path(), nullptr));
  EXPECT_EQ(7, ini.GetErrorLC());
  EXPECT_EQ(1, ini.Initialize(good.Path(), nullptr));
  EXPECT_EQ(9, ini.GetErrorLC());
  EXPECT_EQ(0, ini.Get("S", "B", &v));  // the earlier entries are gone
  EXPECT_TRUE(ini.Get("S", "A", &v) == 1 && v == 9);
  ini.Finalize();
  ini.Finalize();
  EXPECT_EQ(0, ini.Get("S", "A", &v));
}

// ---- VNF references ---------------------------------------------------------

namespace {

// Key S/K holding _value, read through a VNF list naming web0's sig address.
std::pair<int, std::string> Resolved(const std::string& _value, const char* _default = nullptr) {
  IniFile list(R"({"vnfcConfigurationData": [{"vnfcSpecificData": {"name": "web0",
      "interfaces": [{"address": "10.0.0.5", "networkInterfaceId": "sig"}]}}]})");
  IniFile file("[S]\nK = " + _value + "\n");
  qirtest::ScopedEnv env("QIR_SERVER_LIST", list.Path());
  CQIRVNFSupport vnf;
  CQIRIniConfigContainer ini;
  EXPECT_EQ(1, ini.Initialize(file.Path(), &vnf));
  char buf[256] = "";
  int rc = 0;
  QIR_OPEN_SERVICE_LOG(QIR_LOG_ALL);
  qirtest::Captured([&] { rc = _default ? ini.Get("S", "K", buf, _default) : ini.Get("S", "K", buf); });
  return {rc, buf};
}

}  // namespace

TEST(CQIRIniConfigContainerTest, VNFReferencesAreResolvedInTextValues) {
  const struct { const char *value, *dflt; int result; const char* text; } cases[] = {
      {"http://$(VNF:web0;sig):8080/x", nullptr, 1, "http://10.0.0.5:8080/x"},
      {"${VNF:web0;sig}", nullptr, 1, "10.0.0.5"},
      {"$(VNF:web0;sig),$(VNF:web0;sig)", nullptr, 1, "10.0.0.5,10.0.0.5"},
      {"http://$(VNF:db9;sig)/", nullptr, 0, ""},
      {"http://$(VNF:db9;sig)/", "default", 0, ""},  // a default does not help
      {"$(VNF:web0;sig", nullptr, 1, "$(VNF:web0;sig"},  // no closing ")": nothing replaced
      // Blanks inside a reference were trimmed for the look-up, and the trimmed
      // text then searched for in the value: not found, so the reference stayed
      // in the value and success was reported.
      {"http://$(VNF: web0 ; sig ):8080", nullptr, 1, "http://10.0.0.5:8080"}};
  for (const auto& c : cases) {
    auto r = Resolved(c.value, c.dflt);
    EXPECT_EQ(c.result, r.first) << c.value;
    if (c.result == 1) { EXPECT_EQ(c.text, r.second) << c.value; }
  }
}
