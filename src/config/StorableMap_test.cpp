#include "config/StorableMap.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "config/ConfigMap.h"
#include "platform/Files.h"
#include "platform/LocalTime.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace fs = std::filesystem;
using kelpd::testing::ReadFile;
using kelpd::testing::TempDir;

namespace {

std::string Value(const CStorableMap& map, const std::string& key) {
  std::string value;
  return map.LookupPlain(key, value) ? value : std::string("<absent>");
}

std::string DataFile(const std::string& name) {
  return std::string(KELPD_SOURCE_DIR) + "/tests/data/config/" + name;
}

TEST(CStorableMap, SeparatorsBlanksAndCase) {
  TempDir dir;
  std::string path = dir.WriteFile("map",
                                   "Plain:value\n"
                                   "Spaced \t:\t  value two  \n"
                                   "  Indented: x\n"
                                   "NoValue:\n"
                                   ":no key\n"
                                   "Url: http://host:25/x\n"
                                   "Key: lower\n"
                                   "KEY: upper\n"
                                   "no separator here\n");
  CStorableMap map;
  ASSERT_TRUE(map.Load(path));
  EXPECT_TRUE(map.IsLoaded());
  EXPECT_EQ(Value(map, "Plain"), "value");
  EXPECT_EQ(Value(map, "Spaced"), "value two");
  EXPECT_EQ(Value(map, "Indented"), "x");
  EXPECT_EQ(Value(map, "NoValue"), "<absent>");
  EXPECT_EQ(Value(map, ""), "<absent>");
  EXPECT_EQ(Value(map, "Url"), "http://host:25/x");  // the second separator is data
  EXPECT_EQ(Value(map, "Key"), "lower");
  EXPECT_EQ(Value(map, "KEY"), "upper");
  EXPECT_EQ(map.GetCount(), 6);
}

TEST(CStorableMap, CarriageReturnsAndLastLineWithoutLineFeed) {
  TempDir dir;
  CStorableMap map;
  ASSERT_TRUE(map.Load(dir.WriteFile("map", "A: 1\r\nB: 2\r\nC: 3")));
  EXPECT_EQ(Value(map, "A"), "1");
  EXPECT_EQ(Value(map, "B"), "2");
  EXPECT_EQ(Value(map, "C"), "3");
}

TEST(CStorableMap, EscapedHashRoundTripsThroughASave) {
  TempDir dir;
  std::string path = dir.WriteFile("map",
                                   "Challenge: a\\#b # still data\n"
                                   "Double: x\\\\#y\n"
                                   "Plain: v # remark\n");
  CStorableMap map;
  ASSERT_TRUE(map.Load(path));
  EXPECT_EQ(Value(map, "Challenge"), "a#b # still data");
  EXPECT_EQ(Value(map, "Double"), "x\\#y");
  EXPECT_EQ(Value(map, "Plain"), "v");
  map.SetAt("Added", "p#q");
  ASSERT_TRUE(map.Save());
  EXPECT_EQ(ReadFile(path),
            "Challenge:\ta\\#b # still data\n"
            "Double:\t\tx\\\\#y\n"
            "# remark\n"
            "Plain:\t\tv\n"
            "Added:\t\tp\\#q\n");
  CStorableMap again;
  ASSERT_TRUE(again.Load(path));
  EXPECT_EQ(Value(again, "Challenge"), "a#b # still data");
  EXPECT_EQ(Value(again, "Double"), "x\\#y");
  EXPECT_EQ(Value(again, "Added"), "p#q");
}

TEST(CStorableMap, TrailingRemarkMovesOntoItsOwnLineAndEndBlockIsLost) {
  TempDir dir;
  std::string path = dir.WriteFile("map",
                                   "# head\n"
                                   "\n"
                                   "Host: mail # primary relay\n"
                                   "# closing remark\n");
  CStorableMap map;
  ASSERT_TRUE(map.Load(path));
  ASSERT_TRUE(map.Save());
  EXPECT_EQ(ReadFile(path), "# head\n\n# primary relay\nHost:\tmail\n");
}

TEST(CStorableMap, KeyGivenTwiceIsWrittenTwiceWithTheLaterValueAndComment) {
  TempDir dir;
  std::string path = dir.WriteFile("map", "# first\nA: 1\n# second\nA: 2\n");
  CStorableMap map;
  ASSERT_TRUE(map.Load(path));
  EXPECT_EQ(Value(map, "A"), "2");
  ASSERT_TRUE(map.Save());
  EXPECT_EQ(ReadFile(path), "# second\nA:\t2\n# second\nA:\t2\n");
}

TEST(CStorableMap, RemovedKeysLoseTheirCommentsAndAddedKeysFollowSorted) {
  TempDir dir;
  std::string path = dir.WriteFile("map", "# a\nA: 1\n# b\nB: 2\n");
  CStorableMap map;
  ASSERT_TRUE(map.Load(path));
  map.RemoveKey("A");
  map.SetAt("Zeta", "z");
  map.SetAt("Alpha", "a");
  EXPECT_TRUE(map.IsModified());
  ASSERT_TRUE(map.Save());
  EXPECT_FALSE(map.IsModified());
  EXPECT_EQ(ReadFile(path), "# b\nB:\t2\nAlpha:\ta\nZeta:\tz\n");
}

TEST(CStorableMap, TabRunAlignsEveryValue) {
  TempDir dir;
  std::string path = dir.WriteFile("map", "");
  CStorableMap map;
  ASSERT_TRUE(map.Load(path));
  map.SetAt("abcdefg", "7");
  map.SetAt("a", "1");
  // The widest key: with its separator 16 characters, so its value follows at once.
  map.SetAt("abcdefghijklmno", "15");
  ASSERT_TRUE(map.Save());
  EXPECT_EQ(ReadFile(path), "a:\t\t1\nabcdefg:\t7\nabcdefghijklmno:15\n");
}

TEST(CStorableMap, RealisticConfigurationRoundTripsByteForByte) {
  TempDir dir;
  std::string original = ReadFile(DataFile("kelpd.cfg"));
  ASSERT_FALSE(original.empty());
  std::string path = dir.WriteFile("kelpd.cfg", original);
  CConfigMap config;
  ASSERT_TRUE(config.Load(path));
  EXPECT_EQ(config.GetString("SRS.Challenge"), "s3cr#t and # more");
  EXPECT_EQ(config.GetInt("AutoTransport.Threads", 1), 4);
  ASSERT_TRUE(config.Save());
  EXPECT_EQ(ReadFile(path), original);
  ASSERT_TRUE(config.Load());
  ASSERT_TRUE(config.Save());
  EXPECT_EQ(ReadFile(path), original);
}

TEST(CStorableMap, TwoBackupsWithinOneSecondLeaveOneHoldingTheLaterCopy) {
  TempDir dir;
  std::string path = dir.WriteFile("aliases", "A: 1\n");
  CStorableMap map;
  ASSERT_TRUE(map.Load(path));
  // Retried when the two saves straddle a second boundary.
  for (int attempt = 0; attempt < 5; ++attempt) {
    for (const auto& e : fs::directory_iterator(dir.path()))
      if (e.path().filename() != "aliases") fs::remove(e.path());
    std::string base = dir.Join("bak");
    time_t before = kelpd::platform::Now();
    map.SetAt("A", "2");
    ASSERT_TRUE(map.Save(true, base));
    map.SetAt("A", "3");
    ASSERT_TRUE(map.Save(true, base));
    if (kelpd::platform::Now() != before) continue;
    int backups = 0;
    std::string backup;
    for (const auto& e : fs::directory_iterator(dir.path())) {
      std::string name = e.path().filename().string();
      if (name == "aliases") continue;
      ++backups;
      backup = e.path().string();
      EXPECT_EQ(name.size(), std::string("bak-YYMMDD-HHMMSS").size()) << name;
      EXPECT_EQ(name.rfind("bak-", 0), 0u) << name;
    }
    EXPECT_EQ(backups, 1);
    EXPECT_EQ(ReadFile(backup), "A:\t2\n");
    EXPECT_EQ(ReadFile(path), "A:\t3\n");
    return;
  }
  FAIL() << "no two saves fell within one second";
}

TEST(CStorableMap, BackupWithoutBaseUsesThePathAndAFailedCopyDoesNotStopTheSave) {
  TempDir dir;
  std::string path = dir.WriteFile("map", "A: 1\n");
  CStorableMap map;
  ASSERT_TRUE(map.Load(path));
  fs::remove(path);  // nothing to copy
  ASSERT_TRUE(map.Save(true));
  EXPECT_EQ(ReadFile(path), "A:\t1\n");
  ASSERT_TRUE(map.Save(true));
  int backups = 0;
  for (const auto& e : fs::directory_iterator(dir.path()))
    if (e.path().filename().string().rfind("map-", 0) == 0) ++backups;
  EXPECT_GE(backups, 1);
}

TEST(CStorableMap, SaveReplacesTheFileWholeAndKeepsItsMode) {
  TempDir dir;
  std::string path = dir.WriteFile("config", "NextUID: 1\n");
  fs::permissions(path, fs::perms(0640));
  CConfigMap map;
  ASSERT_TRUE(map.Load(path));
  map.SetInt("NextUID", 2);
  ASSERT_TRUE(map.Save());
  EXPECT_EQ(ReadFile(path), "NextUID:2\n");  // key and separator fill the tab column
  EXPECT_EQ(fs::status(path).permissions() & fs::perms::all, fs::perms(0640));
  int entries = 0;
  for (const auto& e : fs::directory_iterator(dir.path())) {
    (void)e;
    ++entries;
  }
  EXPECT_EQ(entries, 1);  // no temporary file left behind
}

TEST(CStorableMap, SaveThroughASymbolicLinkKeepsTheLink) {
  TempDir dir;
  std::string target = dir.WriteFile("real.cfg", "A: 1\n");
  std::string link = dir.Join("link.cfg");
  fs::create_symlink(target, link);
  CStorableMap map;
  ASSERT_TRUE(map.Load(link));
  map.SetAt("A", "2");
  ASSERT_TRUE(map.Save());
  EXPECT_TRUE(fs::is_symlink(link));
  EXPECT_EQ(ReadFile(target), "A:\t2\n");
}

TEST(CStorableMap, SaveIntoAMissingDirectoryFails) {
  TempDir dir;
  CStorableMap map;
  EXPECT_FALSE(map.Load(dir.Join("none/map")));
  map.SetAt("A", "1");
  EXPECT_FALSE(map.Save());
}

class RefusingMap : public CStorableMap {
 public:
  bool refuse_before_read = false;
  bool refuse_after_read = false;
  bool refuse_before_load = false;
  int after_load_calls = 0;

