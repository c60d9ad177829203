// The companion programs with the real kelpd: kelpd-submit hands mail to the
// running agent, autoresp.exe returns given-up mail and answers for a mailbox.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "fakes/ScriptedSmtpServer.h"
#include "mail/Mail.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

extern char** environ;

namespace {

using kelpd::testing::ReadFile;
using kelpd::testing::RunChild;
using kelpd::testing::ScriptedConnection;
using kelpd::testing::ScriptedSmtpServer;

// The agent's directories and configuration in a temporary directory.
struct CompanionTree {
  CompanionTree()
      : config(tmp.MakeDir("config")),
        lock(tmp.MakeDir("lock")),
        queue(tmp.MakeDir("queue")),
        spool(tmp.MakeDir("spool")),
        error(tmp.MakeDir("error")),
        outgoing(tmp.MakeDir("outgoing")),
        filtered(tmp.MakeDir("filtered")) {}
  const std::string& root() const { return tmp.path(); }
  std::string DirectoryLines() const {
    return "QueueDir:\t" + queue + "\nSpoolDir:\t" + spool + "\nErrorDir:\t" + error +
           "\nOutgoingDir:\t" + outgoing + "\nFilterDir:\t" + filtered + "\n";
  }
  void WriteConfigFile(const std::string& name, const std::string& contents) const {
    tmp.WriteFile("config/" + name, contents);
  }
  // A mailbox: its directory, "password" (which makes it a user) and "config".
  std::string AddUser(const std::string& name,
                      const std::string& settings = "NextUID:\t1\n") const {
    tmp.WriteFile("spool/" + name + "/password", "secret\n");
    tmp.WriteFile("spool/" + name + "/config", settings);
    return spool + "/" + name;
  }

  kelpd::testing::TempDir tmp;
  std::string config, lock, queue, spool, error, outgoing, filtered;
};

// The names in dir, dot files left out.
std::vector<std::string> VisibleNames(const std::string& dir) {
  std::vector<std::string> names;
  std::error_code ec;
  for (const auto& entry : std::filesystem::directory_iterator(dir, ec)) {
    const std::string name = entry.path().filename().string();
    if (!name.empty() && name[0] != '.') names.push_back(name);
  }
  std::sort(names.begin(), names.end());
  return names;
}

std::string DirOf(const std::string& path) { return path.substr(0, path.rfind('/')); }

// kelpd -debug on a mail tree, its console output in a file; stopped with
// SIGINT (the console stop) when the test ends.
class RunningKelpd {
 public:
  explicit RunningKelpd(const CompanionTree& tree) : log_(tree.root() + "/kelpd.log") {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
      const std::string entry = *e;
      const std::string name = entry.substr(0, entry.find('='));
      if (name == "MAILCONFIGDIR" || name == "MAILLOCKDIR" || name == "PATH" ||
          name == "NOTIFY_SOCKET")
        continue;
      env.push_back(entry);
    }
    env.push_back("MAILCONFIGDIR=" + tree.config);
    env.push_back("MAILLOCKDIR=" + tree.lock);
    // The agent finds autoresp.exe beside itself or on PATH.
    env.push_back("PATH=" + DirOf(KELPD_AUTORESP_BINARY) + ":/usr/bin:/bin");
    std::vector<char*> envp;
    for (std::string& s : env) envp.push_back(s.data());
    envp.push_back(nullptr);
    std::string program = KELPD_BINARY, debug = "-debug";
    char* argv[] = {program.data(), debug.data(), nullptr};
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&actions, 1, log_.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    posix_spawn_file_actions_addopen(&actions, 2, log_.c_str(), O_WRONLY | O_CREAT | O_APPEND,
                                     0644);
    if (::posix_spawn(&pid_, argv[0], &actions, nullptr, argv, envp.data()) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~RunningKelpd() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGINT);
    int status = 0;
    for (int i = 0; i < 400; ++i) {  // at most 40 s
      if (::waitpid(pid_, &status, WNOHANG) == pid_) return;
      std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    ::kill(pid_, SIGKILL);
    ::waitpid(pid_, &status, 0);
  }
  bool started() const { return pid_ > 0; }
  std::string Log() const { return ReadFile(log_); }

