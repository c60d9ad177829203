#include "smtp/SMTPClient.h"

#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/sha.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "config/Configuration.h"
#include "fakes/ScriptedSmtpServer.h"
#include "smtp/ConsoleOutput.h"
#include "smtp/SMTPException.h"
#include "support/Bytes.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

using kelpd::testing::Hex;
using kelpd::testing::LibraryBase64;
using kelpd::testing::ReplyLines;
using kelpd::testing::ScriptedConnection;
using kelpd::testing::ScriptedSmtpServer;

namespace {

// Reads the client's next command line, then sends the reply.
void Answer(ScriptedConnection& c, const std::string& reply) {
  c.ReadLine();
  c.Send(reply);
}

// After the script: keep reading until the client closes, so that every byte
// it sent is recorded.
void Drain(ScriptedConnection& c) { c.Silence(3000); }

// Connects client to the scripted server and reads the greeting.
void Open(CSMTPClient& client, const ScriptedSmtpServer& server, int timeout = 5) {
  ASSERT_TRUE(client.Create(0, kelpd::platform::kSocketStream, nullptr, false));
  client.m_nTimeOut = timeout;
  ASSERT_TRUE(client.Connect("127.0.0.1", server.port()));
  ASSERT_EQ(client.ReadReply(), 220);
}

// Everything the client sent on the first connection, once it has closed.
std::string Sent(CSMTPClient& client, ScriptedSmtpServer& server) {
  client.Close();
  server.Join();
  return server.Received(0);
}

std::string HmacMd5Hex(const std::string& text, const std::string& key) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  HMAC(EVP_md5(), key.data(), static_cast<int>(key.size()),
       reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest, &len);
  return Hex(digest, len);
}

// The suite's SHA-1 variant for a key of at most 64 bytes: the outer hash
// takes the first 16 bytes of the inner digest.
std::string SuiteHmacSha1Hex(const std::string& text, const std::string& key) {
  unsigned char ipad[64] = {}, opad[64] = {};
  std::memcpy(ipad, key.data(), key.size());
  std::memcpy(opad, key.data(), key.size());
  for (int i = 0; i < 64; ++i) {
    ipad[i] ^= 0x36;
    opad[i] ^= 0x5C;
  }
  std::string inner(reinterpret_cast<char*>(ipad), 64);
  inner += text;
  unsigned char inner_digest[20];
  SHA1(reinterpret_cast<const unsigned char*>(inner.data()), inner.size(), inner_digest);
  std::string outer(reinterpret_cast<char*>(opad), 64);
  outer.append(reinterpret_cast<char*>(inner_digest), 16);
  unsigned char digest[20];
  SHA1(reinterpret_cast<const unsigned char*>(outer.data()), outer.size(), digest);
  return Hex(digest, 20);
}

const std::string kGreeting = "220 mx.example.org ESMTP\r\n";

}  // namespace

TEST(CSMTPClient, EhloRefusedFallsBackToHelo) {
  ScriptedSmtpServer server([](ScriptedConnection& c, int) {
    c.Send(kGreeting);
    Answer(c, "500 what?\r\n");
    Answer(c, "250 mx.example.org\r\n");
    Drain(c);
  });
  CSMTPClient client(false);
  Open(client, server);
  client.Hello("client.example.org");
  EXPECT_FALSE(client.m_bAUTH || client.m_bSIZE || client.m_bSTARTTLS);
  EXPECT_EQ(Sent(client, server), "EHLO client.example.org\r\nHELO client.example.org\r\n");
}

TEST(CSMTPClient, HeloRefusedIsTemporaryWhateverTheCode) {
  ScriptedSmtpServer server([](ScriptedConnection& c, int) {
    c.Send(kGreeting);
    Answer(c, "502 no EHLO\r\n");
    Answer(c, "550 go away\r\n");
    Drain(c);
  });
  CSMTPClient client(false);
  Open(client, server);
  try {
    client.Hello("client.example.org");
    FAIL() << "HELO 550 accepted";
  } catch (const CSMTPTemporaryException& e) {
    EXPECT_EQ(e.GetLastLine(), "<<< 550 go away\n");
    // The greeting is part of a failure before MAIL.
    EXPECT_EQ(e.GetLines().GetHead(), "<<< 220 mx.example.org ESMTP\n");
  }
  client.Close();
  server.Join();
}

