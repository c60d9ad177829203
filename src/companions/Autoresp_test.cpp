#include "companions/Autoresp.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "companions/SysExits.h"
#include "mail/Mail.h"
#include "support/ChildProcess.h"
#include "support/MailParts.h"
#include "support/TempDir.h"

namespace kelpd::companions {
namespace {

using kelpd::testing::EmlPaths;
using kelpd::testing::FileExists;
using kelpd::testing::ReadFile;
using kelpd::testing::RecipientsOf;
using kelpd::testing::TempDir;

TEST(AutorespArgs, TheServicesCommandLines) {
  std::string error;
  AutorespOptions first;
  ASSERT_TRUE(ParseAutorespArgs(
      {"/out/1.eml", "-t", "/out/1.eml.err", "-b", "full", "-ib", "-s", "-k", "-o"}, first, error))
      << error;
  EXPECT_EQ(first.mail, "/out/1.eml");
  EXPECT_EQ(first.templ, "/out/1.eml.err");
  EXPECT_EQ(first.attach, Attachment::kFull);
  EXPECT_TRUE(first.ignore_bulk && first.silent && first.keep && first.output_given);
  EXPECT_EQ(first.output, "");

  AutorespOptions second;
  ASSERT_TRUE(ParseAutorespArgs({"/out/1.eml", "-t", "/out/1.eml.err", "-b", "header", "-ib", "-s",
                                 "-to", "Postmaster@Example.ORG", "-o"},
                                second, error))
      << error;
  EXPECT_EQ(second.attach, Attachment::kHeader);
  EXPECT_EQ(second.to, "Postmaster@example.org");
  EXPECT_FALSE(second.keep);

  AutorespOptions plain;
  ASSERT_TRUE(ParseAutorespArgs({"/out/1.eml", "-t", "/out/1.eml.err", "-s", "-o"}, plain, error));
  EXPECT_EQ(plain.attach, Attachment::kNone);
  EXPECT_FALSE(plain.ignore_bulk);

  AutorespOptions reply;
  ASSERT_TRUE(ParseAutorespArgs(
      {"/spool/alice/3.eml", "-t", "/spool/alice/reply.txt", "-o", "/queue/r_7.eml", "-k", "-s"},
      reply, error))
      << error;
  EXPECT_EQ(reply.output, "/queue/r_7.eml");
  EXPECT_EQ(reply.templ, "/spool/alice/reply.txt");
}

TEST(AutorespArgs, WrongCommandLines) {
  const std::vector<std::vector<std::string>> wrong = {
      {"/m.eml", "-t", "/r"},                            // no -o
      {"-t", "/r", "-o"},                                // no mail
      {"/m.eml", "-o"},                                  // no -t
      {"/m.eml", "-t", "/r", "-b", "all", "-o"},         // bad -b
      {"/m.eml", "-t", "/r", "-to", "a b@c", "-o"},      // bad address
      {"/m.eml", "/n.eml", "-t", "/r", "-o"},            // two mails
      {"/m.eml", "-t", "/r", "-b", "full", "-o", "/q"},  // -b in auto-reply mode
      {"/m.eml", "-t", "/r", "-x", "-o"},
  };
  for (const auto& args : wrong) {
    AutorespOptions o;
    std::string error;
    EXPECT_FALSE(ParseAutorespArgs(args, o, error)) << args.size();
    EXPECT_FALSE(error.empty());
  }
  ProgramOutput out;
  EXPECT_EQ(RunAutoresp({"--help"}, out), kExitOk);
  EXPECT_NE(out.out.find("-b full"), std::string::npos);
  EXPECT_NE(out.out.find("-o OUTPUT"), std::string::npos);
}

// The program's two modes run in this process against a temporary tree.
class AutorespRun : public ::testing::Test {
 protected:
  void SetUp() override {
    queue_ = dir_.MakeDir("queue");
    outgoing_ = dir_.MakeDir("outgoing");
    mailbox_ = dir_.MakeDir("spool/alice");
    dir_.WriteFile("config/kelpd.cfg", "QueueDir:\t" + queue_ + "\nFQDN:\tdemo.example\n");
    ::setenv("MAILCONFIGDIR", dir_.Join("config").c_str(), 1);
    ::setenv("MAILLOCKDIR", dir_.Join("locks").c_str(), 1);
  }
  void TearDown() override {
    ::unsetenv("MAILCONFIGDIR");
    ::unsetenv("MAILLOCKDIR");
  }
  // A given-up mail and its report as the delivery thread leaves them.
  std::string GivenUp(const std::string& name, const std::string& extra_headers = "",
                      const std::string& sender = "carol@demo.example") {
    const std::string mail = dir_.WriteFile(
        "outgoing/" + name,
        "X-Envelope-From: " + sender + "\r\nX-Envelope-To: dave@far.example\r\n" + extra_headers +
            "Message-ID: <" + name + "@demo.example>\r\nSubject: Figures\r\n\r\nbody\r\n");
    dir_.WriteFile(
        "outgoing/" + name + ".err",
        "X-Envelope-From: <>\r\nFrom: \"Mail Delivery Subsystem\" <postmaster@demo.example>\r\n"
        "Subject: Returned mail: see transcript for details\r\nContent-Type: text/plain\r\n\r\n"
        "\t----- Transcript of session follows -----\r\n"
        ".... while talking to mx.far.example:\r\n\r\n"
        "RCPT TO:<dave@far.example>\r\r\n550 no such user\r\n");
    return mail;
  }
  int Run(const std::vector<std::string>& args) {
    output_ = ProgramOutput{};
    return RunAutoresp(args, output_);
  }
  CMail LoadQueued(const std::string& path) {
    CMail mail;
    kelpd::platform::FileResult err;
    EXPECT_TRUE(mail.Load(path, err, false)) << path;
    return mail;
  }

