#include "companions/AutoReply.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/MailParts.h"

namespace kelpd::companions {
namespace {

using kelpd::testing::ParseMail;
using kelpd::testing::RecipientsOf;

CMail Received(const std::string& headers) {
  return ParseMail("X-Envelope-From: carol@demo.example\r\nX-Envelope-To: alice@demo.example\r\n" +
                   headers + "Subject: hi\r\n\r\nbody\r\n");
}

TEST(AutoReplyRules, WhoGetsNoReply) {
  const std::string self = "alice@demo.example";
  EXPECT_EQ(NoReplyReason(Received(""), self), "");
  EXPECT_EQ(NoReplyReason(Received("Auto-Submitted: no\r\n"), self), "");
  EXPECT_NE(NoReplyReason(ParseMail("X-Envelope-From: <>\r\nSubject: x\r\n\r\nb\r\n"), self), "");
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
  const CMail back = ParseMail(text);
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

}  // namespace
}  // namespace kelpd::companions
