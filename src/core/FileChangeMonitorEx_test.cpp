#include "core/FileChangeMonitorEx.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <vector>

#include "base/Text.h"
#include "config/StorableMap.h"
#include "core/ChangeNotification.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
namespace platform = kelpd::platform;
using kelpd::testing::LogCapture;
using kelpd::testing::TempDir;

constexpr uint32_t kConfigFilter = platform::kNotifyFileName | platform::kNotifyLastWrite;
constexpr uint32_t kSpoolFilter = platform::kNotifyFileName | platform::kNotifyDirName |
                                  platform::kNotifyLastWrite | platform::kNotifyCreation;

TEST(CChangeNotification, ASaveInTheDirectoryIsSeenOnce) {
  TempDir dir;
  std::string path = dir.WriteFile("aliases", "a: b\n");
  CStorableMap map;
  ASSERT_TRUE(map.Load(path));
  CChangeNotification monitor;
  monitor.Create(dir.path(), false, kConfigFilter);
  ASSERT_TRUE(monitor.IsValid());
  EXPECT_FALSE(monitor.HasChanged());
  map.SetAt("c", "d");
  ASSERT_TRUE(map.Save());
  EXPECT_TRUE(monitor.HasChanged());
  EXPECT_FALSE(monitor.HasChanged());
  // Reading a file is no change.
  std::string text = kelpd::testing::ReadFile(path);
  EXPECT_FALSE(monitor.HasChanged());
  // Without subtree, a change in a subdirectory is not seen.
  dir.MakeDir("sub");
  EXPECT_TRUE(monitor.HasChanged());  // the new directory's name is
  dir.WriteFile("sub/file", "x");
  EXPECT_FALSE(monitor.HasChanged());
}

TEST(CChangeNotification, MissingDirectoryLogsTwiceAndNeverReportsAChange) {
  TempDir dir;
  std::string missing = dir.Join("config");
  LogCapture capture;
  CChangeNotification monitor;
  monitor.Create(missing, false, kConfigFilter);
  EXPECT_FALSE(monitor.IsValid());
  auto lines = capture.Lines();
  ASSERT_EQ(lines.size(), 2u) << capture.All();
  EXPECT_EQ(lines[0].level, kLevelError);
  EXPECT_EQ(lines[0].text.find("FindFirstChangeNotification in Common\\FileChangeMonitor:"), 0u);
  EXPECT_NE(lines[0].text.find(" on \"" + missing + "\" failed, error-code: 0x00000002"),
            std::string::npos)
      << lines[0].text;
  EXPECT_EQ(lines[1].level, kLevelWarning);
  EXPECT_EQ(lines[1].text, "unable to monitor file-system-changes");
  dir.MakeDir("config");
  dir.WriteFile("config/kelpd.cfg", "A: 1\n");
  EXPECT_FALSE(monitor.HasChanged());
}

// Counts only a mailbox's password file, as the user list does: the text
// behind the first '/' of the record's name is "password" in any case.
class PasswordMonitor : public CFileChangeMonitorEx {
 public:
  int records = 0;
  bool OnChange(const Record& record) override {
    ++records;
    size_t slash = record.name.find('/');
    return slash != std::string::npos &&
           kelpd::text::EqualsNoCase(record.name.substr(slash + 1), "password");
  }
};

TEST(CFileChangeMonitorEx, OnChangeDecidesWhatCountsAlsoInNewSubdirectories) {
  TempDir dir;
  dir.MakeDir("alice");
  PasswordMonitor monitor;
  ASSERT_TRUE(monitor.Create(dir.path(), kSpoolFilter, true));
  EXPECT_FALSE(monitor.HasChanged());

  // A burst of other changes: offered to OnChange, none counts.
  for (int i = 0; i < 50; ++i) dir.WriteFile("alice/" + std::to_string(i) + ".eml", "mail");
  dir.WriteFile("alice/config", "NextUID: 51\n");
  dir.WriteFile("notes", "x");
  EXPECT_FALSE(monitor.HasChanged());
  EXPECT_GT(monitor.records, 50);

  // One matching record among others.
  dir.WriteFile("alice/52.eml", "mail");
  dir.WriteFile("alice/Password", "secret");
  dir.WriteFile("alice/53.eml", "mail");
  EXPECT_TRUE(monitor.HasChanged());
  EXPECT_FALSE(monitor.HasChanged());

  // A user directory made after the monitor started, with its password file
  // written before the next poll.
  dir.MakeDir("bob");
  dir.WriteFile("bob/password", "secret");
  EXPECT_TRUE(monitor.HasChanged());
  // And later changes inside it are seen too.
  dir.WriteFile("bob/1.eml", "mail");
  EXPECT_FALSE(monitor.HasChanged());
  dir.WriteFile("bob/password", "changed");
  EXPECT_TRUE(monitor.HasChanged());
  // A nested directory: only "<user>/password" counts.
  dir.MakeDir("carol/inbox");
  dir.WriteFile("carol/inbox/password", "x");
  EXPECT_FALSE(monitor.HasChanged());
}

