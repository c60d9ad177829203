#include "companions/FailureNotice.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "support/MailParts.h"

namespace kelpd::companions {
namespace {

using kelpd::testing::MimeParts;
using kelpd::testing::ParseMail;
using kelpd::testing::RecipientsOf;

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
  const CMail back = ParseMail(text);
  EXPECT_EQ(back.GetSender(), "");
  EXPECT_EQ(RecipientsOf(back), std::vector<std::string>{"carol@demo.example"});
  EXPECT_EQ(back.m_strFromAddress, "postmaster@demo.example");
  EXPECT_EQ(back.m_strFromName, "Mail Delivery Subsystem");
  EXPECT_EQ(back.GetSubject(), "Returned mail: see transcript for details");
  EXPECT_EQ(back.m_strMimeVersion, "1.0");
  EXPECT_NE(back.m_strContentType.find("multipart/report"), std::string::npos);
  EXPECT_FALSE(back.m_strBoundary.empty());
  EXPECT_TRUE(back.m_otherHeaders.Contains("Auto-Submitted: auto-replied"));

  const auto parts = MimeParts(back);
  ASSERT_EQ(parts.size(), 3u);
  const CMail report_part = ParseMail(parts[0]);
  EXPECT_EQ(report_part.m_strContentType, "text/plain");
  EXPECT_EQ(report_part.BodyView(), SampleReport().text);
  const CMail mail_part = ParseMail(parts[2]);
  EXPECT_EQ(mail_part.m_strContentType, "message/rfc822");
  EXPECT_EQ(mail_part.m_strContentTransferEncoding, "8bit");
  // The attached mail is the sender's own, without our envelope lines.
  const CMail inner = ParseMail(mail_part.BodyView());
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
  const CMail back = ParseMail(text);
  EXPECT_EQ(RecipientsOf(back), std::vector<std::string>{"pm@demo.example"});
  const auto parts = MimeParts(back);
  ASSERT_EQ(parts.size(), 3u);
  const CMail header_part = ParseMail(parts[2]);
  EXPECT_EQ(header_part.m_strContentType, "text/rfc822-headers");
  EXPECT_NE(header_part.BodyView().find("Subject: Quarterly figures\r\n"), std::string::npos);
  EXPECT_EQ(header_part.BodyView().find("Line one"), std::string::npos);
  EXPECT_EQ(header_part.BodyView().find("X-Envelope"), std::string::npos);

  const CMail plain =
      BuildFailureNotice(kReturned, FailureReport{}, "carol@demo.example",
                         "postmaster@demo.example", "demo.example", Attachment::kNone);
  ASSERT_TRUE(plain.BuildText(text, EnvelopeHeaders));
  const CMail plain_back = ParseMail(text);
  EXPECT_EQ(MimeParts(plain_back).size(), 2u);
  EXPECT_EQ(plain_back.m_strFromAddress, "postmaster@demo.example");  // the report had none
  EXPECT_EQ(plain_back.BodyView().find("Line one"), std::string::npos);
}

}  // namespace
}  // namespace kelpd::companions
