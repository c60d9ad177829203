#include "local/DirectoryData.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>

#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using kelpd::testing::TempDir;

// A spool directory with the users alice (directory "Alice") and bob, and the
// local domain example.com.
class DirectoryDataTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ResetDirectoryDataForTests();
    spool_ = dir_.MakeDir("spool");
    dir_.MakeDir("spool/Alice");
    dir_.MakeDir("spool/bob");
    ASSERT_TRUE(BuildUserList(spool_));
    ASSERT_TRUE(Domains().Load(dir_.WriteFile("domains", "example.com\nExample.NET\n")));
  }
  void TearDown() override { ResetDirectoryDataForTests(); }

  bool LoadAliases(const std::string& text) {
    return Aliases().Load(dir_.WriteFile("aliases", text));
  }

  // Polls the spool monitor up to polls times, 50 ms apart; inotify queues
  // synchronously, so the first poll normally answers.
  bool MonitorSeesChange(int polls) {
    for (int i = 0; i < polls; ++i) {
      if (UserListMonitorChanged()) return true;
      std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    return false;
  }

  TempDir dir_;
  std::string spool_;
};

TEST_F(DirectoryDataTest, UserListTakesSubdirectoriesLowerCasedAndKeepsTheirRealNames) {
  dir_.MakeDir("spool/.trash");
  dir_.WriteFile("spool/carol", "a plain file is no user");
  ASSERT_TRUE(BuildUserList(spool_));
  EXPECT_EQ(GetUserCount(), 2);
  EXPECT_TRUE(IsUser("alice"));
  EXPECT_FALSE(IsUser("Alice"));  // callers pass lower-case names
  EXPECT_TRUE(IsUser("bob"));
  EXPECT_FALSE(IsUser(".trash"));
  EXPECT_FALSE(IsUser("carol"));
  EXPECT_EQ(UserDirectoryName("alice"), "Alice");
  EXPECT_EQ(UserDirectoryName("bob"), "bob");
  EXPECT_EQ(UserDirectoryName("carol"), "");
}

TEST_F(DirectoryDataTest, OfTwoDirectoriesForOneUserTheLowerCaseOneIsTaken) {
  dir_.MakeDir("spool/BOB");
  ASSERT_TRUE(BuildUserList(spool_));
  EXPECT_EQ(UserDirectoryName("bob"), "bob");
}

TEST_F(DirectoryDataTest, AnUnreadableSpoolDirectoryKeepsTheListAndReportsFailure) {
  EXPECT_FALSE(BuildUserList(dir_.Join("no-such-spool")));
  EXPECT_TRUE(IsUser("alice"));
  EXPECT_TRUE(IsUser("bob"));
  // A rebuild that works again takes the new contents.
  fs::remove_all(dir_.Join("spool/bob"));
  EXPECT_TRUE(BuildUserList(spool_));
  EXPECT_FALSE(IsUser("bob"));
}

TEST_F(DirectoryDataTest, MonitorCountsOnlyChangesOfAUsersPasswordFile) {
  ASSERT_TRUE(CreateUserList(spool_));
  EXPECT_FALSE(UserListMonitorChanged());
  dir_.WriteFile("spool/bob/1.eml", "mail");
  dir_.WriteFile("spool/bob/config", "NextUID: 2\n");
  dir_.WriteFile("spool/password", "not in a user directory");
  dir_.WriteFile("spool/bob/sub/password", "one level too deep");
  EXPECT_FALSE(MonitorSeesChange(20));

  dir_.MakeDir("spool/Dave");
  dir_.WriteFile("spool/Dave/PASSWORD", "secret");
  EXPECT_TRUE(MonitorSeesChange(400));
  EXPECT_FALSE(UserListMonitorChanged());
  ASSERT_TRUE(BuildUserList(spool_));
  EXPECT_EQ(UserDirectoryName("dave"), "Dave");
}