 protected:
  bool AcceptEntry(std::string& key, std::string& value) override {
    if (value == "bad") return false;
    for (char& c : key) c = static_cast<char>(c == 'X' ? 'x' : c);
    return true;
  }
  bool BeforeLoad() override { return !refuse_before_load; }
  bool BeforeRead() override { return !refuse_before_read; }
  bool AfterRead() override { return !refuse_after_read; }
  void AfterLoad() override { ++after_load_calls; }
};

TEST(CStorableMap, HooksFilterAndChangeEntries) {
  TempDir dir;
  std::string path = dir.WriteFile("map", "# c\nA: bad\nXY: 1\n");
  RefusingMap map;
  ASSERT_TRUE(map.Load(path));
  EXPECT_EQ(map.GetCount(), 1);
  EXPECT_EQ(Value(map, "xY"), "1");
  EXPECT_EQ(map.after_load_calls, 1);
  ASSERT_TRUE(map.Save());
  // The refused line is gone; its comment moved on to the next entry.
  EXPECT_EQ(ReadFile(path), "# c\nxY:\t1\n");
}

TEST(CStorableMap, FailedReloadKeepsThePreviousContents) {
  TempDir dir;
  std::string path = dir.WriteFile("map", "A: 1\n");
  RefusingMap map;
  ASSERT_TRUE(map.Load(path));
  dir.WriteFile("map", "A: 2\nB: 3\n");

  map.refuse_before_read = true;
  EXPECT_FALSE(map.Load());
  EXPECT_EQ(Value(map, "A"), "1");
  EXPECT_EQ(map.GetCount(), 1);

  map.refuse_before_read = false;
  map.refuse_after_read = true;
  EXPECT_FALSE(map.Load());
  EXPECT_EQ(Value(map, "A"), "1");
  EXPECT_EQ(Value(map, "B"), "<absent>");
  EXPECT_EQ(map.after_load_calls, 1);

  map.refuse_after_read = false;
  map.refuse_before_load = true;
  EXPECT_FALSE(map.Load());
  map.refuse_before_load = false;

  fs::remove(path);
  EXPECT_FALSE(map.Load());
  EXPECT_EQ(Value(map, "A"), "1");

  // The comments and key order came back too: a save writes the old file.
  ASSERT_TRUE(map.Save());
  EXPECT_EQ(ReadFile(path), "A:\t1\n");
}

TEST(CStorableMap, LoadFromEnvDir) {
  TempDir dir;
  dir.WriteFile("kelpd.cfg", "A: 1\n");
  dir.WriteFile("other.cfg", "B: 2\n");
  CStorableMap map;
  ASSERT_TRUE(map.Load(dir.Join("other.cfg")));
  ::unsetenv("KELPD_TEST_CONFIG_DIR");
  EXPECT_FALSE(map.LoadFromEnvDir("kelpd.cfg", "KELPD_TEST_CONFIG_DIR"));
  EXPECT_EQ(map.GetPath(), dir.Join("other.cfg"));
  EXPECT_EQ(Value(map, "B"), "2");
  ::setenv("KELPD_TEST_CONFIG_DIR", dir.path().c_str(), 1);
  EXPECT_TRUE(map.LoadFromEnvDir("kelpd.cfg", "KELPD_TEST_CONFIG_DIR"));
  EXPECT_EQ(map.GetPath(), dir.Join("kelpd.cfg"));
  EXPECT_EQ(Value(map, "A"), "1");
  EXPECT_EQ(Value(map, "B"), "<absent>");
  ::unsetenv("KELPD_TEST_CONFIG_DIR");
}

TEST(CStorableMap, HasChanged) {
  TempDir dir;
  std::string path = dir.WriteFile("map", "A: 1\n");
  CStorableMap map;
  ASSERT_TRUE(map.Load(path));
  EXPECT_FALSE(map.HasChanged());

  map.SetAt("A", "2");
  ASSERT_TRUE(map.Save());
  EXPECT_FALSE(map.HasChanged());  // the object's own write

  dir.WriteFile("map", "A: 2\nB: 3\n");  // someone else's edit
  EXPECT_TRUE(map.HasChanged());
  EXPECT_FALSE(map.HasChanged());

  // Replaced by an older file of the same size: seen all the same.
  std::string older = dir.WriteFile("older", "A: 9\nB: 9\n");
  fs::last_write_time(older, fs::last_write_time(path) - std::chrono::hours(24));
  fs::rename(older, path);
  EXPECT_TRUE(map.HasChanged());

  // Gone, then back: seen once it is back.
  fs::remove(path);
  EXPECT_FALSE(map.HasChanged());
  dir.WriteFile("map", "A: 1\n");
  EXPECT_TRUE(map.HasChanged());
}

TEST(CStorableMap, FileChangedWhileReadIsNotTakenForWhole) {
  TempDir dir;
  std::string path = dir.WriteFile("map", "A: 1\n");
  kelpd::platform::FileStatus status;
  ASSERT_TRUE(kelpd::platform::StatFile(path, status).ok());
  dir.WriteFile("map", "A: 1\nB: 22\n");
  std::string data;
  EXPECT_EQ(kelpd::platform::ReadWholeFile(path, status, 1 << 20, data).error(), EAGAIN);
  ASSERT_TRUE(kelpd::platform::StatFile(path, status).ok());
  EXPECT_TRUE(kelpd::platform::ReadWholeFile(path, status, 1 << 20, data).ok());
  EXPECT_EQ(data, "A: 1\nB: 22\n");
  EXPECT_EQ(kelpd::platform::ReadWholeFile(path, 4, data).error(), EFBIG);
}

TEST(CStorableMap, DestructorTraceLine) {
  kelpd::testing::LogCapture capture;
  {
    CStorableMap map;
    map.SetTraceLevel(3);
  }
  EXPECT_EQ(capture.Count("CStorableMap::~CStorableMap: 0x"), 1);
  for (const auto& line : capture.Lines()) EXPECT_EQ(line.level, kLevelDebug);
}

}  // namespace
