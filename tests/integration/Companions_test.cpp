// The companion programs with the real kelpd: kelpd-submit hands mail to the
// running agent, autoresp.exe returns given-up mail and answers for a mailbox.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <string>
#include <vector>

#include "fakes/ScriptedSmtpServer.h"
#include "mail/Mail.h"
#include "support/ChildProcess.h"
#include "support/MailParts.h"
#include "support/ServiceTree.h"
#include "support/WaitFor.h"

namespace {

using kelpd::testing::EmlPaths;
using kelpd::testing::ListNames;
using kelpd::testing::RunChild;
using kelpd::testing::ScriptedConnection;
using kelpd::testing::ScriptedSmtpServer;
using kelpd::testing::ServiceTree;
using kelpd::testing::ServiceTreeOptions;
using kelpd::testing::WaitFor;
using namespace std::chrono_literals;

CMail Load(const std::string& path) {
  CMail mail;
  kelpd::platform::FileResult err;
  EXPECT_TRUE(mail.Load(path, err, false)) << path;
  return mail;
}

ServiceTreeOptions CompanionOptions() {
  ServiceTreeOptions options;
  options.binary = KELPD_BINARY;
  options.users = {"alice", "bob", "carol"};
  options.domains = {"demo.example"};
  options.debug_mode = true;
  return options;
}

// kelpd -debug on a tree of its own; the companion programs run in the
// test with the same configuration and lock directories.
class CompanionsWithKelpd : public ::testing::Test {
 protected:
  CompanionsWithKelpd() : tree_(CompanionOptions()) {}
  void SetUp() override {
    ::setenv("MAILCONFIGDIR", tree_.config_dir().c_str(), 1);
    ::setenv("MAILLOCKDIR", tree_.lock_dir().c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("MAILCONFIGDIR");
    ::unsetenv("MAILLOCKDIR");
  }
  void StartKelpd(const std::vector<std::string>& extra) {
    std::vector<std::string> settings = {"FQDN:\tmail.demo.example",
                                         "Scripts.Execution.Parallel:\t0"};
    settings.insert(settings.end(), extra.begin(), extra.end());
    tree_.WriteConfiguration(settings);
    std::string error;
    ASSERT_TRUE(tree_.Start(&error)) << error;
    ASSERT_TRUE(tree_.WaitOperational(20s)) << tree_.Log();
  }
  int Submit(const std::vector<std::string>& args, const std::string& message) {
    std::vector<std::string> argv{KELPD_SUBMIT_BINARY};
    argv.insert(argv.end(), args.begin(), args.end());
    const auto r = RunChild(argv, message);
    EXPECT_EQ(r.exit_code, 0) << r.err;
    return r.exit_code;
  }
  std::string Mailbox(const std::string& user) const { return tree_.spool_dir() + "/" + user; }

  ServiceTree tree_;
  const std::string alice_ = Mailbox("alice"), bob_ = Mailbox("bob"), carol_ = Mailbox("carol");
};

TEST_F(CompanionsWithKelpd, SubmittedMailReachesThreeMailboxes) {
  StartKelpd({"AutoTransport:\t0"});
  Submit({"-f", "dave@far.example", "alice@demo.example", "bob@demo.example", "carol@demo.example"},
         "From: Dave <dave@far.example>\nSubject: Three of you\n\nHello all.\n.\n");
  for (const std::string& box : {alice_, bob_, carol_}) {
    ASSERT_TRUE(WaitFor([&] { return EmlPaths(box).size() == 1; }, 20s)) << box << "\n"
                                                                         << tree_.Log();
    const CMail mail = Load(EmlPaths(box)[0]);
    EXPECT_EQ(mail.GetSubject(), "Three of you");
    EXPECT_EQ(mail.GetSender(), "dave@far.example");
    EXPECT_NE(mail.BodyView().find("Hello all.\r\n..\r\n"), std::string::npos);
  }
  EXPECT_TRUE(tree_.WaitQueueEmpty(10s));
}

TEST_F(CompanionsWithKelpd, AutoReplyOnceADay) {
  tree_.AddUser("bob", "NextUID:\t1\nRunReply:\t1\nRunReplyTemplate:\treply.txt\n");
  tree_.WriteFile("spool/bob/reply.txt", "Subject: Away until Monday\nI read mail on Monday.\n");
  StartKelpd({"AutoTransport:\t0"});
  Submit({"-f", "carol@demo.example", "bob@demo.example"},
         "Subject: Lunch?\nMessage-ID: <lunch-1@demo.example>\n\nAt noon?\n");
  ASSERT_TRUE(WaitFor([&] { return EmlPaths(carol_).size() == 1; }, 20s)) << tree_.Log();
  const CMail reply = Load(EmlPaths(carol_)[0]);
  EXPECT_EQ(reply.GetSubject(), "Away until Monday");
  EXPECT_EQ(reply.GetSender(), "");
  EXPECT_EQ(reply.m_strInReplyTo, "<lunch-1@demo.example>");
  EXPECT_NE(reply.BodyView().find("I read mail on Monday."), std::string::npos);

  // A second mail of the same day: delivered, and no second reply. The agent
  // waits for the responder (no parallel scripts), so once a later mail has
  // arrived and the queue is empty, a reply would have been delivered.
  Submit({"-f", "carol@demo.example", "bob@demo.example"}, "Subject: Or dinner?\n\nTonight?\n");
  ASSERT_TRUE(WaitFor([&] { return EmlPaths(bob_).size() == 2; }, 20s)) << tree_.Log();
  Submit({"-f", "dave@far.example", "alice@demo.example"}, "Subject: later\n\nmarker\n");
  ASSERT_TRUE(WaitFor([&] { return EmlPaths(alice_).size() == 1; }, 20s)) << tree_.Log();
  ASSERT_TRUE(tree_.WaitQueueEmpty(10s));
  EXPECT_EQ(EmlPaths(carol_).size(), 1u) << tree_.Log();
}

// A host that refuses every recipient for good.
void RefuseRecipients(ScriptedConnection& c, int) {
  kelpd::testing::SmtpScript script;
  script.greeting = "220 far.example ESMTP";
  script.ehlo = {"250 far.example"};
  script.replies["RCPT"] = "550 5.1.1 <dave@far.example>: no such user";
  kelpd::testing::ServeScript(c, script);
}

TEST_F(CompanionsWithKelpd, GivenUpMailsNoticeReachesTheSender) {
  ScriptedSmtpServer far(RefuseRecipients, 4);
  tree_.WriteList("smarthosts", "far.example:\t127.0.0.1:" + std::to_string(far.port()) + "\n");
  StartKelpd({"AutoTransport:\t1", "AutoTransport.Threads:\t1", "Bounce.Attachment:\t1"});
  Submit({"-f", "carol@demo.example", "dave@far.example"},
         "From: Carol <carol@demo.example>\nSubject: Figures\nMessage-ID: "
         "<fig-1@demo.example>\n\nQ3.\n");
  ASSERT_TRUE(WaitFor([&] { return EmlPaths(carol_).size() == 1; }, 60s)) << tree_.Log();
  const CMail notice = Load(EmlPaths(carol_)[0]);
  EXPECT_EQ(notice.GetSender(), "");
  EXPECT_EQ(notice.GetSubject(), "Returned mail: see transcript for details");
  EXPECT_NE(notice.m_strContentType.find("multipart/report"), std::string::npos);
  EXPECT_NE(notice.BodyView().find("550 5.1.1"), std::string::npos);
  EXPECT_NE(notice.BodyView().find("Message-ID: <fig-1@demo.example>"), std::string::npos);
  // The given-up mail and its report are gone from the outgoing directory.
  EXPECT_TRUE(WaitFor([&] { return ListNames(tree_.outgoing_dir()).empty(); }, 10s)) << tree_.Log();
}

}  // namespace