TEST_F(DirectoryDataTest, DomainLookupsIgnoreCaseAndMatchWholeEntries) {
  ASSERT_TRUE(BackupDomains().Load(dir_.WriteFile("backupdomains", "backup.org\n")));
  EXPECT_TRUE(IsLocalDomain("EXAMPLE.com"));
  EXPECT_TRUE(IsLocalDomain("example.net"));
  EXPECT_FALSE(IsLocalDomain("sub.example.com"));
  EXPECT_FALSE(IsLocalDomain("example"));
  EXPECT_FALSE(IsLocalDomain(""));
  EXPECT_TRUE(IsBackupDomain("Backup.ORG"));
  EXPECT_FALSE(IsBackupDomain("example.com"));

  EXPECT_FALSE(IsLocalAddress(""));
  EXPECT_TRUE(IsLocalAddress("anyone"));
  EXPECT_TRUE(IsLocalAddress("x@Example.Com"));
  EXPECT_FALSE(IsLocalAddress("x@elsewhere.org"));
  EXPECT_FALSE(IsLocalAddress("x@elsewhere.org@example.com"));  // the first '@' counts
}

TEST_F(DirectoryDataTest, AliasEntriesAreCheckedAsTheyAreRead) {
  ASSERT_TRUE(
      LoadAliases("x@elsewhere.org: alice\n"   // key outside the local domains
                  "Nobody: ghost\n"            // target neither user nor alias nor address
                  "bob: BOB\n"                 // key equals target
                  "first: alice\n"             // stored
                  "second: first\n"            // one step along the chain: alice
                  "out: someone@remote.org\n"  // an address is stored as it is
                  "Postmaster@EXAMPLE.com: bob\n"));
  EXPECT_EQ(GetFaultyAliasCount(), 3);
  std::string target;
  EXPECT_FALSE(LookupAlias("x@elsewhere.org", target));
  EXPECT_FALSE(LookupAlias("nobody", target));
  ASSERT_TRUE(LookupAlias("second", target));
  EXPECT_EQ(target, "alice");
  ASSERT_TRUE(LookupAlias("out", target));
  EXPECT_EQ(target, "someone@remote.org");
  ASSERT_TRUE(LookupAlias("postmaster@example.com", target));  // keys are stored lower case
  EXPECT_EQ(target, "bob");
  // A key without wildcards is also a pattern, which ignores case.
  ASSERT_TRUE(LookupAlias("Postmaster@EXAMPLE.com", target));

  // Listed the other way round, the chain can't be followed yet.
  ASSERT_TRUE(LoadAliases("second: first\nfirst: alice\n"));
  EXPECT_EQ(GetFaultyAliasCount(), 1);
  EXPECT_FALSE(LookupAlias("second", target));
  ASSERT_TRUE(LookupAlias("first", target));
}

TEST_F(DirectoryDataTest, AnExactAliasBeatsPatternsAndTheLongestPatternWins) {
  ASSERT_TRUE(
      LoadAliases("*@example.com: bob\n"
                  "info@example.com: alice\n"
                  "sales*@example.com: alice\n"
                  "?ales@example.com: carol@remote.org\n"));
  std::string target;
  ASSERT_TRUE(LookupAlias("info@example.com", target));
  EXPECT_EQ(target, "alice");
  ASSERT_TRUE(LookupAlias("sales-eu@example.com", target));
  EXPECT_EQ(target, "alice");
  ASSERT_TRUE(LookupAlias("sales@example.com", target));  // 18 characters beat 17 and 13
  EXPECT_EQ(target, "alice");
  ASSERT_TRUE(LookupAlias("tales@example.com", target));
  EXPECT_EQ(target, "carol@remote.org");
  ASSERT_TRUE(LookupAlias("someone@EXAMPLE.COM", target));  // patterns ignore case
  EXPECT_EQ(target, "bob");
  EXPECT_FALSE(LookupAlias("someone@example.net", target));
  // A recipient that is itself a pattern matches none.
  EXPECT_FALSE(LookupAlias("s*@example.com", target));
  EXPECT_FALSE(LookupAlias("sale?@example.com", target));

  EXPECT_EQ(ResolveLocal("info@example.com"), "alice");
  EXPECT_EQ(ResolveLocal("whoever@example.com"), "bob");
}