  TempDir dir_;
  std::string queue_, outgoing_, mailbox_;
  ProgramOutput output_;
};

TEST_F(AutorespRun, NoticeQueuedThenMailAndReportRemoved) {
  const std::string mail = GivenUp("1.eml");
  ASSERT_EQ(Run({mail, "-t", mail + ".err", "-b", "full", "-ib", "-s", "-o"}), kExitOk)
      << output_.err;
  EXPECT_EQ(output_.out, "");  // -s
  const auto queued = EmlPaths(queue_);
  ASSERT_EQ(queued.size(), 1u);
  const CMail notice = LoadQueued(queued[0]);
  EXPECT_EQ(notice.GetSender(), "");
  EXPECT_EQ(RecipientsOf(notice), std::vector<std::string>{"carol@demo.example"});
  // The transcript's doubled CR is gone: one line end, not two.
  EXPECT_NE(notice.BodyView().find("RCPT TO:<dave@far.example>\r\n550 no such user"),
            std::string::npos);
  EXPECT_FALSE(FileExists(mail));
  EXPECT_FALSE(FileExists(mail + ".err"));
}

TEST_F(AutorespRun, TwoRunsKeepThenCopyThePostmaster) {
  const std::string mail = GivenUp("2.eml");
  ASSERT_EQ(Run({mail, "-t", mail + ".err", "-b", "full", "-ib", "-s", "-k", "-o"}), kExitOk);
  EXPECT_TRUE(FileExists(mail));
  EXPECT_TRUE(FileExists(mail + ".err"));
  ASSERT_EQ(
      Run({mail, "-t", mail + ".err", "-b", "header", "-ib", "-s", "-to", "pm@demo.example", "-o"}),
      kExitOk);
  EXPECT_FALSE(FileExists(mail));
  std::vector<std::string> to;
  for (const auto& f : EmlPaths(queue_)) to.push_back(LoadQueued(f).GetFirstRecipient());
  std::sort(to.begin(), to.end());
  EXPECT_EQ(to, (std::vector<std::string>{"carol@demo.example", "pm@demo.example"}));
}

TEST_F(AutorespRun, NoNoticeForNullSenderOrBulkWithIb) {
  const std::string bounce = GivenUp("3.eml", "", "");
  ASSERT_EQ(Run({bounce, "-t", bounce + ".err", "-o"}), kExitOk);
  EXPECT_EQ(output_.out, "no failure notice: the returned mail has the null sender\n");
  EXPECT_FALSE(FileExists(bounce));  // done with, without a notice

  const std::string bulk = GivenUp("4.eml", "Precedence: Bulk\r\n");
  ASSERT_EQ(Run({bulk, "-t", bulk + ".err", "-ib", "-s", "-o"}), kExitOk);
  EXPECT_TRUE(EmlPaths(queue_).empty());
  EXPECT_FALSE(FileExists(bulk));

  const std::string bulk_kept = GivenUp("5.eml", "Precedence: junk\r\n");
  ASSERT_EQ(Run({bulk_kept, "-t", bulk_kept + ".err", "-s", "-o"}), kExitOk);  // no -ib
  EXPECT_EQ(EmlPaths(queue_).size(), 1u);
}

TEST_F(AutorespRun, MailIsKeptWhenTheNoticeCannotBeQueued) {
  const std::string mail = GivenUp("6.eml");
  std::filesystem::remove(queue_);
  EXPECT_EQ(Run({mail, "-t", mail + ".err", "-s", "-o"}), kExitCantCreat);
  EXPECT_TRUE(FileExists(mail));
  EXPECT_TRUE(FileExists(mail + ".err"));
  EXPECT_EQ(Run({dir_.Join("outgoing/none.eml"), "-t", "/x", "-s", "-o"}), kExitNoInput);
}

TEST_F(AutorespRun, MissingReportStillGivesANotice) {
  const std::string mail = GivenUp("7.eml");
  std::filesystem::remove(mail + ".err");
  ASSERT_EQ(Run({mail, "-t", mail + ".err", "-s", "-o"}), kExitOk) << output_.err;
  const auto queued = EmlPaths(queue_);
  ASSERT_EQ(queued.size(), 1u);
  const CMail notice = LoadQueued(queued[0]);
  EXPECT_EQ(notice.m_strFromAddress, "postmaster@demo.example");
  EXPECT_NE(notice.BodyView().find("dave@far.example"), std::string::npos);
}

TEST_F(AutorespRun, AutoReplyOnceADayPerSender) {
  const std::string templ =
      dir_.WriteFile("spool/alice/reply.txt", "Subject: Out of office\nBack on Monday.\n");
  const std::string original =
      dir_.WriteFile("spool/alice/1.eml",
                     "X-Envelope-From: carol@demo.example\r\nX-Envelope-To: alice@demo.example\r\n"
                     "Message-ID: <q1@demo.example>\r\nFrom: Carol "
                     "<carol@demo.example>\r\nSubject: Meeting\r\n\r\nok?\r\n");
  const std::string out1 = queue_ + "/r_1.eml";
  ASSERT_EQ(Run({original, "-t", templ, "-o", out1, "-k", "-s"}), kExitOk) << output_.err;
  EXPECT_TRUE(FileExists(original));  // the mailbox's mail is never touched
  const CMail reply = LoadQueued(out1);
  EXPECT_EQ(reply.GetSender(), "");
  EXPECT_EQ(RecipientsOf(reply), std::vector<std::string>{"carol@demo.example"});
  EXPECT_EQ(reply.m_strFromAddress, "alice@demo.example");
  EXPECT_EQ(reply.GetSubject(), "Out of office");
  EXPECT_EQ(reply.m_strInReplyTo, "<q1@demo.example>");
  EXPECT_TRUE(reply.m_otherHeaders.Contains("Auto-Submitted: auto-replied"));
  EXPECT_EQ(reply.BodyView(), "Back on Monday.\r\n");

  // The same sender again: no second reply today.
  const std::string out2 = queue_ + "/r_2.eml";
  ASSERT_EQ(Run({original, "-t", templ, "-o", out2, "-k"}), kExitOk);
  EXPECT_FALSE(FileExists(out2));
  EXPECT_NE(output_.out.find("no reply"), std::string::npos);

  // Another sender still gets one; another mailbox keeps its own list.
  const std::string other = dir_.WriteFile("spool/alice/2.eml",
                                           "X-Envelope-From: dave@far.example\r\nX-Envelope-To: "
                                           "alice@demo.example\r\nSubject: x\r\n\r\ny\r\n");
  ASSERT_EQ(Run({other, "-t", templ, "-o", out2, "-k", "-s"}), kExitOk);
  EXPECT_TRUE(FileExists(out2));
  dir_.WriteFile("spool/bob/1.eml", ReadFile(original));
  const std::string out3 = queue_ + "/r_3.eml";
  ASSERT_EQ(Run({dir_.Join("spool/bob/1.eml"), "-t", templ, "-o", out3, "-k", "-s"}), kExitOk);
  EXPECT_TRUE(FileExists(out3));

  // Bulk mail gets none, and an output name that exists is never replaced.
  const std::string bulk = dir_.WriteFile("spool/alice/3.eml",
                                          "X-Envelope-From: erin@x.example\r\nX-Envelope-To: "
                                          "alice@demo.example\r\nPrecedence: list\r\n\r\ny\r\n");
  ASSERT_EQ(Run({bulk, "-t", templ, "-o", queue_ + "/r_4.eml", "-k", "-s"}), kExitOk);
  EXPECT_FALSE(FileExists(queue_ + "/r_4.eml"));
  const std::string fresh = dir_.WriteFile(
      "spool/alice/4.eml",
      "X-Envelope-From: fred@x.example\r\nX-Envelope-To: alice@demo.example\r\n\r\ny\r\n");
  EXPECT_EQ(Run({fresh, "-t", templ, "-o", out1, "-k", "-s"}), kExitCantCreat);
}

TEST_F(AutorespRun, ProgramRunsAsTheServiceStartsIt) {
  const std::string mail = GivenUp("8.eml");
  const auto r = kelpd::testing::RunChild(
      {KELPD_AUTORESP_BINARY, mail, "-t", mail + ".err", "-b", "full", "-ib", "-s", "-o"}, "");
  EXPECT_EQ(r.exit_code, kExitOk) << r.err;
  EXPECT_EQ(r.out, "");
  EXPECT_EQ(EmlPaths(queue_).size(), 1u);
  EXPECT_FALSE(FileExists(mail));
}

}  // namespace
}  // namespace kelpd::companions