// The reply arrives in two pieces split inside a line; every line counts for
// the capabilities and the transcript.
TEST(CSMTPClient, MultiLineEhloSplitBetweenReceives) {
  ScriptedSmtpServer server([](ScriptedConnection& c, int) {
    c.Send(kGreeting);
    c.ReadLine();
    c.Send("250-mx.example.org\r\n250-SIZE 10240000\r\n250-AU");
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    c.Send("TH PLAIN LOGIN\r\n250 STARTTLS\r\n");
    Drain(c);
  });
  CSMTPClient client(false);
  Open(client, server);
  client.Hello("client.example.org");
  EXPECT_EQ(client.m_strReply,
            "250-mx.example.org\n250-SIZE 10240000\n250-AUTH PLAIN LOGIN\n250 STARTTLS\n");
  EXPECT_TRUE(client.m_bSIZE);
  EXPECT_TRUE(client.m_bAUTH);
  EXPECT_TRUE(client.m_bPLAIN);
  EXPECT_TRUE(client.m_bLOGIN);
  EXPECT_TRUE(client.m_bSTARTTLS);
  EXPECT_FALSE(client.m_bCRAMMD5);
  EXPECT_FALSE(client.m_bCRAMSHA1);
  EXPECT_EQ(client.m_lstTranscript.GetTail(), "<<< " + client.m_strReply);
  client.Close();
  server.Join();
}

TEST(CSMTPClient, MailFromParameters) {
  ScriptedSmtpServer server(
      [](ScriptedConnection& c, int index) {
        c.Send(kGreeting);
        Answer(c, index == 0 ? "250-mx\r\n250-AUTH PLAIN\r\n250 SIZE\r\n" : "250 mx\r\n");
        Answer(c, "250 ok\r\n");
        Answer(c, "250 ok\r\n");
        Drain(c);
      },
      2);
  CSMTPClient client(false);
  {
    // SIZE and AUTH offered: the size and the xtext of the submitter.
    Open(client, server);
    client.Hello("me");
    client.MailFrom("a@b.example", "x y+z@b.example", 1234);
    client.MailFrom("", "", 1234);
    client.Close();
  }
  {
    // Neither offered: the bare command, also for the null sender.
    Open(client, server);
    client.Hello("me");
    client.MailFrom("a@b.example", "x@b.example", 1234);
    client.MailFrom("", "", 0);
    client.Close();
  }
  server.Join();
  EXPECT_EQ(server.Received(0),
            "EHLO me\r\n"
            "MAIL From:<a@b.example> SIZE=1234 AUTH=x+20y+2Bz@b.example\r\n"
            "MAIL From:<> SIZE=1234\r\n");
  EXPECT_EQ(server.Received(1),
            "EHLO me\r\n"
            "MAIL From:<a@b.example>\r\n"
            "MAIL From:<>\r\n");
}

TEST(CSMTPClient, MailFromEmptiesTheTranscript) {
  ScriptedSmtpServer server([](ScriptedConnection& c, int) {
    c.Send(kGreeting);
    Answer(c, "250 mx\r\n");
    Answer(c, "451 try later\r\n");
    Drain(c);
  });
  CSMTPClient client(false);
  Open(client, server);
  client.Hello("me");
  try {
    client.MailFrom("a@b.example", "", 10);
    FAIL();
  } catch (const CSMTPTemporaryException& e) {
    ASSERT_EQ(e.GetLines().GetCount(), 2);
    EXPECT_EQ(e.GetLines().GetHead(), ">>> MAIL From:<a@b.example>\r\n");
    EXPECT_EQ(e.GetLastLine(), "<<< 451 try later\n");
  }
  client.Close();
  server.Join();
}

TEST(CSMTPClient, RcptReplies) {
  ScriptedSmtpServer server([](ScriptedConnection& c, int) {
    c.Send(kGreeting);
    Answer(c, "251 will forward\r\n");
    Answer(c, "450 mailbox busy\r\n");
    Answer(c, "550 no such user\r\n");
    Drain(c);
  });
  CSMTPClient client(false);
  Open(client, server);
  EXPECT_NO_THROW(client.RcptTo("u@example.org"));
  EXPECT_THROW(client.RcptTo("u@example.org"), CSMTPTemporaryException);
  EXPECT_THROW(client.RcptTo("u@example.org"), CSMTPPermanentException);
  EXPECT_EQ(Sent(client, server),
            "RCPT To:<u@example.org>\r\nRCPT To:<u@example.org>\r\nRCPT To:<u@example.org>\r\n");
}