TEST_F(DirectoryDataTest, ResolveLocalFallsBackToTheLocalPartAndTheUserList) {
  ASSERT_TRUE(LoadAliases("help: alice\nfwd@example.net: someone@remote.org\n"));
  EXPECT_EQ(ResolveLocal("help@example.com"), "alice");
  EXPECT_EQ(ResolveLocal("help@example.net"), "alice");
  EXPECT_EQ(ResolveLocal("fwd@example.net"), "someone@remote.org");
  EXPECT_EQ(ResolveLocal("bob@example.com"), "bob");
  EXPECT_EQ(ResolveLocal("nobody@example.com"), "");
  EXPECT_EQ(ResolveLocal("bob"), "bob");
  EXPECT_EQ(ResolveLocal("help"), "alice");
  EXPECT_EQ(ResolveLocal("nobody"), "");
}

TEST_F(DirectoryDataTest, PreresolutionLeavesOnlyUsersAndRemoteAddresses) {
  ASSERT_TRUE(
      LoadAliases("ping@example.com: pong@example.com\n"
                  "pong@example.com: ping@example.com\n"
                  "fwd@example.com: alice@example.com\n"
                  "team@example.com: fwd@example.com\n"
                  "gone@example.com: nobody@example.com\n"
                  "out@example.com: someone@remote.org\n"
                  "plain: bob\n"));
  PreresolveAliases();
  std::string target;
  EXPECT_FALSE(LookupAlias("ping@example.com", target));
  EXPECT_FALSE(LookupAlias("pong@example.com", target));
  EXPECT_FALSE(LookupAlias("gone@example.com", target));
  ASSERT_TRUE(LookupAlias("fwd@example.com", target));
  EXPECT_EQ(target, "alice");
  ASSERT_TRUE(LookupAlias("team@example.com", target));
  EXPECT_EQ(target, "alice");
  ASSERT_TRUE(LookupAlias("out@example.com", target));
  EXPECT_EQ(target, "someone@remote.org");
  ASSERT_TRUE(LookupAlias("plain", target));
  EXPECT_EQ(target, "bob");

  // A user that disappeared since the load takes its aliases with it.
  fs::remove_all(dir_.Join("spool/bob"));
  ASSERT_TRUE(BuildUserList(spool_));
  PreresolveAliases();
  EXPECT_FALSE(LookupAlias("plain", target));
}

TEST_F(DirectoryDataTest, LongAliasCyclesEndAndNeverHang) {
  std::string text;
  for (int i = 0; i < 50; ++i)
    text += "a" + std::to_string(i) + "@example.com: a" + std::to_string((i + 1) % 50) +
            "@example.com\n";
  ASSERT_TRUE(LoadAliases(text));
  PreresolveAliases();
  EXPECT_EQ(Aliases().GetCount(), 0);
}

// Pre-resolution picks among patterns exactly as a delivery lookup does:
// the longest matching key, byte order between keys of equal length, the
// domain's catch-all last; and it follows a long chain listed from its end.
TEST_F(DirectoryDataTest, PreresolutionFollowsPatternsAndLongChains) {
  std::string text =
      "*@example.com: alice\n"
      "z?@example.com: carol@remote.org\n"
      "q*@example.com: dave@remote.org\n"
      "*q@example.com: erin@remote.org\n"
      "via-catchall@example.com: nobody-here@example.com\n"
      "via-question@example.com: zx@example.com\n"
      "via-tie@example.com: qq@example.com\n"
      "via-plain@example.com: Link0@Example.com\n";
  // link0 -> link1 -> ... -> link299 -> someone@remote.org, listed so that
  // each pass moves the chain by one link only.
  const int links = 300;
  for (int i = links - 1; i >= 0; --i) {
    std::string target =
        i == links - 1 ? "someone@remote.org" : "link" + std::to_string(i + 1) + "@example.com";
    text += "link" + std::to_string(i) + "@example.com: " + target + "\n";
  }
  ASSERT_TRUE(LoadAliases(text));
  PreresolveAliases();
  std::string target;
  ASSERT_TRUE(LookupAlias("via-catchall@example.com", target));
  EXPECT_EQ(target, "alice");
  ASSERT_TRUE(LookupAlias("via-question@example.com", target));
  EXPECT_EQ(target, "carol@remote.org");
  ASSERT_TRUE(LookupAlias("via-tie@example.com", target));
  EXPECT_EQ(target, "erin@remote.org");  // "*q@..." sorts before "q*@..."
  ASSERT_TRUE(LookupAlias("via-plain@example.com", target));
  EXPECT_EQ(target, "someone@remote.org");  // a key of its own beats the catch-all
  for (int i = 0; i < links; ++i) {
    ASSERT_TRUE(LookupAlias("link" + std::to_string(i) + "@example.com", target)) << i;
    EXPECT_EQ(target, "someone@remote.org") << i;
  }
}

