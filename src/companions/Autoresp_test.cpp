#include "companions/Autoresp.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <string>
#include <vector>

#include "companions/AutoReply.h"
#include "companions/FailureNotice.h"
#include "companions/SysExits.h"
#include "mail/Mail.h"
#include "support/ChildProcess.h"
#include "support/TempDir.h"

namespace kelpd::companions {
namespace {

using kelpd::testing::FileExists;
using kelpd::testing::ReadFile;
using kelpd::testing::TempDir;

CMail Parse(std::string_view bytes) {
  CMail mail;
  CMemorySource source(bytes);
  EXPECT_TRUE(mail.ReadFrom(source, false));
  return mail;
}

std::vector<std::string> Recipients(const CMail& mail) {
  return std::vector<std::string>(mail.m_recipients.begin(), mail.m_recipients.end());
}

std::vector<std::string> EmlFiles(const std::string& dir) {
  std::vector<std::string> files;
  for (const auto& e : std::filesystem::directory_iterator(dir))
    if (e.path().extension() == ".eml") files.push_back(e.path().string());
  return files;
}

// The parts of a multipart body, split at its boundary lines.
std::vector<std::string> Parts(const CMail& mail) {
  std::vector<std::string> parts;
  const std::string body(mail.BodyView());
  const std::string marker = "\r\n--" + mail.m_strBoundary;
  size_t pos = body.find(marker);
  while (pos != std::string::npos) {
    const size_t start = pos + marker.size();
    if (body.compare(start, 2, "--") == 0) break;
    const size_t next = body.find(marker, start);
    if (next == std::string::npos) break;
    parts.push_back(body.substr(start + 2, next - start - 2 + 2));  // with its final CR LF
    pos = next;
  }
  return parts;
}

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

const char kReturned[] =
    "X-Envelope-From: carol@demo.example\r\n"
    "X-Envelope-To: dave@far.example\r\n"
    "Received: from a (b [127.0.0.1]) by c; Mon, 1 Jan 2024 10:00:00 +0000\r\n"
    "Message-ID: <m1@demo.example>\r\n"
    "From: Carol <carol@demo.example>\r\n"
    "To: <dave@far.example>\r\n"
    "Subject: Quarterly figures\r\n"
    "\r\n"
    "Line one\r\n"
    "..\r\n"
    "Gr\xc3\xbc\xc3\x9f"
    "e\r\n";

FailureReport SampleReport() {
  FailureReport r;
  r.from_name = "Mail Delivery Subsystem";
  r.from_address = "postmaster@demo.example";
  r.subject = "Returned mail: see transcript for details";
  r.content_type = "text/plain";
  r.text =
      "\t----- The following addresses had permanent fatal errors -----\r\ndave@far.example\r\n";
  return r;
}

TEST(FailureNoticeMime, WholeMailAttachedAsMessage) {
  const CMail notice = BuildFailureNotice(kReturned, SampleReport(), "carol@demo.example",
                                          "postmaster@x", "demo.example", Attachment::kFull);
  std::string text;
  ASSERT_TRUE(notice.BuildText(text, EnvelopeHeaders));
  const CMail back = Parse(text);
  EXPECT_EQ(back.GetSender(), "");
  EXPECT_EQ(Recipients(back), std::vector<std::string>{"carol@demo.example"});
  EXPECT_EQ(back.m_strFromAddress, "postmaster@demo.example");
  EXPECT_EQ(back.m_strFromName, "Mail Delivery Subsystem");
  EXPECT_EQ(back.GetSubject(), "Returned mail: see transcript for details");
  EXPECT_EQ(back.m_strMimeVersion, "1.0");
  EXPECT_NE(back.m_strContentType.find("multipart/report"), std::string::npos);
  EXPECT_FALSE(back.m_strBoundary.empty());
  EXPECT_TRUE(back.m_otherHeaders.Contains("Auto-Submitted: auto-replied"));

  const auto parts = Parts(back);
  ASSERT_EQ(parts.size(), 3u);
  const CMail report_part = Parse(parts[0]);
  EXPECT_EQ(report_part.m_strContentType, "text/plain");
  EXPECT_EQ(report_part.BodyView(), SampleReport().text);
  const CMail mail_part = Parse(parts[2]);
  EXPECT_EQ(mail_part.m_strContentType, "message/rfc822");
  EXPECT_EQ(mail_part.m_strContentTransferEncoding, "8bit");
  // The attached mail is the sender's own, without our envelope lines.
  const CMail inner = Parse(mail_part.BodyView());
  EXPECT_EQ(inner.GetSubject(), "Quarterly figures");
  EXPECT_EQ(inner.GetMessageID(), "m1@demo.example");
  EXPECT_TRUE(inner.m_recipients.IsEmpty());
  EXPECT_EQ(inner.BodyView(),
            "Line one\r\n..\r\nGr\xc3\xbc\xc3\x9f"
            "e\r\n");
}

TEST(FailureNoticeMime, HeaderOnlyAndNoAttachment) {
  std::string text;
  const CMail headers = BuildFailureNotice(kReturned, SampleReport(), "pm@demo.example",
                                           "postmaster@x", "demo.example", Attachment::kHeader);
  ASSERT_TRUE(headers.BuildText(text, EnvelopeHeaders));
  const CMail back = Parse(text);
  EXPECT_EQ(Recipients(back), std::vector<std::string>{"pm@demo.example"});
  const auto parts = Parts(back);
  ASSERT_EQ(parts.size(), 3u);
  const CMail header_part = Parse(parts[2]);
  EXPECT_EQ(header_part.m_strContentType, "text/rfc822-headers");
  EXPECT_NE(header_part.BodyView().find("Subject: Quarterly figures\r\n"), std::string::npos);
  EXPECT_EQ(header_part.BodyView().find("Line one"), std::string::npos);
  EXPECT_EQ(header_part.BodyView().find("X-Envelope"), std::string::npos);

  const CMail plain =
      BuildFailureNotice(kReturned, FailureReport{}, "carol@demo.example",
                         "postmaster@demo.example", "demo.example", Attachment::kNone);
  ASSERT_TRUE(plain.BuildText(text, EnvelopeHeaders));
  const CMail plain_back = Parse(text);
  EXPECT_EQ(Parts(plain_back).size(), 2u);
  EXPECT_EQ(plain_back.m_strFromAddress, "postmaster@demo.example");  // the report had none
  EXPECT_EQ(plain_back.BodyView().find("Line one"), std::string::npos);
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
    kelpd::platform::FileError err;
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
  const auto queued = EmlFiles(queue_);
  ASSERT_EQ(queued.size(), 1u);
  const CMail notice = LoadQueued(queued[0]);
  EXPECT_EQ(notice.GetSender(), "");
  EXPECT_EQ(Recipients(notice), std::vector<std::string>{"carol@demo.example"});
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
  for (const auto& f : EmlFiles(queue_)) to.push_back(LoadQueued(f).GetFirstRecipient());
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
  EXPECT_TRUE(EmlFiles(queue_).empty());
  EXPECT_FALSE(FileExists(bulk));

  const std::string bulk_kept = GivenUp("5.eml", "Precedence: junk\r\n");
  ASSERT_EQ(Run({bulk_kept, "-t", bulk_kept + ".err", "-s", "-o"}), kExitOk);  // no -ib
  EXPECT_EQ(EmlFiles(queue_).size(), 1u);
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
  const auto queued = EmlFiles(queue_);
  ASSERT_EQ(queued.size(), 1u);
  const CMail notice = LoadQueued(queued[0]);
  EXPECT_EQ(notice.m_strFromAddress, "postmaster@demo.example");
  EXPECT_NE(notice.BodyView().find("dave@far.example"), std::string::npos);
}

CMail Received(const std::string& headers) {
  return Parse("X-Envelope-From: carol@demo.example\r\nX-Envelope-To: alice@demo.example\r\n" +
               headers + "Subject: hi\r\n\r\nbody\r\n");
}

TEST(AutoReplyRules, WhoGetsNoReply) {
  const std::string self = "alice@demo.example";
  EXPECT_EQ(NoReplyReason(Received(""), self), "");
  EXPECT_EQ(NoReplyReason(Received("Auto-Submitted: no\r\n"), self), "");
  EXPECT_NE(NoReplyReason(Parse("X-Envelope-From: <>\r\nSubject: x\r\n\r\nb\r\n"), self), "");
  for (const char* h :
       {"Precedence: bulk\r\n", "Precedence: LIST\r\n", "Precedence: junk\r\n",
        "List-Id: <figures.demo.example>\r\n", "List-Unsubscribe: <mailto:x@y>\r\n",
        "Auto-Submitted: auto-generated\r\n", "Auto-Submitted: auto-replied; x=y\r\n"})
    EXPECT_NE(NoReplyReason(Received(h), self), "") << h;
  for (const char* sender : {"MAILER-DAEMON@x.example", "owner-figures@x.example",
                             "figures-request@x.example", "alice@demo.example"}) {
    CMail m = Received("");
    m.SetEnvelopeSender(sender);
    EXPECT_NE(NoReplyReason(m, self), "") << sender;
  }
}

TEST(AutoReplyRules, TemplateSubjectLine) {
  ReplyTemplate t = ParseReplyTemplate("subject: Away until Monday\nI am away.\n.\n");
  EXPECT_EQ(t.subject, "Away until Monday");
  EXPECT_EQ(t.text, "I am away.\r\n..\r\n");
  t = ParseReplyTemplate("I am away.\nSubject: not this\n");
  EXPECT_EQ(t.subject, "");
  EXPECT_EQ(t.text, "I am away.\r\nSubject: not this\r\n");

  const CMail original = Received("Message-ID: <m9@demo.example>\r\nReferences: <m1@x>\r\n");
  std::string text;
  const CMail reply = BuildAutoReply(original, t, "alice@demo.example", "demo.example");
  ASSERT_TRUE(reply.BuildText(text, EnvelopeHeaders));
  const CMail back = Parse(text);
  EXPECT_EQ(back.GetSubject(), "Auto: hi");  // no Subject line in the template
  EXPECT_EQ(back.m_strInReplyTo, "<m9@demo.example>");
  EXPECT_EQ(back.m_strReferences, "<m1@x> <m9@demo.example>");
}

TEST(AutoReplyRules, LedgerRemembersADayPerSender) {
  const time_t t = 1700000000;
  ReplyLedger ledger;
  ledger.Record("Carol@Demo.example", t);
  EXPECT_TRUE(ledger.RepliedRecently("carol@demo.example", t + 3600));
  EXPECT_TRUE(ledger.RepliedRecently("carol@demo.example", t + kReplyInterval - 1));
  EXPECT_FALSE(ledger.RepliedRecently("carol@demo.example", t + kReplyInterval));
  EXPECT_FALSE(ledger.RepliedRecently("dave@demo.example", t + 1));

  ReplyLedger read;
  read.Parse(ledger.Serialize() + "garbage\n12x bad@x\n" + std::to_string(t - 2 * kReplyInterval) +
                 " old@x\n",
             t + 60);
  EXPECT_TRUE(read.RepliedRecently("carol@demo.example", t + 60));
  EXPECT_FALSE(read.RepliedRecently("old@x", t + 60));
  EXPECT_EQ(read.Serialize(), std::to_string(t) + " carol@demo.example\n");
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
  EXPECT_EQ(Recipients(reply), std::vector<std::string>{"carol@demo.example"});
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
  EXPECT_EQ(EmlFiles(queue_).size(), 1u);
  EXPECT_FALSE(FileExists(mail));
}

}  // namespace
}  // namespace kelpd::companions