TEST(CSMTPClient, StartTlsRefused) {
  ScriptedSmtpServer server([](ScriptedConnection& c, int) {
    c.Send(kGreeting);
    Answer(c, "454 TLS not available\r\n");
    Answer(c, "502 not implemented\r\n");
    Drain(c);
  });
  CSMTPClient client(false);
  Open(client, server);
  EXPECT_THROW(client.StartTLS(), CSMTPTemporaryException);
  EXPECT_THROW(client.StartTLS(), CSMTPPermanentException);
  EXPECT_FALSE(client.m_bHandshakeDone);
  EXPECT_EQ(Sent(client, server), "STARTTLS\r\nSTARTTLS\r\n");
}

TEST(CSMTPClient, DataSendsTheMessageUnchanged) {
  std::string message;
  for (int i = 0; message.size() < 20000; ++i) message += "line " + std::to_string(i) + "\r\n";
  message += ".\r\n";
  std::string body;
  ScriptedSmtpServer server([&](ScriptedConnection& c, int) {
    c.Send(kGreeting);
    Answer(c, "354 go ahead\r\n");
    body = c.ReadUntil("\r\n.\r\n");
    c.Send("250 queued\r\n");
    Answer(c, "554 no data today\r\n");
    Drain(c);
  });
  CSMTPClient client(false);
  Open(client, server);
  client.Data(message);
  EXPECT_THROW(client.Data(message), CSMTPPermanentException);
  EXPECT_EQ(Sent(client, server), "DATA\r\n" + message + "DATA\r\n");
  EXPECT_EQ(body, message);
}

TEST(CSMTPClient, DataFinalReplyDecidesTheClass) {
  ScriptedSmtpServer server([&](ScriptedConnection& c, int) {
    c.Send(kGreeting);
    Answer(c, "354 go ahead\r\n");
    c.ReadUntil("\r\n.\r\n");
    c.Send("452 disk full\r\n");
    Drain(c);
  });
  CSMTPClient client(false);
  Open(client, server);
  EXPECT_THROW(client.Data("Subject: x\r\n\r\nbody\r\n.\r\n"), CSMTPTemporaryException);
  client.Close();
  server.Join();
}

TEST(CSMTPClient, QuitTellsWhetherTheServerSaidGoodbye) {
  ScriptedSmtpServer server([](ScriptedConnection& c, int) {
    c.Send(kGreeting);
    Answer(c, "221 bye\r\n");
    Answer(c, "500 what\r\n");
    Drain(c);
  });
  CSMTPClient client(false);
  Open(client, server);
  EXPECT_TRUE(client.Quit());
  EXPECT_FALSE(client.Quit());
  client.Close();
  server.Join();
}

TEST(CSMTPClient, PeerClosingWhileReplyAwaitedIs10053) {
  ScriptedSmtpServer server([](ScriptedConnection& c, int) {
    c.Send(kGreeting);
    c.ReadLine();
    c.Send("250-half a reply\r\n");
    c.Close();
  });
  CSMTPClient client(false);
  Open(client, server);
  try {
    client.Hello("me");
    FAIL();
  } catch (const CSocketException& e) {
    EXPECT_EQ(e.m_nError, 10053);
  }
  client.Close();
  server.Join();
}

TEST(CSMTPClient, SilentPeerTimesOutWith10053) {
  ScriptedSmtpServer server([](ScriptedConnection& c, int) {
    c.Send(kGreeting);
    c.Silence(5000);
  });
  CSMTPClient client(false);
  Open(client, server, 1);
  auto start = std::chrono::steady_clock::now();
  try {
    client.Quit();
    FAIL();
  } catch (const CSocketException& e) {
    EXPECT_EQ(e.m_nError, 10053);
  }
  double waited = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  EXPECT_GE(waited, 0.9);
  EXPECT_LT(waited, 4.0);
  client.Close();
  server.Join();
}

// A server that sends without end is cut off at the reader's bounds.
TEST(CSMTPClient, EndlessReplyEndsTheSession) {
  ScriptedSmtpServer server([](ScriptedConnection& c, int) {
    c.Send(kGreeting);
    c.ReadLine();
    std::string line = "250-" + std::string(1000, 'x') + "\r\n";
    for (int i = 0; i < 200; ++i) c.Send(line);
    Drain(c);
  });
  CSMTPClient client(false);
  Open(client, server);
  try {
    client.Hello("me");
    FAIL();
  } catch (const CSocketException& e) {
    EXPECT_EQ(e.m_nError, 10053);
  }
  client.Close();
  server.Join();
}

