#include "smtp/FailureReport.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <regex>
#include <string>

#include "fakes/ScriptedSmtpServer.h"
#include "smtp/ConsoleOutput.h"
#include "smtp/SMTPClient.h"
#include "smtp/SMTPException.h"
#include "support/TempDir.h"

using kelpd::testing::ReadFile;
using kelpd::testing::ScriptedConnection;
using kelpd::testing::ScriptedSmtpServer;
using kelpd::testing::TempDir;

namespace {

const char kReceived[] =
    "from client.origin.example (client.origin.example [192.0.2.7]) by relay.example.org; "
    "Mon, 7 Dec 2026 09:00:00 +0100";

std::string MailText(const std::string& received) {
  return "X-Envelope-From: <sender@origin.example>\r\n"
         "X-Envelope-To: <rcpt@dest.example>\r\n"
         "Received: " +
         received +
         "\r\n"
         "Message-ID: <abc123@origin.example>\r\n"
         "Subject: hello\r\n"
         "\r\n"
         "body\r\n";
}

std::string Expected(const char* name) {
  return ReadFile(std::string(KELPD_SOURCE_DIR) + "/tests/data/reports/" + name);
}

// A configuration directory, a lock directory and one queued mail.
class FailureReportTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("MAILLOCKDIR", dir_.Join("locks").c_str(), 1);
    ::setenv("MAILCONFIGDIR", dir_.MakeDir("config").c_str(), 1);
    SetConfig(
        "Postmaster.From: mailer-daemon@relay.example.org\n"
        "Postmaster: postmaster@relay.example.org\n");
    mail_ = dir_.WriteFile("outgoing/0123456789.eml", MailText(kReceived));
  }
  void TearDown() override {
    ::unsetenv("MAILLOCKDIR");
    ::unsetenv("MAILCONFIGDIR");
  }
  void SetConfig(const std::string& text) { dir_.WriteFile("config/kelpd.cfg", text); }
  std::string Report() const { return ReadFile(mail_ + ".err"); }

  TempDir dir_;
  std::string mail_;
};

void Answer(ScriptedConnection& c, const std::string& reply) {
  c.ReadLine();
  c.Send(reply);
}

// The session of one host up to a refused RCPT, as the delivery runs it.
template <typename Failure>
Failure FailAtRcpt(const std::string& rcpt_reply) {
  ScriptedSmtpServer server([&](ScriptedConnection& c, int) {
    c.Send("220 mx ESMTP\r\n");
    Answer(c, "250 mx\r\n");
    Answer(c, "250 sender ok\r\n");
    Answer(c, rcpt_reply);
    c.Silence(3000);
  });
  CSMTPClient client(false);
  EXPECT_TRUE(client.Create(0, kelpd::platform::kSocketStream, nullptr, false));
  client.m_nTimeOut = 5;
  client.Connect("127.0.0.1", server.port());
  client.ReadReply();
  client.Hello("relay.example.org");
  client.MailFrom("sender@origin.example", "", 100);
  try {
    client.RcptTo("rcpt@dest.example");
  } catch (const Failure& failure) {
    client.Close();
    server.Join();
    return failure;
  }
  ADD_FAILURE() << "RCPT was accepted";
  return Failure("");
}

}  // namespace

TEST_F(FailureReportTest, LatestFailureReplacesTheWholeReport) {
  CSMTPTemporaryException first =
      FailAtRcpt<CSMTPTemporaryException>("450 4.2.1 mailbox busy, try later\r\n");
  first.WriteReport(mail_, "mx1.dest.example", "rcpt@dest.example");
  EXPECT_EQ(Report(), Expected("temporary-rcpt-host-a.err"));

  CSMTPPermanentException second =
      FailAtRcpt<CSMTPPermanentException>("550-5.1.1 no such user\r\n550 5.1.1 really not\r\n");
  second.WriteReport(mail_, "mx2.dest.example", "rcpt@dest.example");
  EXPECT_EQ(Report(), Expected("permanent-rcpt-host-b.err"));
}

// Before any host: no "while talking to" line, the one line as the transcript;
// without "Postmaster.From" the sender is "Postmaster".
TEST_F(FailureReportTest, FailureBeforeAnyHost) {
  SetConfig("Postmaster: postmaster@relay.example.org\n");
  CSMTPTemporaryException failure(
      std::string("MX resolution for domain 'dest.example' failed, please retry later"));
  failure.WriteReport(mail_, nullptr, "rcpt@dest.example");
  EXPECT_EQ(Report(), Expected("temporary-before-any-host.err"));
}

