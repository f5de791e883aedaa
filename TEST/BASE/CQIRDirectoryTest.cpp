#include "CQIRDirectory.h"

#include "QIRLogTestUtil.h"

#include <gtest/gtest.h>

#include <string>
#include <utility>
#include <vector>

using qirtest::TempDir, qirtest::WriteAll;

TEST(CQIRDirectoryTest, ScansListSortedFullNames) {
  TempDir tmp;
  for (auto f : {"app.b", "app.B", "app.\xc3\xa9", "other"}) WriteAll(tmp / f, f);
  mkdir((tmp / "app.dir").c_str(), 0700);
  CQIRDirectory dir;
  dir.Set(tmp.path().c_str(), "app*");
  std::vector<std::pair<std::string, unsigned long>> files;
  ASSERT_TRUE(dir.Scan(files, true));
  // Byte order: upper case first, a byte above 0x7f last; sizes in bytes.
  EXPECT_EQ((std::vector<std::pair<std::string, unsigned long>>{
                {tmp / "app.B", 5}, {tmp / "app.b", 5}, {tmp / "app.\xc3\xa9", 6}}),
            files);
  std::vector<std::string> dirs;
  ASSERT_TRUE(dir.DirScan(dirs, 1));
  EXPECT_EQ(std::vector<std::string>{tmp / "app.dir"}, dirs);
  dir.Set(nullptr, "a\\*");  // a backslash escapes nothing
  EXPECT_TRUE(dir.Filtering("a\\bc"));
  EXPECT_FALSE(dir.Filtering("a*"));

  dir.Set("/nonexistent/qir", "*");
  qirtest::Captured([&] { EXPECT_FALSE(dir.DirScan(dirs, 1)); });
  EXPECT_TRUE(dirs.empty());
}

// A link to nothing failed every scan of its directory, and with it the log
// writer's clean-up and its search for the next free suffix.
TEST(CQIRDirectoryTest, DanglingSymlinkDoesNotFailScan) {
  TempDir tmp;
  WriteAll(tmp / "app.1", "x");
  ASSERT_EQ(0, symlink((tmp / "gone").c_str(), (tmp / "app.2").c_str()));
  CQIRDirectory dir;
  dir.Set(tmp.path().c_str(), "app*");
  std::vector<std::string> names;
  ASSERT_TRUE(dir.Scan(names, true));
  EXPECT_EQ(std::vector<std::string>{tmp / "app.1"}, names);
}