 private:
  std::string log_;
  pid_t pid_ = -1;
};

// Polls until done() or the time is up (bounded).
bool WaitFor(const std::function<bool()>& done, std::chrono::seconds limit) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (done()) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  return done();
}

std::vector<std::string> Mails(const std::string& dir) {
  std::vector<std::string> out;
  for (const std::string& name : VisibleNames(dir))
    if (name.size() > 4 && name.compare(name.size() - 4, 4, ".eml") == 0)
      out.push_back(dir + "/" + name);
  return out;
}

CMail Load(const std::string& path) {
  CMail mail;
  kelpd::platform::FileError err;
  EXPECT_TRUE(mail.Load(path, err, false)) << path;
  return mail;
}

class CompanionsWithKelpd : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("MAILCONFIGDIR", tree_.config.c_str(), 1);
    ::setenv("MAILLOCKDIR", tree_.lock.c_str(), 1);
    tree_.WriteConfigFile("domains", "demo.example\n");
    tree_.WriteConfigFile("backupdomains", "");
    tree_.WriteConfigFile("aliases", "");
    tree_.WriteConfigFile("filters", "");
    alice_ = tree_.AddUser("alice");
    bob_ = tree_.AddUser("bob");
    carol_ = tree_.AddUser("carol");
  }
  void TearDown() override {
    ::unsetenv("MAILCONFIGDIR");
    ::unsetenv("MAILLOCKDIR");
  }
  void Config(const std::string& extra) {
    tree_.WriteConfigFile("kelpd.cfg", tree_.DirectoryLines() +
                                           "FQDN:\tmail.demo.example\n"
                                           "Scripts.Execution.Parallel:\t0\n" +
                                           extra);
  }
  int Submit(const std::vector<std::string>& args, const std::string& message) {
    std::vector<std::string> argv{KELPD_SUBMIT_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    const auto r = RunChild(argv, message);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return r.exit_code;
  }

  CompanionTree tree_;
  std::string alice_, bob_, carol_;
};

TEST_F(CompanionsWithKelpd, SubmittedMailReachesThreeMailboxes) {
  Config("AutoTransport:\t0\n");
  RunningKelpd kelpd(tree_);
  ASSERT_TRUE(kelpd.started());
  Submit({"-f", "dave@far.example", "alice@demo.example", "bob@demo.example", "carol@demo.example"},
         "From: Dave <dave@far.example>\nSubject: Three of you\n\nHello all.\n.\n");
  for (const std::string& box : {alice_, bob_, carol_}) {
    ASSERT_TRUE(WaitFor([&] { return Mails(box).size() == 1; }, std::chrono::seconds(20)))
        << box << "\n"
        << kelpd.Log();
    const CMail mail = Load(Mails(box)[0]);
    EXPECT_EQ(mail.GetSubject(), "Three of you");
    EXPECT_EQ(mail.GetSender(), "dave@far.example");
    EXPECT_NE(mail.BodyView().find("Hello all.\r\n..\r\n"), std::string::npos);
  }
  EXPECT_TRUE(WaitFor([&] { return Mails(tree_.queue).empty(); }, std::chrono::seconds(10)));
}

