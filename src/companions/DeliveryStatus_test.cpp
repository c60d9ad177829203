// The failure notice as mail programs read it: parsed by Python's email
// package, which knows multipart/report and message/delivery-status.
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>

#include "companions/FailureNotice.h"
#include "mail/Mail.h"
#include "support/ChildProcess.h"

namespace kelpd::companions {
namespace {

// Prints the notice's type, each part's type and each delivery-status block's
// fields, one a line.
constexpr char kReader[] = R"(
import sys, email, email.policy
m = email.message_from_binary_file(sys.stdin.buffer, policy=email.policy.default)
print(m.get_content_type(), m.get_param('report-type'))
for part in m.iter_parts():
    print('part', part.get_content_type())
    if part.get_content_type() == 'message/delivery-status':
        for block in part.get_payload():
            print('--')
            for name, value in block.items():
                print(name + ': ' + value)
    if part.get_content_type() == 'text/rfc822-headers':
        print('subject in headers:', 'Subject: Figures' in part.get_content())
print('defects', len(m.defects) + sum(len(p.defects) for p in m.walk()))
)";

// A report as the delivery thread writes it, after a multi-line refusal.
constexpr char kRefused[] =
    "The original message was received at Mon, 7 Dec 2026 10:00:00 +0000\r\n"
    "from client.example [192.0.2.7]\r\nwith id <fig-1@demo.example>\r\n\r\n"
    "\t----- The following addresses had permanent fatal errors -----\r\n"
    "<dave@far.example>\r\n\r\n\t----- Transcript of session follows -----\r\n"
    ".... while talking to mx.far.example:\r\n\r\n>>> RCPT To:<dave@far.example>\r\n"
    "<<< 550-5.1.1 <dave@far.example>: no such user\r\n550 5.1.1 try \x01"
    "another\r\n";

constexpr char kReturned[] =
    "X-Envelope-From: <carol@demo.example>\r\nX-Envelope-To: <dave@far.example>\r\n"
    "From: Carol <carol@demo.example>\r\nSubject: Figures\r\n\r\nQ3.\r\n";

std::string Read(const CMail& notice) {
  std::string text;
  EXPECT_TRUE(notice.BuildText(text, PlainHeaders));
  const char* python = ::access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
  const testing::ChildResult r = testing::RunChild({python, "-c", kReader}, text);
  EXPECT_EQ(r.exit_code, 0) << r.err;
  return r.out;
}

TEST(DeliveryStatusNotice, MailProgramsReadTheFailure) {
  FailureReport report;
  report.text = kRefused;
  EXPECT_EQ(Read(BuildFailureNotice(kReturned, report, "carol@demo.example", "postmaster@x",
                                    "mail.demo.example", Attachment::kHeader)),
            "multipart/report delivery-status\n"
            "part text/plain\n"
            "part message/delivery-status\n"
            "--\n"
            "Reporting-MTA: dns; mail.demo.example\n"
            "Arrival-Date: Mon, 7 Dec 2026 10:00:00 +0000\n"
            "--\n"
            "Final-Recipient: rfc822; dave@far.example\n"
            "Action: failed\n"
            "Status: 5.1.1\n"
            "Remote-MTA: dns; mx.far.example\n"
            "Diagnostic-Code: smtp; 550 5.1.1 try ?another\n"
            "part text/rfc822-headers\n"
            "subject in headers: True\n"
            "defects 0\n");

  // Without a report file: the mail's recipients, no server to quote.
  CMail returned;
  returned.m_recipients.AddTail("<dave@far.example>");
  EXPECT_EQ(Read(BuildFailureNotice(kReturned, DefaultFailureReport(returned, "postmaster@x"),
                                    "carol@demo.example", "postmaster@x", "mail.demo.example",
                                    Attachment::kNone)),
            "multipart/report delivery-status\n"
            "part text/plain\n"
            "part message/delivery-status\n"
            "--\n"
            "Reporting-MTA: dns; mail.demo.example\n"
            "--\n"
            "Final-Recipient: rfc822; dave@far.example\n"
            "Action: failed\n"
            "Status: 5.0.0\n"
            "defects 0\n");
}

TEST(DeliveryStatusNotice, StatusFromTheReply) {
  EXPECT_EQ(StatusOfReply("550 5.7.1 relaying denied", true), "5.7.1");
  EXPECT_EQ(StatusOfReply("452 4.2.2", false), "4.2.2");
  // An enhanced code of another class, or a malformed one, is not taken.
  EXPECT_EQ(StatusOfReply("550 4.1.1 odd", true), "5.0.0");
  EXPECT_EQ(StatusOfReply("550 5.1.1234 long", true), "5.0.0");
  EXPECT_EQ(StatusOfReply("421 closing", false), "4.0.0");
  // The session ended without a refusal of the server (a socket error or a
  // failed handshake): the kind of failure decides.
  EXPECT_EQ(StatusOfReply("", false), "4.0.0");
  EXPECT_EQ(
      ReadDeliveryFacts("\t----- The following addresses had continuous fatal errors -----\r\n"
                        "bob@x.example\r\n\r\n\t----- Transcript of session follows -----\r\n"
                        ".... while talking to mx:\r\n\r\n>>> STARTTLS\r\n<<< 220 go\r\n"
                        "SSL/TLS-handshake failed\r\n")
          .reply,
      "");
}

}  // namespace
}  // namespace kelpd::companions