class RecordingMonitor : public CFileChangeMonitorEx {
 public:
  std::vector<Record> seen;
  bool OnChange(const Record& record) override {
    seen.push_back(record);
    return false;
  }
};

TEST(CFileChangeMonitorEx, RecordNamesAreRelativeWithSlashes) {
  TempDir dir;
  RecordingMonitor monitor;
  ASSERT_TRUE(monitor.Create(dir.path() + "/", kSpoolFilter, true));
  dir.MakeDir("a/b");
  dir.WriteFile("a/b/c.txt", "x");
  EXPECT_FALSE(monitor.HasChanged());
  bool found = false;
  for (const auto& r : monitor.seen) {
    EXPECT_EQ(r.name.find(dir.path()), std::string::npos) << r.name;
    if (r.name == "a/b/c.txt" && r.action == platform::kActionAdded) found = true;
  }
  EXPECT_TRUE(found);
  monitor.seen.clear();
  fs::rename(dir.Join("a/b/c.txt"), dir.Join("a/d.txt"));
  fs::remove(dir.Join("a/d.txt"));
  monitor.HasChanged();
  std::vector<std::pair<uint32_t, std::string>> got;
  for (const auto& r : monitor.seen) got.emplace_back(r.action, r.name);
  std::vector<std::pair<uint32_t, std::string>> want = {
      {platform::kActionRenamedOldName, "a/b/c.txt"},
      {platform::kActionRenamedNewName, "a/d.txt"},
      {platform::kActionRemoved, "a/d.txt"}};
  EXPECT_EQ(got, want);
}

TEST(CFileChangeMonitorEx, SecondCreateLogsAndKeepsTheFirstWatch) {
  TempDir dir;
  std::string other = dir.MakeDir("other");
  CFileChangeMonitorEx monitor;
  ASSERT_TRUE(monitor.Create(dir.path(), kSpoolFilter, false));
  LogCapture capture;
  EXPECT_FALSE(monitor.Create(other, kSpoolFilter, false));
  auto lines = capture.Lines();
  ASSERT_EQ(lines.size(), 1u);
  EXPECT_TRUE(std::regex_match(
      lines[0].text,
      std::regex(R"(CFileChangeMonitorEx in Common\\FileChangeMonitor:\d+ already created)")));
  dir.WriteFile("x", "1");
  EXPECT_TRUE(monitor.HasChanged());
  // Closed and created again on another directory.
  monitor.Close();
  EXPECT_FALSE(monitor.HasChanged());
  ASSERT_TRUE(monitor.Create(other, kSpoolFilter, false));
  dir.WriteFile("y", "1");
  EXPECT_FALSE(monitor.HasChanged());
  dir.WriteFile("other/z", "1");
  EXPECT_TRUE(monitor.HasChanged());
}

TEST(CFileChangeMonitorEx, MissingDirectoryFailsAndNeverReportsAChange) {
  TempDir dir;
  LogCapture capture;
  CFileChangeMonitorEx monitor;
  EXPECT_FALSE(monitor.Create(dir.Join("spool"), kSpoolFilter, true));
  ASSERT_EQ(capture.Lines().size(), 1u);
  EXPECT_EQ(capture.Count("CreateFile in Common\\FileChangeMonitor:"), 1);
  EXPECT_EQ(capture.Count("on \"" + dir.Join("spool") + "\" failed, error-code: 0x00000002"), 1);
  dir.MakeDir("spool/alice");
  EXPECT_FALSE(monitor.HasChanged());
}

TEST(CFileChangeMonitorEx, QueueOverflowCountsAsAChange) {
  TempDir dir;
  RecordingMonitor monitor;  // counts no record
  ASSERT_TRUE(monitor.Create(dir.path(), kSpoolFilter, false));
  // More events than the kernel queues by default (16384): create and remove
  // files until it overflows, bounded in count.
  std::string path = dir.Join("f");
  for (int i = 0; i < 10000; ++i) {
    std::ofstream(path + std::to_string(i % 64)) << "x";
    fs::remove(path + std::to_string(i % 64));
  }
  EXPECT_TRUE(monitor.HasChanged());
}

}  // namespace
