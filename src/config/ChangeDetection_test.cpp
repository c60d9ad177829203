// The change check of the lists and maps: an edit is seen whatever its
// timing, and only once.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>
#include <string>

#include "config/StorableList.h"
#include "support/TempDir.h"

namespace {

using kelpd::testing::TempDir;

struct timespec ModificationTime(const std::string& path) {
  struct stat st {};
  EXPECT_EQ(::stat(path.c_str(), &st), 0);
  return st.st_mtim;
}

void SetModificationTime(const std::string& path, struct timespec when) {
  const struct timespec times[2] = {when, when};
  ASSERT_EQ(::utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
}

std::string FirstEntry(const CStorableList& list) {
  return list.IsEmpty() ? std::string() : list.GetHead();
}

TEST(ChangeDetection, EditsInTheSameSecondAndReplacementsKeepingSizeAndTimeAreSeen) {
  TempDir dir;
  const std::string path = dir.WriteFile("domains", "a.example\n");
  CStorableList list;
  ASSERT_TRUE(list.Load(path));
  EXPECT_FALSE(list.HasChanged());

  // Rewritten in place within the same second, same size.
  struct timespec loaded = ModificationTime(path);
  dir.WriteFile("domains", "b.example\n");
  SetModificationTime(path, {loaded.tv_sec, (loaded.tv_nsec + 1) % 1000000000});
  EXPECT_TRUE(list.HasChanged());
  EXPECT_FALSE(list.HasChanged());
  ASSERT_TRUE(list.Load());
  EXPECT_EQ(FirstEntry(list), "b.example");

  // Replaced by rename with a file of the same size and the very same time.
  loaded = ModificationTime(path);
  const std::string next = dir.WriteFile("domains.new", "c.example\n");
  SetModificationTime(next, loaded);
  ASSERT_EQ(std::rename(next.c_str(), path.c_str()), 0);
  EXPECT_TRUE(list.HasChanged());
  ASSERT_TRUE(list.Load());
  EXPECT_EQ(FirstEntry(list), "c.example");
  EXPECT_FALSE(list.HasChanged());
}

}  // namespace
