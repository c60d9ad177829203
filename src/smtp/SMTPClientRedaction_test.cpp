// A failed authenticated session must not leave the user's password, in any
// encoding, on standard output, in the log, in the transcript or in the
// failure report that is mailed back to the sender.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "fakes/ScriptedSmtpServer.h"
#include "smtp/ConsoleOutput.h"
#include "smtp/SMTPClient.h"
#include "smtp/SMTPException.h"
#include "support/Bytes.h"
#include "support/LogCapture.h"
#include "support/TempDir.h"

using kelpd::testing::LibraryBase64;
using kelpd::testing::ScriptedConnection;
using kelpd::testing::ScriptedSmtpServer;

namespace {

const char kUser[] = "alice";
const char kPassword[] = "Tr0ub4dor:&3@x";

// Every line the client sent that is not a bare command: the credential lines
// and the argument of AUTH PLAIN, as they went over the wire.
std::vector<std::string> SecretsOnTheWire(const std::string& sent) {
  std::vector<std::string> secrets;
  size_t start = 0;
  while (start < sent.size()) {
    size_t end = sent.find("\r\n", start);
    if (end == std::string::npos) end = sent.size();
    std::string line = sent.substr(start, end - start);
    start = end + 2;
    if (line.rfind("AUTH PLAIN ", 0) == 0) {
      secrets.push_back(line.substr(11));
    } else if (line.rfind("EHLO ", 0) != 0 && line.rfind("AUTH ", 0) != 0 && line != "QUIT") {
      secrets.push_back(line);
    }
  }
  return secrets;
}

struct Case {
  const char* mechanisms;
  std::vector<std::string> replies;  // to each command after EHLO
  size_t expected_secrets;
};

}  // namespace

TEST(SMTPClientRedaction, NoCredentialInAnyOutputOfAFailedSession) {
  std::string challenge = "334 " + LibraryBase64("<1.2@mx.example.org>") + "\r\n";
  Case cases[] = {
      // PLAIN refused, then LOGIN refused after the password.
      {"PLAIN LOGIN",
       {"535 no\r\n", "334 VXNlcm5hbWU6\r\n", "334 UGFzc3dvcmQ6\r\n", "535 no\r\n"},
       3},
      // CRAM-MD5 refused, then PLAIN refused.
      {"CRAM-MD5 PLAIN", {challenge, "535 no\r\n", "535 no\r\n"}, 2},
      // CRAM-SHA1 refused, then LOGIN refused after the user name.
      {"CRAM-SHA1 LOGIN", {challenge, "535 no\r\n", "334 VXNlcm5hbWU6\r\n", "501 no\r\n"}, 2},
  };
  kelpd::testing::TempDir dir;
  ::setenv("MAILLOCKDIR", dir.Join("locks").c_str(), 1);
  std::string mail = dir.WriteFile("m.eml", "X-Envelope-To: <r@x.example>\r\n\r\nbody\r\n");

  for (Case& c : cases) {
    SCOPED_TRACE(c.mechanisms);
    ScriptedSmtpServer server([&](ScriptedConnection& conn, int) {
      conn.Send("220 mx ESMTP\r\n");
      conn.ReadLine();
      conn.Send(std::string("250-mx\r\n250 AUTH ") + c.mechanisms + "\r\n");
      for (const std::string& reply : c.replies) {
        conn.ReadLine();
        conn.Send(reply);
      }
      conn.Silence(3000);
    });
    kelpd::testing::LogCapture log;
    std::string out, err;
    kelpd::smtp::CaptureConsoleForTests(&out, &err);
    std::string report;
    std::string transcript;
    {
      CSMTPClient client(true);
      client.m_nDebugLogging = 2;
      ASSERT_TRUE(client.Create(0, kelpd::platform::kSocketStream, nullptr, false));
      client.m_nTimeOut = 5;
      client.Connect("127.0.0.1", server.port());
      client.ReadReply();
      client.Hello("me");
      try {
        kelpd::smtp::Authenticate(client, kUser, kPassword, true);
        ADD_FAILURE() << "authentication did not fail";
      } catch (const CSMTPTemporaryException& e) {
        e.WriteReport(mail, "127.0.0.1", "r@x.example");
        report = kelpd::testing::ReadFile(mail + ".err");
        for (const std::string& line : e.GetLines()) transcript += line;
      }
      client.Close();
    }
    kelpd::smtp::CaptureConsoleForTests(nullptr, nullptr);
    server.Join();

    std::vector<std::string> secrets = SecretsOnTheWire(server.Received(0));
    ASSERT_EQ(secrets.size(), c.expected_secrets) << server.Received(0);
    secrets.push_back(kPassword);
    secrets.push_back(LibraryBase64(kPassword));
    secrets.push_back(
        LibraryBase64(std::string(1, '\0') + kUser + std::string(1, '\0') + kPassword));
    ASSERT_FALSE(report.empty());
    // The redacted lines do stand where the secrets went.
    EXPECT_NE(transcript.find(">>> ****\r\n"), std::string::npos) << transcript;
    EXPECT_NE(report.find(">>> ****\r\r\n"), std::string::npos) << report;
    std::string outputs[] = {out, err, log.All(), transcript, report};
    for (const std::string& secret : secrets) {
      ASSERT_FALSE(secret.empty());
      for (const std::string& output : outputs)
        EXPECT_EQ(output.find(secret), std::string::npos) << "secret " << secret << " in\n"
                                                          << output;
    }
  }
  ::unsetenv("MAILLOCKDIR");
}

TEST(SMTPClientRedaction, PlainCommandIsShownWithoutItsArgument) {
  ScriptedSmtpServer server([](ScriptedConnection& conn, int) {
    conn.Send("220 mx ESMTP\r\n");
    conn.ReadLine();
    conn.Send("250-mx\r\n250 AUTH PLAIN\r\n");
    conn.ReadLine();
    conn.Send("235 ok\r\n");
    conn.Silence(3000);
  });
  CSMTPClient client(false);
  ASSERT_TRUE(client.Create(0, kelpd::platform::kSocketStream, nullptr, false));
  client.m_nTimeOut = 5;
  client.Connect("127.0.0.1", server.port());
  client.ReadReply();
  client.Hello("me");
  ASSERT_TRUE(kelpd::smtp::Authenticate(client, "u", "p", true));
  EXPECT_TRUE(client.m_lstTranscript.Contains(">>> AUTH PLAIN ****\r\n"));
  client.Close();
  server.Join();
  // What went over the wire is the real initial response.
  EXPECT_EQ(server.Received(0), "EHLO me\r\nAUTH PLAIN AHUAcA==\r\n");
}
