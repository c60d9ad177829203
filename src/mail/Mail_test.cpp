#include "mail/Mail.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/FileLock.h"
#include "support/ForeignLock.h"
#include "support/TempDir.h"

namespace {

using kelpd::platform::FileResult;
using kelpd::platform::LockResult;
using kelpd::platform::NamedLock;
using kelpd::testing::ReadFile;
using kelpd::testing::TempDir;

std::string DataFile(const std::string& name) {
  return ReadFile(std::string(KELPD_SOURCE_DIR) + "/tests/data/mail/" + name);
}

CMail Parse(const std::string& bytes, bool headersOnly = false) {
  CMail mail;
  CMemorySource source(bytes);
  EXPECT_TRUE(mail.ReadFrom(source, headersOnly));
  return mail;
}

std::vector<std::string> Recipients(const CMail& mail) {
  return std::vector<std::string>(mail.m_recipients.begin(), mail.m_recipients.end());
}

std::string Text(const CMail& mail, int kind) {
  std::string text;
  EXPECT_TRUE(mail.BuildText(text, kind));
  return text;
}

// Every test gets its own lock directory and a short lock wait.
class MailFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("MAILLOCKDIR", dir_.Join("locks").c_str(), 1);
    CMail::SetLockWaitMs(200);
  }
  void TearDown() override {
    CMail::SetLockWaitMs(10000);
    ::unsetenv("MAILLOCKDIR");
  }
  int CountEntries(const std::string& d) {
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator(d)) n += e.is_regular_file() ? 1 : 0;
    return n;
  }
  TempDir dir_;
};

TEST(EnvelopeTest, EachFallbackRecipientNameIsNormalised) {
  for (const char* name :
       {"X-Delivered-To", "X-Original-To", "X-Rcpt-To", "X-Real-To", "x-receiver"}) {
    CMail mail = Parse(std::string(name) + ": Joe <Joe.User@EXAMPLE.Org>\r\n\r\nbody");
    EXPECT_EQ(Recipients(mail), std::vector<std::string>{"Joe.User@example.org"}) << name;
    EXPECT_EQ(mail.m_strTo, "<Joe.User@example.org>") << name;
  }
  // The first fallback name met decides.
  CMail mail = Parse("X-Original-To: a@x\r\nX-Rcpt-To: b@x\r\nDelivered-To: c@x\r\n\r\n");
  EXPECT_EQ(Recipients(mail), std::vector<std::string>{"a@x"});
}

TEST(EnvelopeTest, DeliveredToTakesTheLastWord) {
  CMail mail = Parse("Delivered-To: alias <Bob@Example.NET>\r\nTo: t@x\r\n\r\n");
  EXPECT_EQ(Recipients(mail), std::vector<std::string>{"Bob@example.net"});
  EXPECT_EQ(mail.m_strTo, "t@x");
}

TEST(EnvelopeTest, SenderFallbacksWithoutEnvelopeLines) {
  CMail mail = Parse("Return-Path: <Bounce@Lists.Example>\r\nSubject: x\r\n\r\n");
  EXPECT_EQ(mail.GetSender(), "Bounce@lists.example");
  EXPECT_EQ(mail.m_strReturnPath, "Bounce@lists.example");
  EXPECT_TRUE(mail.m_recipients.IsEmpty());
  CMail xsender = Parse("X-Sender: first@x\r\nX-Sender: second@x\r\nReturn-Path: <rp@x>\r\n\r\n");
  EXPECT_EQ(xsender.GetSender(), "first@x");
  EXPECT_EQ(xsender.m_strReturnPath, "rp@x");
  EXPECT_EQ(xsender.m_strFromAddress, "first@x");
}

