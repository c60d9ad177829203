#include "mail/Message.h"

#include <gtest/gtest.h>

#include <chrono>
#include <regex>
#include <string>

#include "mail/Mail.h"
#include "platform/LocalTime.h"

namespace {

std::string BodyOf(const std::string& raw) {
  CMessagePart part;
  part.SetBody(raw);
  part.NormalizeBody();
  return std::string(part.BodyView());
}

TEST(ContentTypeTest, MultipartTakesOnlyTheUnquotedBoundary) {
  CMessagePart part;
  part.OnHeader("content-type", "Multipart/Mixed; BOUNDARY=\"--=_b 1\"; charset=utf-8; name=x");
  EXPECT_EQ(part.m_strContentType, "Multipart/Mixed; BOUNDARY=\"--=_b 1\"; charset=utf-8; name=x");
  EXPECT_EQ(part.m_strBoundary, "--=_b 1");
  EXPECT_EQ(part.m_strCharset, "");
  EXPECT_EQ(part.m_strName, "");
}

TEST(ContentTypeTest, OtherTypesTakeNameAndCharsetUpToTheSemicolon) {
  CMessagePart part;
  part.OnHeader("Content-Type", "text/plain; Charset=\"ISO-8859-1\"; format=flowed");
  EXPECT_EQ(part.m_strCharset, "ISO-8859-1");
  EXPECT_EQ(part.m_strName, "");
  CMessagePart attachment;
  attachment.OnHeader("Content-Type", "application/pdf; name= \"a;b.pdf\"");
  // Spaces around the value stay; the first ";" ends it even inside quotes.
  EXPECT_EQ(attachment.m_strName, " \"a");
  attachment.OnHeader("X-Other", "v");
  attachment.OnHeader("content-description", "Figures");
  EXPECT_EQ(attachment.m_strContentDescription, "Figures");
  ASSERT_EQ(attachment.m_otherHeaders.GetCount(), 1);
  EXPECT_EQ(attachment.m_otherHeaders.GetHead(), "X-Other: v");
}

TEST(BodyNormalisationTest, LineEndsZeroBytesAndLoneDots) {
  EXPECT_EQ(BodyOf("a\nb\rc\r\nd\n"), "a\r\nb\r\nc\r\nd\r\n");
  EXPECT_EQ(BodyOf("\na"), "\r\na");
  EXPECT_EQ(BodyOf(std::string("x\0y\0", 4)), "xy");
  EXPECT_EQ(BodyOf(std::string("\0\0", 2)), "");
  EXPECT_EQ(BodyOf("a\r\n.\r\nb"), "a\r\n..\r\nb");
  EXPECT_EQ(BodyOf("a\r\n.\r\n.\r\nb"), "a\r\n..\r\n..\r\nb");
  // First and last lines too, and bare LF around the dot.
  EXPECT_EQ(BodyOf(".\r\nb"), "..\r\nb");
  EXPECT_EQ(BodyOf("b\r\n."), "b\r\n..");
  EXPECT_EQ(BodyOf("a\n.\n"), "a\r\n..\r\n");
  EXPECT_EQ(BodyOf("."), "..");
  EXPECT_EQ(BodyOf("a\r\n.\r\n"), "a\r\n..\r\n");
  // Lines that merely begin with a dot are kept.
  EXPECT_EQ(BodyOf(".a\r\n..\r\n a.\r\n"), ".a\r\n..\r\n a.\r\n");
}

TEST(BodyNormalisationTest, RunsInLinearTime) {
  std::string body;
  const int kLines = 1000000;
  body.reserve(3 * kLines);
  for (int i = 0; i < kLines; ++i) body += ".\n";
  auto t0 = std::chrono::steady_clock::now();
  const std::string out = BodyOf(body);
  auto elapsed = std::chrono::steady_clock::now() - t0;
  EXPECT_EQ(out.size(), 4u * kLines);
  EXPECT_EQ(out.substr(0, 8), "..\r\n..\r\n");
  EXPECT_LT(elapsed, std::chrono::seconds(5));
}

TEST(ParseFromTest, TheFormsOfAFromValue) {
  CMail m;
  m.ParseFrom("\"Joe Public\" <joe@example.org>");
  EXPECT_EQ(m.m_strFromAddress, "joe@example.org");
  EXPECT_EQ(m.m_strFromName, "Joe Public");
  m.ParseFrom("Joe Public  <joe@example.org>");
  EXPECT_EQ(m.m_strFromName, "Joe Public");
  m.ParseFrom("joe@example.org (Joe (the) Public)");
  EXPECT_EQ(m.m_strFromAddress, "joe@example.org");
  EXPECT_EQ(m.m_strFromName, "Joe (the) Public");
  m.ParseFrom("bare@example.org");
  EXPECT_EQ(m.m_strFromAddress, "bare@example.org");
  EXPECT_EQ(m.m_strFromName, "Joe (the) Public");  // untouched
  m.ParseFrom("\"half <a@b>");
  EXPECT_EQ(m.m_strFromAddress, "a@b");
  EXPECT_EQ(m.m_strFromName, "");
  m.ParseFrom("> odd <");  // brackets the wrong way round
  EXPECT_EQ(m.m_strFromAddress, "");
}

TEST(MessageTest, BuiltInMemoryItHasADateAndCopiesAreStampedAnew) {
  const time_t before = kelpd::platform::Now();
  CMail mail;
  static const std::regex kDate(
      "(Sun|Mon|Tue|Wed|Thu|Fri|Sat), [1-9][0-9]? "
      "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) [0-9]{4} [0-9]{2}:[0-9]{2}:[0-9]{2} "
      "[+-][0-9]{4}");
  EXPECT_TRUE(std::regex_match(mail.m_strDate, kDate)) << mail.m_strDate;
  mail.m_tCreated -= 10;
  mail.m_strSubject = "s";
  mail.m_otherHeaders.AddTail("X-A: 1");
  mail.m_recipients.AddTail("r@example.org");
  mail.SetBody("body");
  CMail copy(mail);
  // The copy is stamped when it is made, a clock second later than the
  // original perhaps, never with the original's time.
  EXPECT_GE(copy.m_tCreated, before);
  EXPECT_LE(copy.m_tCreated, kelpd::platform::Now());
  EXPECT_GT(copy.m_tCreated, mail.m_tCreated);
  EXPECT_EQ(copy.m_strDate, mail.m_strDate);
  EXPECT_EQ(copy.m_strSubject, "s");
  EXPECT_EQ(copy.BodyView(), "body");
  EXPECT_NE(copy.GetBody(), mail.GetBody());
  copy.m_otherHeaders.AddTail("X-B: 2");
  copy.m_recipients.RemoveAll();
  EXPECT_EQ(mail.m_otherHeaders.GetCount(), 1);
  EXPECT_EQ(mail.m_recipients.GetCount(), 1);
  CMail assigned;
  assigned = mail;
  EXPECT_EQ(assigned.BodyView(), "body");
  EXPECT_EQ(assigned.m_recipients.GetHead(), "r@example.org");
}

}  // namespace
