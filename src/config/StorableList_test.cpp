#include "config/StorableList.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "support/TempDir.h"

namespace fs = std::filesystem;
using kelpd::testing::ReadFile;
using kelpd::testing::TempDir;

namespace {

std::string DataFile(const std::string& name) {
  return std::string(KELPD_SOURCE_DIR) + "/tests/data/config/" + name;
}

TEST(CStorableList, EscapesCommentsAndEndBlockRoundTripByteForByte) {
  TempDir dir;
  std::string original = ReadFile(DataFile("domains"));
  ASSERT_FALSE(original.empty());
  std::string path = dir.WriteFile("domains", original);
  CStorableList list;
  ASSERT_TRUE(list.Load(path));
  EXPECT_EQ(list.GetCount(), 4);
  EXPECT_TRUE(list.ContainsLocked("weird\\#name.example"));  // backslash kept
  EXPECT_TRUE(list.ContainsLocked("example.org"));
  for (int i = 0; i < 3; ++i) {
    ASSERT_TRUE(list.Save());
    EXPECT_EQ(ReadFile(path), original);  // does not grow either
    ASSERT_TRUE(list.Load());
  }
}

TEST(CStorableList, TrailingRemarkAndAddedEntries) {
  TempDir dir;
  std::string path = dir.WriteFile("filters", "casino # spam word\n  viagra  \n");
  CStorableList list;
  ASSERT_TRUE(list.Load(path));
  EXPECT_EQ(list.GetCount(), 2);
  EXPECT_EQ(list.GetHead(), "casino");
  EXPECT_EQ(list.GetTail(), "viagra");
  list.AddTail("lottery");
  list.SetModified(true);
  ASSERT_TRUE(list.Save());
  EXPECT_FALSE(list.IsModified());
  EXPECT_EQ(ReadFile(path), "# spam word\ncasino\nviagra\nlottery\n");
}

TEST(CStorableList, FailedReloadKeepsTheEntries) {
  TempDir dir;
  std::string path = dir.WriteFile("domains", "example.org\n");
  CStorableList list;
  ASSERT_TRUE(list.Load(path));
  fs::remove(path);
  EXPECT_FALSE(list.Load());
  EXPECT_TRUE(list.IsLoaded());
  EXPECT_EQ(list.GetCount(), 1);
  ::unsetenv("KELPD_TEST_CONFIG_DIR");
  EXPECT_FALSE(list.LoadFromEnvDir("domains", "KELPD_TEST_CONFIG_DIR"));
  EXPECT_EQ(list.GetCount(), 1);
}

}  // namespace