TEST(EnvelopeTest, TheFirstEnvelopeLinesCannotBeOverriddenFurtherDown) {
  CMail mail = Parse(
      "X-Envelope-From: <sender@origin.example>\r\n"
      "X-Envelope-To: <rcpt@local.example>\r\n"
      "Subject: hello\r\n"
      "X-Envelope-To: victim@elsewhere.example\r\n"
      "Envelope-To: other@elsewhere.example\r\n"
      "Delivered-To: someone@elsewhere.example\r\n"
      "X-Envelope-From: forged@elsewhere.example\r\n"
      "X-Sender: forged2@elsewhere.example\r\n"
      "Return-Path: <forged3@elsewhere.example>\r\n"
      "\r\nbody");
  EXPECT_EQ(Recipients(mail), std::vector<std::string>{"rcpt@local.example"});
  EXPECT_EQ(mail.GetSender(), "sender@origin.example");
  EXPECT_EQ(mail.m_strReturnPath, "sender@origin.example");
  EXPECT_TRUE(mail.m_otherHeaders.IsEmpty());

  // An empty envelope line still decides: a null sender, no recipients.
  CMail null_sender = Parse(
      "X-Envelope-From: <>\r\nX-Envelope-To:\r\nX-Original-To: late@x\r\nReturn-Path: <rp@x>\r\n"
      "\r\n");
  EXPECT_EQ(null_sender.GetSender(), "");
  EXPECT_EQ(null_sender.m_strReturnPath, "");
  EXPECT_TRUE(null_sender.m_recipients.IsEmpty());

  // Envelope-To wherever it stands beats fallback names met before it.
  CMail later = Parse("X-Original-To: a@x\r\nEnvelope-To: b@x, c@x\r\n\r\n");
  EXPECT_EQ(Recipients(later), (std::vector<std::string>{"b@x", "c@x"}));
}

TEST(HeaderTest, FoldedLinesAreKeptAndWrittenBackUnchanged) {
  CMail mail = Parse("Subject: first part\r\n   second part  \r\nX-Long: a\r\n\tb\r\n\r\nbody");
  EXPECT_EQ(mail.m_strSubject, "first part\r\n\tsecond part");
  const std::string text = Text(mail, PlainHeaders);
  EXPECT_NE(text.find("Subject: first part\r\n\tsecond part\r\n"), std::string::npos);
  EXPECT_NE(text.find("X-Long: a\r\n\tb\r\n"), std::string::npos);
  EXPECT_EQ(Parse(text).m_strSubject, mail.m_strSubject);
}

TEST(HeaderTest, ACarriageReturnOrZeroByteCannotStartAHeaderLine) {
  using namespace std::string_literals;
  CMail mail = Parse("Subject: a\rX-Extra: b\r\nTo: t\0@x\r\n\r\nbody"s);
  EXPECT_EQ(mail.m_strSubject, "a X-Extra: b");
  EXPECT_EQ(mail.m_strTo, "t@x");
  const std::string text = Text(mail, PlainHeaders);
  const std::string header = text.substr(0, text.find("\r\n\r\n"));
  EXPECT_EQ(header.find('\0'), std::string::npos);
  for (size_t cr = header.find('\r'); cr != std::string::npos; cr = header.find('\r', cr + 1))
    EXPECT_EQ(header[cr + 1], '\n') << "a lone CR at " << cr;
  EXPECT_EQ(text.find("\nX-Extra"), std::string::npos);
}

TEST(CopyTest, APerRecipientCopyLeavesTheRecipientListBehind) {
  CMail mail = Parse("X-Envelope-From: s@x\r\nX-Envelope-To: a@x, b@x\r\nSubject: s\r\n\r\nbody");
  CMail copy = mail.CopyWithoutRecipients();
  EXPECT_TRUE(copy.m_recipients.IsEmpty());
  EXPECT_EQ(Recipients(mail), (std::vector<std::string>{"a@x", "b@x"}));
  EXPECT_EQ(copy.GetSender(), "s@x");
  EXPECT_EQ(copy.m_strSubject, "s");
  EXPECT_EQ(copy.BodyView(), "body");
  copy.SetRecipients("b@x");
  EXPECT_TRUE(
      Text(copy, EnvelopeHeaders).starts_with("X-Envelope-From: s@x\r\nX-Envelope-To: b@x\r\n"));
}

TEST(HeaderTest, AFileWithoutColonIsAllBody) {
  const std::string raw = "no header here\r\njust text\r\n\r\nmore\r\n";
  CMail mail = Parse(raw);
  EXPECT_EQ(mail.BodyView(), raw);
  CMail after_junk = Parse("junk line\r\nSubject: s\r\n\r\nbody");
  EXPECT_EQ(after_junk.m_strSubject, "s");
  EXPECT_EQ(after_junk.BodyView(), "body");
}

