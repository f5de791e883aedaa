#include "CQIRDirectory.h"

#include "CQIRServiceLog.h"
#include "QIRLogTestUtil.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

using qirtest::TempDir;
using qirtest::WriteAll;

TEST(CQIRDirectoryTest, FilteringIsAShellPatternWithLiteralBackslash) {
  const struct {
    const char* filter;
    const char* name;
    bool match;
  } cases[] = {
      {"", "anything", true},
      {"*", ".hidden", true},
      {"app*", "app.LOG.20250305", true},
      {"app*", "other.LOG", false},
      {"app.LOG.2025030?.*", "app.LOG.20250305.12", true},
      {"app.LOG.2025030?.*", "app.LOG.20250305", false},
      {"[0-9]*", "2025", true},
      {"[0-9]*", "x2025", false},
      // A backslash does not escape: the star after it is still a wildcard.
      {"a\\*", "a\\bc", true},
      {"a\\*", "a*", false},
  };
  CQIRDirectory dir;
  for (const auto& c : cases) {
    dir.Set(nullptr, c.filter);
    EXPECT_EQ(c.match, dir.Filtering(c.name)) << c.filter << " vs " << c.name;
  }
}

TEST(CQIRDirectoryTest, ScanListsMatchingRegularFilesSortedWithSizes) {
  TempDir tmp;
  WriteAll(tmp / "app.b", "12345");
  WriteAll(tmp / "app.B", "1");
  WriteAll(tmp / "app.a", "");
  WriteAll(tmp / "app.\xc3\xa9", "xy");  // a byte above 0x7f sorts last
  WriteAll(tmp / "other", "zz");
  ASSERT_EQ(0, mkdir((tmp / "app.dir").c_str(), 0700));

  CQIRDirectory dir;
  ASSERT_TRUE(dir.Set(tmp.path().c_str(), "app*"));
  std::vector<std::string> names{"stale entry"};
  ASSERT_TRUE(dir.Scan(names, true));
  std::vector<std::string> expect{tmp / "app.B", tmp / "app.a", tmp / "app.b",
                                  tmp / "app.\xc3\xa9"};
  EXPECT_EQ(expect, names);

  std::vector<std::pair<std::string, unsigned long>> sized;
  ASSERT_TRUE(dir.Scan(sized, true));
  std::vector<std::pair<std::string, unsigned long>> expectSized{
      {tmp / "app.B", 1}, {tmp / "app.a", 0}, {tmp / "app.b", 5}, {tmp / "app.\xc3\xa9", 2}};
  EXPECT_EQ(expectSized, sized);
}

TEST(CQIRDirectoryTest, DirScanListsDirectoriesDotsIncluded) {
  TempDir tmp;
  ASSERT_EQ(0, mkdir((tmp / "20250306").c_str(), 0700));
  ASSERT_EQ(0, mkdir((tmp / "20250305").c_str(), 0700));
  WriteAll(tmp / "20250307", "a file, not a directory");

  CQIRDirectory dir;
  dir.Set(tmp.path().c_str(), "*");
  std::vector<std::string> dirs;
  ASSERT_TRUE(dir.DirScan(dirs, 1));
  std::vector<std::string> expect{tmp / ".", tmp / "..", tmp / "20250305", tmp / "20250306"};
  EXPECT_EQ(expect, dirs);

  dir.Set(nullptr, "2*");
  ASSERT_TRUE(dir.DirScan(dirs, 1));
  EXPECT_EQ(std::vector<std::string>({tmp / "20250305", tmp / "20250306"}), dirs);
}

TEST(CQIRDirectoryTest, MissingDirectoryFailsWithMessageAndEmptyList) {
  ASSERT_EQ(1, QIR_OPEN_SERVICE_LOG(QIR_LOG_ALL));
  CQIRDirectory dir;
  dir.Set("/nonexistent/qir-dir", nullptr);
  std::vector<std::string> names{"stale entry"};
  testing::internal::CaptureStdout();
  EXPECT_FALSE(dir.Scan(names, true));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_TRUE(names.empty());
  EXPECT_NE(std::string::npos, out.find("opendir(/nonexistent/qir-dir/.) failed...")) << out;
}

// A link to nothing made every scan of its directory fail, and with it the
// log writer's clean-up and its search for the next free suffix.
TEST(CQIRDirectoryTest, DanglingSymlinkDoesNotFailScan) {
  TempDir tmp;
  WriteAll(tmp / "app.1", "x");
  ASSERT_EQ(0, symlink((tmp / "gone").c_str(), (tmp / "app.2").c_str()));
  CQIRDirectory dir;
  dir.Set(tmp.path().c_str(), "app*");
  std::vector<std::string> names;
  ASSERT_TRUE(dir.Scan(names, true));
  EXPECT_EQ(std::vector<std::string>({tmp / "app.1"}), names);
}

TEST(CQIRDirectoryTest, OverlongPathIsRefusedNotCut) {
  ASSERT_EQ(1, QIR_OPEN_SERVICE_LOG(QIR_LOG_ALL));
  CQIRDirectory dir;
  std::string longPath = "/tmp/" + std::string(5000, 'p');
  testing::internal::CaptureStdout();
  EXPECT_FALSE(dir.Set(longPath.c_str(), "*"));
  std::vector<std::string> names;
  EXPECT_FALSE(dir.Scan(names, false));
  std::string out = testing::internal::GetCapturedStdout();
  EXPECT_NE(std::string::npos, out.find("directory path too long")) << out;
  dir.Set("/tmp", nullptr);
  EXPECT_TRUE(dir.Scan(names, false));
}
