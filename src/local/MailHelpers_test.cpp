#include "local/MailHelpers.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "local/DirectoryData.h"
#include "mail/Mail.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

namespace {

namespace fs = std::filesystem;
using kelpd::testing::LogCapture;
using kelpd::testing::ReadFile;
using kelpd::testing::TempDir;
using Clock = std::chrono::steady_clock;

// Writes an executable helper script.
std::string WriteScript(const TempDir& dir, const std::string& name, const std::string& body) {
  std::string path = dir.WriteFile(name, "#!/bin/sh\n" + body);
  fs::permissions(path, fs::perms::owner_all);
  return path;
}

// Waits up to twenty seconds for path to exist with contents ending in a line feed.
std::string WaitForFile(const std::string& path) {
  for (int i = 0; i < 2000; ++i) {
    std::string text = ReadFile(path);
    if (!text.empty() && text.back() == '\n') return text;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return ReadFile(path);
}

// Whether the process still has an entry, zombies included.
bool ProcessExists(const std::string& pid) { return fs::exists("/proc/" + pid); }

bool ProcessGoneWithin(const std::string& pid, int ms) {
  for (int i = 0; i < ms / 10; ++i) {
    if (!ProcessExists(pid)) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return !ProcessExists(pid);
}

std::string Trimmed(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
  return text;
}

// Sets an environment variable for one test and restores it.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value) : name_(name) {
    const char* old = std::getenv(name);
    had_ = old != nullptr;
    if (had_) old_ = old;
    ::setenv(name, value.c_str(), 1);
  }
  ~ScopedEnv() {
    if (had_)
      ::setenv(name_, old_.c_str(), 1);
    else
      ::unsetenv(name_);
  }

 private:
  const char* name_;
  bool had_ = false;
  std::string old_;
};

class FiltersTest : public ::testing::Test {
 protected:
  void SetUp() override { ResetDirectoryDataForTests(); }
  void TearDown() override { ResetDirectoryDataForTests(); }
  TempDir dir_;
};

TEST_F(FiltersTest, SubjectAndBodyAreSearchedWithoutRegardToCase) {
  ASSERT_TRUE(Filters().Load(dir_.WriteFile("filters", "FREE Money\nviagra\n")));
  CMail mail;
  mail.m_strSubject = "get free money now";
  std::string reason;
  ASSERT_TRUE(MatchFilters(mail, reason));
  EXPECT_EQ(reason, "free money");

  mail.m_strSubject = "hello";
  ASSERT_TRUE(mail.SetBody("Cheap VIAGRA here\r\n"));
  ASSERT_TRUE(MatchFilters(mail, reason));
  EXPECT_EQ(reason, "viagra");

  ASSERT_TRUE(mail.SetBody("nothing to see\r\n"));
  reason = "unchanged";
  EXPECT_FALSE(MatchFilters(mail, reason));
  EXPECT_EQ(reason, "unchanged");
}

TEST_F(FiltersTest, OnlyTheFirst10240BytesOfTheBodyCount) {
  ASSERT_TRUE(Filters().Load(dir_.WriteFile("filters", "spamword\n")));
  CMail mail;
  std::string reason;
  // Ends exactly at byte 10,240: found.
  ASSERT_TRUE(mail.SetBody(std::string(10240 - 8, 'x') + "spamword"));
  EXPECT_TRUE(MatchFilters(mail, reason));
  // Straddles the limit: not found.
  ASSERT_TRUE(mail.SetBody(std::string(10240 - 7, 'x') + "spamword"));
  EXPECT_FALSE(MatchFilters(mail, reason));
  ASSERT_TRUE(mail.SetBody(std::string(20000, 'x') + "spamword"));
  EXPECT_FALSE(MatchFilters(mail, reason));
}

TEST(ArrivalScript, NoScriptStartsNothingAndLogsNothing) {
  TempDir dir;
  LogCapture log;
  EXPECT_TRUE(RunArrivalScript(dir.path(), "1.eml", false));
  EXPECT_TRUE(log.Lines().empty()) << log.All();
}

TEST(ArrivalScript, WaitedForScriptFinishesBeforeTheCallReturns) {
  TempDir dir;
  // The script is slow on purpose: the caller must still see its output.
  WriteScript(dir, "onarrival.cmd", "sleep 0.3\necho \"$#|$1|$(pwd)\" > done.txt\n");
  LogCapture log;
  ASSERT_TRUE(RunArrivalScript(dir.path(), "1.eml", false));
  EXPECT_EQ(Trimmed(ReadFile(dir.Join("done.txt"))),
            "1|" + dir.Join("1.eml") + "|" + fs::canonical(dir.path()).string());
  auto lines = log.Lines();
  ASSERT_EQ(lines.size(), 2u) << log.All();
  EXPECT_EQ(lines[0].text, "postprocessing-script for \"1.eml\" started");
  EXPECT_EQ(lines[1].text, "postprocessing-script for \"1.eml\" finished");
}

TEST(ArrivalScript, ParallelScriptOnlyLogsItsStartAndLeavesNoZombie) {
  TempDir dir;
  WriteScript(dir, "onarrival.cmd", "echo $$ > pid.txt\n");
  LogCapture log;
  ASSERT_TRUE(RunArrivalScript(dir.path(), "", true));
  EXPECT_EQ(log.Count("started"), 1);
  EXPECT_EQ(log.Count("postprocessing-script for \"\" started"), 1);
  EXPECT_EQ(log.Count("finished"), 0);
  std::string pid = Trimmed(WaitForFile(dir.Join("pid.txt")));
  ASSERT_FALSE(pid.empty());
  EXPECT_TRUE(ProcessGoneWithin(pid, 5000)) << "process " << pid << " left behind";
}

TEST(ArrivalScript, PathsWithBlanksAndQuotesReachTheScriptAsOneArgument) {
  TempDir base;
  const std::string name = "mail box \"q\" $HOME";
  std::string dir = base.MakeDir(name);
  WriteScript(base, name + "/onarrival.cmd", "printf '%s\\n' \"$#\" \"$1\" > args.txt\n");
  ASSERT_TRUE(RunArrivalScript(dir, "a b\"c;$(x).eml", false));
  EXPECT_EQ(ReadFile(dir + "/args.txt"), "1\n" + dir + "/a b\"c;$(x).eml\n");
}

// Directories configured relative to the service's working directory: the
// script and the path it is given are resolved before the script changes
// into its directory.
TEST(ArrivalScript, RelativeDirectoriesAreResolvedBeforeTheScriptStarts) {
  TempDir base;
  base.WriteFile("spool/alice/1.eml", "mail\n");
  WriteScript(base, "spool/alice/onarrival.cmd", "cat \"$1\" > copy.txt\n");
  const fs::path old_cwd = fs::current_path();
  fs::current_path(base.path());
  LogCapture log;
  const bool started = RunArrivalScript("spool/alice", "1.eml", false);
  fs::current_path(old_cwd);
  EXPECT_TRUE(started) << log.All();
  EXPECT_EQ(ReadFile(base.Join("spool/alice/copy.txt")), "mail\n");
}

TEST(ArrivalScript, AScriptThatCannotBeStartedIsLogged) {
  TempDir dir;
  dir.WriteFile("onarrival.cmd", "not executable");
  LogCapture log;
  EXPECT_FALSE(RunArrivalScript(dir.path(), "1.eml", false));
  EXPECT_EQ(log.Count("CreateProcess in Common\\MailHlpr:"), 1) << log.All();
  EXPECT_EQ(log.Count("for \"" + dir.Join("onarrival.cmd") + "\" failed, error = 13"), 1)
      << log.All();
  EXPECT_EQ(log.Count("started"), 0);
}

TEST(HelperPrograms, TaggerAndResponderAreFoundOnAbsolutePathEntriesOnly) {
  TempDir bin, mailbox;
  WriteScript(bin, "junkscan.exe", "printf '%s\\n' \"$@\" \"$(pwd)\" > tagged.txt\n");
  WriteScript(bin, "autoresp.exe", "printf '%s\\n' \"$@\" > replied.txt\n");
  // A program of the same name in the mailbox must never be the one started.
  WriteScript(mailbox, "junkscan.exe", "echo wrong > wrong.txt\n");
  ScopedEnv path("PATH", ".:relative/bin::" + bin.path());
  ASSERT_TRUE(RunSpamTagger(mailbox.path(), "7.eml", false));
  EXPECT_EQ(ReadFile(mailbox.Join("tagged.txt")),
            mailbox.Join("7.eml") + "\n-tag\n-s\n" + fs::canonical(mailbox.path()).string() + "\n");
  EXPECT_FALSE(fs::exists(mailbox.Join("wrong.txt")));

  ASSERT_TRUE(RunAutoResponder(mailbox.path(), "7.eml", "reply.txt", "/queue/r_7.eml", false));
  EXPECT_EQ(ReadFile(mailbox.Join("replied.txt")), mailbox.Join("7.eml") + "\n-t\n" +
                                                       mailbox.Join("reply.txt") +
                                                       "\n-o\n/queue/r_7.eml\n-k\n-s\n");
}

TEST(HelperPrograms, AMissingTaggerIsLoggedWithItsPathInTheConfigurationDirectory) {
  TempDir mailbox;
  ScopedEnv path("PATH", "/nonexistent-kelpd-bin");
  ScopedEnv config("MAILCONFIGDIR", "/etc/zelvane");
  LogCapture log;
  EXPECT_FALSE(RunSpamTagger(mailbox.path(), "7.eml", false));
  EXPECT_EQ(log.Count("for \"/etc/zelvane/junkscan.exe\" failed, error = 2"), 1) << log.All();
}

TEST(HelperPrograms, CandidatesAreTheOwnDirectoryThenAbsolutePathEntries) {
  ScopedEnv path("PATH", "/usr/bin:bin::.:/opt/x/");
  auto candidates = ProgramCandidates("autoresp.exe");
  ASSERT_EQ(candidates.size(), 3u);
  EXPECT_EQ(fs::path(candidates[0]).filename(), "autoresp.exe");
  EXPECT_TRUE(fs::path(candidates[0]).is_absolute());
  EXPECT_EQ(candidates[1], "/usr/bin/autoresp.exe");
  EXPECT_EQ(candidates[2], "/opt/x/autoresp.exe");
  EXPECT_EQ(ProgramCandidates("/abs/prog"), std::vector<std::string>{"/abs/prog"});
}

TEST(RunProgram, SplitsTheCommandLineAtBlanksOutsideQuotes) {
  EXPECT_EQ(SplitCommandLine("autoresp.exe \"/a b/c.eml\" -t \"/x.err\"  -s -o"),
            (std::vector<std::string>{"autoresp.exe", "/a b/c.eml", "-t", "/x.err", "-s", "-o"}));
  EXPECT_EQ(SplitCommandLine("prog \"\" x"), (std::vector<std::string>{"prog", "", "x"}));
  EXPECT_TRUE(SplitCommandLine("   ").empty());
}

TEST(RunProgram, ReturnsTheExitCodeOrMinusOneWhenNotStarted) {
  TempDir dir;
  std::string prog =
      WriteScript(dir, "exit7", "printf '%s\\n' \"$@\" > \"$(dirname \"$0\")/args\"\nexit 7\n");
  EXPECT_EQ(RunProgram("\"" + prog + "\" \"one two\" three", 10000), 7);
  EXPECT_EQ(ReadFile(dir.Join("args")), "one two\nthree\n");
  EXPECT_EQ(RunProgram("\"" + dir.Join("missing") + "\" x", 10000), -1);
  EXPECT_EQ(RunProgram("", 10000), -1);
}

TEST(RunProgram, KillsAChildThatOutlivesItsLimit) {
  TempDir dir;
  std::string prog =
      WriteScript(dir, "slow", "echo $$ > \"$(dirname \"$0\")/pid\"\nexec sleep 30\n");
  auto start = Clock::now();
  EXPECT_EQ(RunProgram(prog, 300), -1);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(10));
  std::string pid = Trimmed(ReadFile(dir.Join("pid")));
  ASSERT_FALSE(pid.empty());
  EXPECT_FALSE(ProcessExists(pid));
}

}  // namespace