TEST(HeaderTest, OversizedHeaderSectionsBecomeBody) {
  // A logical line over the limit: it and everything after it is body.
  const std::string huge(CMessage::kMaxHeaderLineBytes + 10, 'v');
  const std::string raw = "Subject: s\r\nX-Huge: " + huge + "\r\nX-After: 1\r\n\r\nb";
  CMail mail = Parse(raw);
  EXPECT_EQ(mail.m_strSubject, "s");
  EXPECT_TRUE(mail.m_otherHeaders.IsEmpty());
  EXPECT_EQ(mail.BodyView(), raw.substr(12));

  // So does one made of many continuation lines.
  std::string folded = "Subject: s\r\nX-Folded: x\r\n";
  while (folded.size() < CMessage::kMaxHeaderLineBytes + 100)
    folded += " yyyyyyyyyyyyyyyyyyyyyyyy\r\n";
  folded += "\r\nb";
  EXPECT_EQ(Parse(folded).BodyView(), folded.substr(12));

  // Header lines beyond the count limit.
  std::string many;
  for (int i = 0; i < CMessage::kMaxHeaderLines; ++i) many += "X-N: 1\r\n";
  const size_t limit_offset = many.size();
  many += "Subject: late\r\n\r\nb";
  CMail counted = Parse(many);
  EXPECT_EQ(counted.m_otherHeaders.GetCount(), CMessage::kMaxHeaderLines);
  EXPECT_EQ(counted.m_strSubject, "");
  EXPECT_EQ(counted.BodyView(), many.substr(limit_offset));
}

TEST(WriteTest, HeaderKindsAndTheOrderOfLines) {
  CMail mail = Parse(
      "X-Original-To: r1@x, r2@x\r\nReturn-Path: <rp@x>\r\nX-Z: z\r\nReply-To: <RT@X.Example>\r\n"
      "Precedence: bulk\r\nFrom: Name <f@x>\r\nReceived: one\r\nX-A: a\r\nMessage-ID: <Id@Host>\r\n"
      "\r\nbody");
  mail.AddReceived("zero");
  mail.SetResentFor("orig@x");
  EXPECT_EQ(Text(mail, EnvelopeHeaders),
            "X-Envelope-From: rp@x\r\nX-Envelope-To: r1@x\r\n"
            "Received: zero\r\nReceived: one\r\nMessage-ID: <Id@host>\r\n"
            "From: \"Name\" <f@x>\r\nTo: <r1@x>\r\nDate: " +
                mail.m_strDate +
                "\r\n"
                "X-Z: z\r\nX-A: a\r\nReply-To: <RT@x.example>\r\nPrecedence: bulk\r\n"
                "X-Resent-For: orig@x\r\n\r\nbody");
  EXPECT_TRUE(
      Text(mail, ReturnPathHeader).starts_with("Return-Path: <rp@x>\r\nReceived: zero\r\n"));
  EXPECT_TRUE(Text(mail, PlainHeaders).starts_with("Received: zero\r\n"));

  CMail empty;
  empty.m_strDate.clear();
  EXPECT_EQ(Text(empty, EnvelopeHeaders), "\r\n");
  EXPECT_EQ(Text(empty, ReturnPathHeader), "Return-Path: <>\r\n\r\n");
  empty.SetRecipients("<a@x>");  // a null sender is still written
  EXPECT_EQ(Text(empty, EnvelopeHeaders),
            "X-Envelope-From: \r\nX-Envelope-To: a@x\r\nTo: <a@x>\r\n\r\n");
}

TEST(WriteTest, ATrailingDotLineOfTheBodyIsNotWritten) {
  CMail mail;
  mail.SetBody("text\r\n.\r\n");
  EXPECT_TRUE(Text(mail, PlainHeaders).ends_with("\r\n\r\ntext"));
  mail.SetBody(".\r\n");  // shorter than five bytes: kept
  EXPECT_TRUE(Text(mail, PlainHeaders).ends_with("\r\n\r\n.\r\n"));
}

TEST(WriteTest, EnvelopeSettersKeepTheirFieldsInStep) {
  CMail mail;
  mail.SetReturnPath("rp@x");
  EXPECT_EQ(mail.GetSender(), "rp@x");
  EXPECT_EQ(mail.m_strFromAddress, "rp@x");
  mail.SetEnvelopeSender("s@x");
  EXPECT_EQ(mail.m_strReturnPath, "s@x");
  EXPECT_EQ(mail.m_strFromAddress, "rp@x");
  mail.SetRecipients("<a@x>; b@x ,, c@x ");
  EXPECT_EQ(Recipients(mail), (std::vector<std::string>{"a@x", "b@x", "c@x"}));
  EXPECT_EQ(mail.GetFirstRecipient(), "a@x");
  mail.SetRecipients("d@x");
  EXPECT_EQ(mail.GetFirstRecipient(), "d@x");
  EXPECT_EQ(mail.m_strTo, "<a@x>");
  mail.SetRecipients("");
  EXPECT_EQ(mail.GetFirstRecipient(), "");
}