TEST_F(FailureReportTest, RefusedConnectionGivesTheSocketReport) {
  // A port that was just free: nothing listens there.
  unsigned port;
  {
    ScriptedSmtpServer closed([](ScriptedConnection&, int) {}, 0);
    port = closed.port();
  }
  CSMTPClient client(false);
  ASSERT_TRUE(client.Create(0, kelpd::platform::kSocketStream, nullptr, false));
  try {
    client.Connect("127.0.0.1", port);
    FAIL() << "connected to a closed port";
  } catch (const CSocketException& e) {
    EXPECT_EQ(e.m_nError, 10061);
    kelpd::smtp::WriteSocketReport(e, mail_, "127.0.0.1", "rcpt@dest.example");
  }
  EXPECT_EQ(Report(), Expected("socket-connection-refused.err"));
}

TEST_F(FailureReportTest, ReceivedWithoutParenthesesGivesNoArrivalLine) {
  dir_.WriteFile("outgoing/0123456789.eml",
                 MailText("from client.origin.example by relay.example.org; "
                          "Mon, 7 Dec 2026 09:00:00 +0100"));
  CSMTPPermanentException failure(
      std::string("recipient address <rcpt@@dest.example> has bad format"));
  failure.WriteReport(mail_, nullptr, "rcpt@dest.example");
  EXPECT_EQ(Report(), Expected("permanent-no-arrival.err"));
}

TEST_F(FailureReportTest, MailThatCannotBeReadStillGetsAReport) {
  std::string missing = dir_.Join("outgoing/gone.eml");
  CSMTPPermanentException failure(std::string("one line"));
  failure.WriteReport(missing, nullptr, "rcpt@dest.example");
  std::string report = ReadFile(missing + ".err");
  EXPECT_NE(report.find("\t----- The following addresses had permanent fatal errors -----\r\n"
                        "rcpt@dest.example\r\n"),
            std::string::npos);
  EXPECT_EQ(report.find("The original message"), std::string::npos);
}

TEST_F(FailureReportTest, FileErrorGoesToStandardError) {
  std::string out, err;
  kelpd::smtp::CaptureConsoleForTests(&out, &err);
  std::string nowhere = dir_.Join("no-such-dir/x.eml");
  CSMTPTemporaryException(std::string("line")).WriteReport(nowhere, nullptr, "r@x.example");
  kelpd::smtp::WriteSocketReport(CSocketException(10061), nowhere, "h", "r@x.example");
  kelpd::smtp::CaptureConsoleForTests(nullptr, nullptr);
  std::regex expected("CFileException in SMTPc\\\\SMTPClient:[0-9]+, file=" + nowhere +
                      "\\.err cause=2 error=2\n"
                      "CFileException in Common\\\\SocketException:[0-9]+, file=" +
                      nowhere + "\\.err cause=2 error=2\n");
  EXPECT_TRUE(std::regex_match(err, expected)) << err;
}

TEST(ReportArrival, FromReceivedValue) {
  auto arrival = kelpd::smtp::ArrivalFromReceived("from A (B) by C; D");
  ASSERT_TRUE(arrival.has_value());
  EXPECT_EQ(arrival->date, "D");
  EXPECT_EQ(arrival->host, "B");
  // The last ';' decides the date, the first '(' and the ')' after it the host.
  arrival = kelpd::smtp::ArrivalFromReceived("from x) (h1) (h2) by y; id 1; Tue, 1 Jan");
  ASSERT_TRUE(arrival.has_value());
  EXPECT_EQ(arrival->date, "Tue, 1 Jan");
  EXPECT_EQ(arrival->host, "h1");
  EXPECT_FALSE(kelpd::smtp::ArrivalFromReceived("from A by C; D").has_value());
  EXPECT_FALSE(kelpd::smtp::ArrivalFromReceived("from A (B) by C").has_value());
  EXPECT_FALSE(kelpd::smtp::ArrivalFromReceived("from A ) by C (; D").has_value());
  arrival = kelpd::smtp::ArrivalFromReceived("from A (B) by C;");
  ASSERT_TRUE(arrival.has_value());
  EXPECT_EQ(arrival->date, "");
}

TEST(ReportArrival, SmtpReportsPreferAValueWithFrom) {
  CStringListEx received;
  EXPECT_FALSE(kelpd::smtp::ChooseReceivedForSmtpReport(received).has_value());
  received.AddTail("by local (x); date1");
  received.AddTail("by other (y); date2");
  EXPECT_EQ(*kelpd::smtp::ChooseReceivedForSmtpReport(received), "by other (y); date2");
  received.AddTail("from a (b) by c; date3");
  received.AddTail("from d (e) by f; date4");
  EXPECT_EQ(*kelpd::smtp::ChooseReceivedForSmtpReport(received), "from a (b) by c; date3");
}

TEST(ReportText, EveryLineFeedBecomesCrLf) {
  EXPECT_EQ(kelpd::smtp::ToTextMode("a\nb\r\n\n"), "a\r\nb\r\r\n\r\n");
}