// A server that keeps a reply open by trickling bytes that never finish it
// (empty lines, or a byte at a time a little faster than the wait limit) is
// held to one limit for the whole reply: the client hangs up long before the
// server's script runs out.
TEST(CSMTPClient, TricklingReplyEndsAtTheReplysWaitLimit) {
  struct Case {
    const char* name;
    std::string piece;
    int every_ms;
    int timeout;
  };
  for (const Case& k :
       {Case{"empty lines", "\r\n", 100, 1}, Case{"one byte a second", "2", 1000, 2}}) {
    SCOPED_TRACE(k.name);
    std::atomic<bool> hung_up{false};
    ScriptedSmtpServer server([&](ScriptedConnection& c, int) {
      c.Send(kGreeting);
      c.ReadLine();
      for (int i = 0; i < 20000 / k.every_ms && !hung_up; ++i) {
        c.Send(k.piece);
        hung_up = c.ClientClosed(k.every_ms);
      }
    });
    CSMTPClient client(false);
    Open(client, server, k.timeout);
    try {
      client.Hello("me");
      FAIL() << "a reply was taken";
    } catch (const CSocketException& e) {
      EXPECT_EQ(e.m_nError, 10053);
    }
    client.Close();
    server.Join(30000);
    EXPECT_TRUE(hung_up);
  }
}

// A line of three characters or fewer has no continuation mark: it ends the reply.
TEST(CSMTPClient, ShortLineIsALastLine) {
  ScriptedSmtpServer server([](ScriptedConnection& c, int) {
    c.Send(kGreeting);
    Answer(c, "221\r\n");
    Drain(c);
  });
  CSMTPClient client(false);
  Open(client, server);
  EXPECT_TRUE(client.Quit());
  EXPECT_EQ(client.m_strReply, "221\n");
  client.Close();
  server.Join();
}

// ---- authentication ----

namespace {

const std::string kChallengeText = "<1896.697170952@mx.example.org>";

std::string PlainBuffer(const std::string& user, const std::string& password) {
  return std::string(1, '\0') + user + std::string(1, '\0') + password;
}

// EHLO offering the given mechanisms; then each command gets its reply.
ScriptedSmtpServer::Handler AuthScript(std::string mechanisms, std::vector<std::string> replies) {
  return [mechanisms, replies](ScriptedConnection& c, int) {
    c.Send(kGreeting);
    Answer(c, "250-mx.example.org\r\n250 AUTH " + mechanisms + "\r\n");
    for (const std::string& r : replies) Answer(c, r);
    Drain(c);
  };
}

}  // namespace

TEST(SMTPAuthentication, CramMd5FirstThenPlainAfterRefusal) {
  std::string challenge = "334 " + LibraryBase64(kChallengeText) + "\r\n";
  ScriptedSmtpServer server(
      AuthScript("LOGIN PLAIN CRAM-MD5", {challenge, "535 no\r\n", "235 ok\r\n"}));
  CSMTPClient client(false);
  Open(client, server);
  client.Hello("me");
  EXPECT_TRUE(kelpd::smtp::Authenticate(client, "user", "pass:w@rd", true));
  EXPECT_TRUE(client.m_bAuthenticated);
  EXPECT_EQ(Sent(client, server),
            "EHLO me\r\nAUTH CRAM-MD5\r\n" +
                LibraryBase64("user " + HmacMd5Hex(kChallengeText, "pass:w@rd")) +
                "\r\nAUTH PLAIN " + LibraryBase64(PlainBuffer("user", "pass:w@rd")) + "\r\n");
}

TEST(SMTPAuthentication, RefusedCramSha1WithoutFallbackGoesOnUnauthenticated) {
  std::string challenge = "334 " + LibraryBase64(kChallengeText) + "\r\n";
  ScriptedSmtpServer server(
      AuthScript("CRAM-SHA1", {challenge, "535 refused\r\n", "250 sender ok\r\n"}));
  CSMTPClient client(false);
  Open(client, server);
  client.Hello("me");
  EXPECT_FALSE(kelpd::smtp::Authenticate(client, "user", "secret", true));
  EXPECT_FALSE(client.m_bAuthenticated);
  client.MailFrom("a@b.example", "a@b.example", 0);
  EXPECT_EQ(Sent(client, server),
            "EHLO me\r\nAUTH CRAM-SHA1\r\n" +
                LibraryBase64("user " + SuiteHmacSha1Hex(kChallengeText, "secret")) +
                "\r\nMAIL From:<a@b.example> AUTH=a@b.example\r\n");
}