TEST(ReadTest, BareLineEndsZeroBytesAndLoneDotsOfTheSampleAreNormalised) {
  CMail mail = Parse(DataFile("bare-lf.eml"));
  EXPECT_EQ(mail.m_strSubject, "bare LF  and NUL");  // no NUL reaches a header
  // The lone CR behind the second dot makes it a line of its own too.
  EXPECT_EQ(mail.BodyView(), "..\r\nline\r\n..\r\nlast\r\n..");
}

TEST(ReadTest, ARealisticMailSurvivesAReadWriteRoundTrip) {
  const std::string raw = DataFile("multipart.eml");
  ASSERT_FALSE(raw.empty());
  CMail mail = Parse(raw);
  EXPECT_EQ(mail.GetSender(), "Alice.Sender@mail.example.org");
  EXPECT_EQ(Recipients(mail), std::vector<std::string>{"bob@example.net"});
  EXPECT_EQ(mail.m_received.GetCount(), 2);
  EXPECT_EQ(mail.m_strBoundary, "----=_Part_42_1.1");
  EXPECT_EQ(mail.GetMessageID(), "20260303101455.ABC123@mail.example.org");
  EXPECT_EQ(mail.m_strFromName, "Alice Sender");
  EXPECT_EQ(mail.m_strReplyTo, "figures@lists.example.org");
  EXPECT_EQ(mail.m_strSubject, "Quarterly figures\r\n\tand the minutes of Tuesday");
  const std::vector<std::string> others(mail.m_otherHeaders.begin(), mail.m_otherHeaders.end());
  EXPECT_EQ(others, (std::vector<std::string>{
                        "X-Spam-Score: 0.3", "List-Id: Figures <figures.lists.example.org>",
                        "X-Mailer: Example Mail 9.1",
                        "DKIM-Signature: v=1; a=rsa-sha256; d=example.org; s=sel;\r\n"
                        "\th=from:to:subject; bh=47DEQpj8HBSa+/TImW+5JCeuQeRkm5NMpJWZG3hSuFU=;\r\n"
                        "\tb=dGVzdA==",
                        "X-Custom-Empty: "}));
  // The body is the file's body with its one lone-dot line doubled.
  const std::string file_body = raw.substr(raw.find("\r\n\r\n") + 4);
  std::string expected_body = file_body;
  expected_body.replace(expected_body.find("\r\n.\r\n"), 5, "\r\n..\r\n");
  EXPECT_EQ(mail.BodyView(), expected_body);

  // Written and read again, it stays the same mail, byte for byte.
  const std::string once = Text(mail, EnvelopeHeaders);
  CMail again = Parse(once);
  EXPECT_EQ(Text(again, EnvelopeHeaders), once);
  EXPECT_EQ(again.GetSender(), mail.GetSender());
  EXPECT_EQ(again.BodyView(), mail.BodyView());
  const std::vector<std::string> others_again(again.m_otherHeaders.begin(),
                                              again.m_otherHeaders.end());
  EXPECT_EQ(others_again, others);
}

// A source whose reads fail once the header section has been read, or that
// claims more bytes than it holds (a file that shrank).
class FailingSource : public CByteSource {
 public:
  FailingSource(std::string bytes, int64_t fail_from, int64_t claimed)
      : bytes_(std::move(bytes)), fail_from_(fail_from), claimed_(claimed) {}
  int64_t Size() const override { return claimed_; }
  int64_t ReadAt(int64_t offset, char* buf, size_t len) override {
    if (offset >= fail_from_) {
      error_ = EIO;
      return -1;
    }
    CMemorySource inner(std::string_view(bytes_).substr(0, static_cast<size_t>(fail_from_)));
    return inner.ReadAt(offset, buf, len);
  }

 private:
  std::string bytes_;
  int64_t fail_from_, claimed_;
};

TEST(ReadTest, ABodyThatCannotBeReadWholeFailsTheRead) {
  const std::string raw = "Subject: s\r\n\r\n" + std::string(100000, 'b');
  CMail mail;
  FailingSource failing(raw, 70000, static_cast<int64_t>(raw.size()));
  EXPECT_FALSE(mail.ReadFrom(failing, false));
  EXPECT_EQ(mail.GetBodyLength(), 0);
  CMail shrunk;
  FailingSource longer(raw, static_cast<int64_t>(raw.size()) + 1000,
                       static_cast<int64_t>(raw.size()) + 10);
  EXPECT_FALSE(shrunk.ReadFrom(longer, false));
  // Headers alone are still fine.
  CMail headers;
  EXPECT_TRUE(headers.ReadFrom(failing, true));
  EXPECT_EQ(headers.m_strSubject, "s");
}

