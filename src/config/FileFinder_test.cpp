#include "config/FileFinder.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <map>
#include <string>

#include "base/Paths.h"
#include "support/TempDir.h"

namespace {

TEST(CFileFinder, ListsMatchingEntriesWithAttributesAndSizes) {
  kelpd::testing::TempDir dir;
  dir.WriteFile("a.eml", "12345");
  dir.WriteFile("B.EML", "");
  dir.WriteFile("c.txt", "x");
  dir.MakeDir("Alice");
  std::map<std::string, std::pair<uint32_t, uint64_t>> seen;
  CFileFinder eml(MakePath(dir.path(), "*.eml"));
  while (eml.FindNext()) {
    seen[eml.GetFileName()] = {eml.GetAttributes(), eml.GetFileSize()};
    EXPECT_EQ(eml.GetFilePath(), dir.Join(eml.GetFileName()));
  }
  EXPECT_FALSE(eml.FindNext());  // stays at the end
  ASSERT_EQ(seen.size(), 2u);
  EXPECT_EQ(seen["a.eml"].second, 5u);
  EXPECT_EQ(seen["B.EML"].second, 0u);  // callers skip empty files by this
  EXPECT_EQ(seen["a.eml"].first & kFileAttributeDirectory, 0u);

  seen.clear();
  CFileFinder all(MakePath(dir.path(), "*.*"));
  while (all.FindNext()) seen[all.GetFileName()] = {all.GetAttributes(), all.GetFileSize()};
  EXPECT_EQ(seen.size(), 4u);  // no "." or ".."
  EXPECT_EQ(seen["Alice"].first & kFileAttributeDirectory, kFileAttributeDirectory);
  EXPECT_TRUE(seen.count("c.txt"));

  CFileFinder missing(dir.Join("none/*.eml"));
  EXPECT_FALSE(missing.FindNext());
  EXPECT_EQ(missing.GetError(), ENOENT);
}

}  // namespace