TEST(SMTPAuthentication, ChallengeCode330) {
  std::string challenge330 = "330 " + LibraryBase64(kChallengeText) + "\r\n";
  {
    SCOPED_TRACE("CRAM-MD5 takes 330");
    ScriptedSmtpServer server(AuthScript("CRAM-MD5", {challenge330, "235 ok\r\n"}));
    CSMTPClient client(false);
    Open(client, server);
    client.Hello("me");
    EXPECT_TRUE(kelpd::smtp::Authenticate(client, "u", "p", true));
    EXPECT_EQ(Sent(client, server), "EHLO me\r\nAUTH CRAM-MD5\r\n" +
                                        LibraryBase64("u " + HmacMd5Hex(kChallengeText, "p")) +
                                        "\r\n");
  }
  {
    SCOPED_TRACE("LOGIN takes 330");
    ScriptedSmtpServer server(
        AuthScript("LOGIN", {"330 VXNlcm5hbWU6\r\n", "330 UGFzc3dvcmQ6\r\n", "235 ok\r\n"}));
    CSMTPClient client(false);
    Open(client, server);
    client.Hello("me");
    EXPECT_TRUE(kelpd::smtp::Authenticate(client, "user", "pw", true));
    EXPECT_EQ(Sent(client, server), "EHLO me\r\nAUTH LOGIN\r\n" + LibraryBase64("user") + "\r\n" +
                                        LibraryBase64("pw") + "\r\n");
  }
}

// CRAM-SHA1 does not take 330: the open exchange is cancelled with "*" and its
// answer read before the fallback or MAIL, which the server would otherwise
// take as the response.
TEST(SMTPAuthentication, RefusedChallengeIsCancelledBeforeTheNextCommand) {
  std::string challenge330 = "330 " + LibraryBase64(kChallengeText) + "\r\n";
  {
    SCOPED_TRACE("PLAIN is the fallback");
    ScriptedSmtpServer server(
        AuthScript("CRAM-SHA1 PLAIN", {challenge330, "501 cancelled\r\n", "235 ok\r\n"}));
    CSMTPClient client(false);
    Open(client, server);
    client.Hello("me");
    EXPECT_TRUE(kelpd::smtp::Authenticate(client, "u", "p", true));
    EXPECT_EQ(Sent(client, server), "EHLO me\r\nAUTH CRAM-SHA1\r\n*\r\nAUTH PLAIN AHUAcA==\r\n");
  }
  {
    SCOPED_TRACE("no fallback: MAIL is answered as MAIL");
    ScriptedSmtpServer server(
        AuthScript("CRAM-SHA1", {challenge330, "501 cancelled\r\n", "250 sender ok\r\n"}));
    CSMTPClient client(false);
    Open(client, server);
    client.Hello("me");
    EXPECT_FALSE(kelpd::smtp::Authenticate(client, "u", "p", true));
    EXPECT_NO_THROW(client.MailFrom("a@b.example", "", 0));
    EXPECT_EQ(Sent(client, server),
              "EHLO me\r\nAUTH CRAM-SHA1\r\n*\r\nMAIL From:<a@b.example>\r\n");
  }
}

// Without TLS a password travels only where allowed: PLAIN and LOGIN, first
// or as the fallback, fail the host instead; CRAM sends no password.
TEST(SMTPAuthentication, NoPasswordInTheClearUnlessAllowed) {
  std::string challenge = "334 " + LibraryBase64(kChallengeText) + "\r\n";
  struct Case {
    const char* mechanisms;
    std::vector<std::string> replies;
    std::string sent;
  };
  for (const Case& k :
       {Case{"PLAIN LOGIN", {}, "EHLO me\r\n"},
        Case{"CRAM-MD5 PLAIN",
             {challenge, "535 no\r\n"},
             "EHLO me\r\nAUTH CRAM-MD5\r\n" +
                 LibraryBase64("joe " + HmacMd5Hex(kChallengeText, "pw")) + "\r\n"}}) {
    SCOPED_TRACE(k.mechanisms);
    ScriptedSmtpServer server(AuthScript(k.mechanisms, k.replies));
    CSMTPClient client(false);
    Open(client, server);
    client.Hello("me");
    try {
      kelpd::smtp::Authenticate(client, "joe", "pw", false);
      FAIL() << "authenticated without TLS";
    } catch (const CSMTPTemporaryException& e) {
      EXPECT_EQ(e.GetLastLine(), "refusing to send the password for joe without TLS");
    }
    EXPECT_EQ(Sent(client, server), k.sent);
  }
}