TEST_F(MailFileTest, SaveAndLoadRoundTripAndCreateNewRefusesAnExistingFile) {
  CMail mail = Parse("X-Envelope-From: s@x\r\nX-Envelope-To: r@x\r\nSubject: hi\r\n\r\nbody\r\n");
  const std::string path = dir_.Join("1.eml");
  FileResult err;
  ASSERT_TRUE(mail.Save(path, ReturnPathHeader, err, true));
  const std::string written = ReadFile(path);
  EXPECT_TRUE(written.starts_with("Return-Path: <s@x>\r\n"));

  CMail other = Parse("Subject: other\r\n\r\nx");
  FileResult exists;
  EXPECT_FALSE(other.Save(path, ReturnPathHeader, exists, true));
  EXPECT_EQ(exists.error(), kelpd::platform::kFileExistsErrno);
  EXPECT_EQ(ReadFile(path), written);
  EXPECT_EQ(CountEntries(dir_.path()), 1);  // no temporary file left behind

  ASSERT_TRUE(other.Save(path, PlainHeaders, err, false));  // replacing is allowed
  CMail loaded;
  FileResult load_err;
  ASSERT_TRUE(loaded.Load(path, load_err, false));
  EXPECT_EQ(loaded.m_strSubject, "other");
  EXPECT_EQ(loaded.BodyView(), "x");
  EXPECT_FALSE(load_err.HasCause());
}

TEST_F(MailFileTest, LoadFailuresAndTheirFileErrors) {
  CMail mail;
  FileResult err;
  EXPECT_FALSE(mail.Load(dir_.Join("missing.eml"), err, false));
  EXPECT_TRUE(err.Is(kelpd::platform::kFileCauseNotFound));
  const std::string tiny = dir_.WriteFile("tiny.eml", "\r\n");
  FileResult tiny_err;
  EXPECT_FALSE(mail.Load(tiny, tiny_err, false));
  EXPECT_FALSE(tiny_err.HasCause());
  EXPECT_EQ(tiny_err.error(), ENODATA);  // broken, not busy
  FileResult save_err;
  EXPECT_FALSE(mail.Save(dir_.Join("nodir/1.eml"), PlainHeaders, save_err, false));
  EXPECT_TRUE(save_err.Is(kelpd::platform::kFileCauseNotFound));
}

TEST_F(MailFileTest, FilesWithOneBaseNameInTwoDirectoriesShareOneLock) {
  const std::string a = dir_.WriteFile("queue/same.eml", "Subject: a\r\n\r\nbody");
  const std::string b = dir_.WriteFile("outgoing/same.eml", "Subject: b\r\n\r\nbody");
  EXPECT_EQ(CMail::LockNameOf(a), "same");
  NamedLock held(CMail::LockNameOf(b));
  ASSERT_EQ(held.Lock(0), LockResult::kAcquired);
  CMail mail;
  FileResult err;
  auto t0 = std::chrono::steady_clock::now();
  EXPECT_FALSE(mail.Load(a, err, false));
  EXPECT_GE(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(190));
  EXPECT_FALSE(err.HasCause());
  held.Unlock();
  EXPECT_TRUE(mail.Load(a, err, false));
  EXPECT_EQ(mail.m_strSubject, "a");
}

TEST_F(MailFileTest, ALockHeldByAnotherProcessMakesLoadFailWithAClearFileError) {
  const std::string path = dir_.WriteFile("queue/held.eml", "Subject: a\r\n\r\nbody");
  kelpd::testing::ForeignLock holder("held");
  ASSERT_TRUE(holder.held());
  CMail mail;
  FileResult err;
  EXPECT_FALSE(mail.Load(path, err, true));
  EXPECT_FALSE(err.HasCause());
  EXPECT_EQ(err.error(), ETIMEDOUT);
  FileResult save_err;
  EXPECT_FALSE(mail.Save(path, PlainHeaders, save_err, false));
  EXPECT_FALSE(save_err.HasCause());
  EXPECT_EQ(save_err.error(), ETIMEDOUT);
  EXPECT_EQ(ReadFile(path), "Subject: a\r\n\r\nbody");
  ASSERT_TRUE(holder.Release());
  EXPECT_TRUE(mail.Load(path, err, true));
}

}  // namespace