// Lookups remember which keys are patterns; every way of changing the table
// (a store, a removal, a reload, a failed reload) is seen by the next lookup.
TEST_F(DirectoryDataTest, LookupsSeeEveryChangeOfThePatterns) {
  ASSERT_TRUE(LoadAliases("sales*@example.com: alice\n"));
  std::string target;
  ASSERT_TRUE(LookupAlias("sales-eu@example.com", target));
  EXPECT_EQ(target, "alice");
  EXPECT_FALSE(LookupAlias("help-desk@example.com", target));

  Aliases().SetAt("help*@example.com", "bob");
  ASSERT_TRUE(LookupAlias("help-desk@example.com", target));
  EXPECT_EQ(target, "bob");
  Aliases()["sales-eu*@example.com"] = "carol@remote.org";
  ASSERT_TRUE(LookupAlias("sales-eu-2@example.com", target));
  EXPECT_EQ(target, "carol@remote.org");  // the longer pattern
  EXPECT_TRUE(Aliases().RemoveKey("sales-eu*@example.com"));
  ASSERT_TRUE(LookupAlias("sales-eu-2@example.com", target));
  EXPECT_EQ(target, "alice");

  // A key with capitals is matched without regard to case as well.
  Aliases().SetAt("Info@Example.com", "bob");
  ASSERT_TRUE(LookupAlias("info@example.com", target));
  EXPECT_EQ(target, "bob");

  ASSERT_TRUE(LoadAliases("?@example.com: bob\n"));
  EXPECT_FALSE(LookupAlias("sales-eu@example.com", target));
  ASSERT_TRUE(LookupAlias("x@example.com", target));
  EXPECT_EQ(target, "bob");

  // A reload that fails keeps the table, and lookups keep working on it.
  EXPECT_FALSE(Aliases().Load(dir_.Join("missing-aliases")));
  ASSERT_TRUE(LookupAlias("y@example.com", target));
  EXPECT_EQ(target, "bob");
  Aliases().RemoveAll();
  EXPECT_FALSE(LookupAlias("y@example.com", target));
}

TEST(AliasPattern, MatchesWholeTextsWithStarsAndQuestionMarks) {
  EXPECT_TRUE(MatchAliasPattern("*", "anything"));
  EXPECT_TRUE(MatchAliasPattern("*", ""));
  EXPECT_TRUE(MatchAliasPattern("a*b*c", "aXXbYYbc"));
  EXPECT_TRUE(MatchAliasPattern("a?c", "ABC"));
  EXPECT_FALSE(MatchAliasPattern("a?c", "ac"));
  EXPECT_FALSE(MatchAliasPattern("abc", "abcd"));
  EXPECT_FALSE(MatchAliasPattern("*@example.com", "x@example.com.evil"));
  EXPECT_FALSE(MatchAliasPattern("*", "a*b"));
  EXPECT_FALSE(MatchAliasPattern("*", "a?b"));
  // Many stars against a long text that almost matches end quickly.
  std::string pattern(30, '*');
  pattern += "b";
  EXPECT_FALSE(MatchAliasPattern(pattern, std::string(5000, 'a')));
}

TEST_F(DirectoryDataTest, SmarthostAndMasqueradingMapsLoadTheirFiles) {
  ASSERT_TRUE(SmartHosts().Load(dir_.WriteFile("smarthosts", "remote.org: relay.example.net\n")));
  EXPECT_EQ(SmartHosts().GetString("remote.org"), "relay.example.net");
  ASSERT_TRUE(Masquerading().Load(dir_.WriteFile("mask", "alice: a@example.com\n")));
  EXPECT_EQ(Masquerading().GetString("alice"), "a@example.com");
}

}  // namespace