TEST(SMTPAuthentication, RefusedFallbackIsTemporaryFailure) {
  ScriptedSmtpServer server(AuthScript("PLAIN LOGIN", {"535 no\r\n", "535 no either\r\n"}));
  CSMTPClient client(false);
  Open(client, server);
  client.Hello("me");
  EXPECT_THROW(kelpd::smtp::Authenticate(client, "u", "p", true), CSMTPTemporaryException);
  EXPECT_FALSE(client.m_bAuthenticated);
  client.Close();
  server.Join();
}

TEST(SMTPAuthentication, NoCredentialsOrNoKnownMechanismSendsNoAuth) {
  ScriptedSmtpServer server(AuthScript("GSSAPI XOAUTH2", {}));
  CSMTPClient client(false);
  Open(client, server);
  client.Hello("me");
  EXPECT_FALSE(kelpd::smtp::Authenticate(client, "u", "p", true));
  EXPECT_FALSE(kelpd::smtp::Authenticate(client, "", "p", true));
  EXPECT_EQ(Sent(client, server), "EHLO me\r\n");
}

// Connect starts a new session: the flag of an earlier connection's AUTH must
// not keep the AUTH= parameter off a later MAIL.
TEST(SMTPAuthentication, AuthenticatedFlagBelongsToOneConnection) {
  ScriptedSmtpServer server(
      [](ScriptedConnection& c, int index) {
        c.Send(kGreeting);
        Answer(c, "250-mx\r\n250 AUTH PLAIN\r\n");
        if (index == 0) Answer(c, "235 ok\r\n");
        Answer(c, "250 ok\r\n");
        Drain(c);
      },
      2);
  CSMTPClient client(false);
  Open(client, server);
  client.Hello("me");
  ASSERT_TRUE(kelpd::smtp::Authenticate(client, "u", "p", true));
  client.MailFrom("a@b.example", "sub@b.example", 0);
  client.Close();
  Open(client, server);
  EXPECT_FALSE(client.m_bAuthenticated);
  client.Hello("me");
  client.MailFrom("a@b.example", "sub@b.example", 0);
  client.Close();
  server.Join();
  EXPECT_EQ(server.Received(0), "EHLO me\r\nAUTH PLAIN AHUAcA==\r\nMAIL From:<a@b.example>\r\n");
  EXPECT_EQ(server.Received(1), "EHLO me\r\nMAIL From:<a@b.example> AUTH=sub@b.example\r\n");
}

// ---- console dialogue and debug log ----

TEST(CSMTPClient, DialogueOnStandardOutputAndDebugLogLevels) {
  kelpd::testing::TempDir dir;
  ASSERT_TRUE(Config().Load(dir.WriteFile("kelpd.cfg", "DebugLogging: 2\n")));
  ScriptedSmtpServer server([](ScriptedConnection& c, int) {
    c.Send(kGreeting);
    Answer(c, "250-mx.example.org\r\n250 SIZE\r\n");
    Drain(c);
  });
  kelpd::testing::LogCapture log;
  std::string out, err;
  kelpd::smtp::CaptureConsoleForTests(&out, &err);
  {
    CSMTPClient client(true);
    EXPECT_EQ(client.m_nDebugLogging, 2);
    Open(client, server);
    client.EchoReply();
    client.Hello("me");
    client.m_nDebugLogging = 1;  // level 1: whole replies only
    client.m_bVerbose = false;   // commands are shown even so; replies are not
    client.m_nTimeOut = 1;
    EXPECT_THROW(client.Hello("me"), CSocketException);  // the server went quiet
    client.Close();
  }
  kelpd::smtp::CaptureConsoleForTests(nullptr, nullptr);
  ResetConfigForTests();
  server.Join();
  EXPECT_EQ(out,
            "Trying to connect to 127.0.0.1...\n"
            "Connection to 127.0.0.1 established\n" +
                kGreeting.substr(0, kGreeting.size() - 2) + "\n" + "EHLO me\r\nEHLO me\r\n");
  EXPECT_EQ(log.Count("C: EHLO me\r\n"), 2);
  // Level 2: the last line of each receive, then the whole reply.
  EXPECT_EQ(log.Count("S: 250 SIZE\n"), 1);
  EXPECT_EQ(log.Count("S: 250-mx.example.org\n250 SIZE\n"), 1);
  EXPECT_EQ(log.Count("trying to connect to 127.0.0.1"), 1);
  EXPECT_EQ(log.Count("connection to 127.0.0.1 established"), 1);
}