TEST_F(CompanionsWithKelpd, AutoReplyOnceADay) {
  Config("AutoTransport:\t0\n");
  tree_.AddUser("bob", "NextUID:\t1\nRunReply:\t1\nRunReplyTemplate:\treply.txt\n");
  tree_.tmp.WriteFile("spool/bob/reply.txt",
                      "Subject: Away until Monday\nI read mail on Monday.\n");
  RunningKelpd kelpd(tree_);
  ASSERT_TRUE(kelpd.started());
  Submit({"-f", "carol@demo.example", "bob@demo.example"},
         "Subject: Lunch?\nMessage-ID: <lunch-1@demo.example>\n\nAt noon?\n");
  ASSERT_TRUE(WaitFor([&] { return Mails(carol_).size() == 1; }, std::chrono::seconds(20)))
      << kelpd.Log();
  const CMail reply = Load(Mails(carol_)[0]);
  EXPECT_EQ(reply.GetSubject(), "Away until Monday");
  EXPECT_EQ(reply.GetSender(), "");
  EXPECT_EQ(reply.m_strInReplyTo, "<lunch-1@demo.example>");
  EXPECT_NE(reply.BodyView().find("I read mail on Monday."), std::string::npos);

  // A second mail of the same day: delivered, and no second reply.
  Submit({"-f", "carol@demo.example", "bob@demo.example"}, "Subject: Or dinner?\n\nTonight?\n");
  ASSERT_TRUE(WaitFor([&] { return Mails(bob_).size() == 2; }, std::chrono::seconds(20)))
      << kelpd.Log();
  ASSERT_TRUE(WaitFor([&] { return Mails(tree_.queue).empty(); }, std::chrono::seconds(10)));
  std::this_thread::sleep_for(std::chrono::seconds(3));
  EXPECT_EQ(Mails(carol_).size(), 1u) << kelpd.Log();
}

// A host that refuses every recipient for good.
void RefuseRecipients(ScriptedConnection& c, int) {
  c.Send("220 far.example ESMTP\r\n");
  for (int i = 0; i < 20; ++i) {
    const std::string line = c.ReadLine(10000);
    if (line.empty()) return;
    const std::string verb = line.substr(0, 4);
    if (verb == "EHLO" || verb == "HELO" || verb == "ehlo" || verb == "helo") {
      c.Send("250 far.example\r\n");
    } else if (verb == "RCPT" || verb == "rcpt") {
      c.Send("550 5.1.1 <dave@far.example>: no such user\r\n");
    } else if (verb == "QUIT" || verb == "quit") {
      c.Send("221 bye\r\n");
      return;
    } else {
      c.Send("250 ok\r\n");
    }
  }
}

TEST_F(CompanionsWithKelpd, GivenUpMailsNoticeReachesTheSender) {
  ScriptedSmtpServer far(RefuseRecipients, 4);
  Config("AutoTransport:\t1\nAutoTransport.Threads:\t1\nBounce.Attachment:\t1\n");
  tree_.WriteConfigFile("smarthosts",
                        "far.example:\t127.0.0.1:" + std::to_string(far.port()) + "\n");
  RunningKelpd kelpd(tree_);
  ASSERT_TRUE(kelpd.started());
  Submit({"-f", "carol@demo.example", "dave@far.example"},
         "From: Carol <carol@demo.example>\nSubject: Figures\nMessage-ID: "
         "<fig-1@demo.example>\n\nQ3.\n");
  ASSERT_TRUE(WaitFor([&] { return Mails(carol_).size() == 1; }, std::chrono::seconds(60)))
      << kelpd.Log();
  const CMail notice = Load(Mails(carol_)[0]);
  EXPECT_EQ(notice.GetSender(), "");
  EXPECT_EQ(notice.GetSubject(), "Returned mail: see transcript for details");
  EXPECT_NE(notice.m_strContentType.find("multipart/report"), std::string::npos);
  EXPECT_NE(notice.BodyView().find("550 5.1.1"), std::string::npos);
  EXPECT_NE(notice.BodyView().find("Message-ID: <fig-1@demo.example>"), std::string::npos);
  // The given-up mail and its report are gone from the outgoing directory.
  EXPECT_TRUE(
      WaitFor([&] { return VisibleNames(tree_.outgoing).empty(); }, std::chrono::seconds(10)))
      << kelpd.Log();
}

}  // namespace
