// The SMTP client against a real MTA: STARTTLS, then each AUTH mechanism the
// MTA offers, then one mail, whose delivered bytes are compared with what was
// sent. The account's password holds ':' and '@'.
#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>

#include "smtp/SMTPClient.h"
#include "smtp/SMTPException.h"
#include "support/PostfixInstance.h"

using kelpd::testing::PostfixInstance;
using kelpd::testing::PostfixOptions;

namespace {

// The message in transmission form, with a line that needs dot-stuffing.
std::string Message(const std::string& mechanism) {
  return "From: <sender@origin.kelpd.test>\r\n"
         "To: <rcpt@dest.kelpd.test>\r\n"
         "Subject: over TLS with " +
         mechanism +
         "\r\n"
         "Message-ID: <" +
         mechanism +
         ".1@origin.kelpd.test>\r\n"
         "\r\n"
         "first line\r\n"
         "..a line that starts with a dot\r\n"
         "last line\r\n"
         ".\r\n";
}

// What the MTA stores of it: LF line ends, the dot-stuffing undone, the end
// marker gone.
std::string AsDelivered(std::string message) {
  message.erase(message.size() - 3);  // ".\r\n"
  std::string out;
  for (size_t i = 0; i < message.size(); ++i) {
    if (message[i] == '\r' && i + 1 < message.size() && message[i + 1] == '\n') continue;
    out += message[i];
  }
  size_t dots = out.find("\n..");
  if (dots != std::string::npos) out.erase(dots + 1, 1);
  return out;
}

// One session as the delivery runs it for a host entry with credentials.
void Deliver(int port, const std::string& mechanism, const std::string& recipient) {
  CSMTPClient client(false);
  ASSERT_TRUE(client.Create(0, kelpd::platform::kSocketStream, nullptr, false));
  client.m_nTimeOut = 30;
  client.Connect("127.0.0.1", static_cast<unsigned>(port));
  ASSERT_EQ(client.ReadReply(), 220) << client.m_strReply;
  client.Hello("client.kelpd.test");
  ASSERT_TRUE(client.m_bSTARTTLS) << client.m_strReply;
  ASSERT_TRUE(client.StartTLS()) << client.LastTlsError();
  client.Hello("client.kelpd.test");  // the capabilities afresh, now encrypted
  ASSERT_TRUE(client.m_bAUTH) << client.m_strReply;
  const char* user = kelpd::testing::kPeerUser;
  const char* password = kelpd::testing::kPeerPassword;
  bool authenticated = false;
  if (mechanism == "PLAIN") {
    ASSERT_TRUE(client.m_bPLAIN);
    authenticated = client.AuthPlain(user, password);
  } else if (mechanism == "LOGIN") {
    ASSERT_TRUE(client.m_bLOGIN);
    authenticated = client.AuthLogin(user, password);
  } else if (mechanism == "CRAM-MD5") {
    ASSERT_TRUE(client.m_bCRAMMD5);
    authenticated = client.AuthCramMd5(user, password);
  } else {
    // The choice the delivery makes: CRAM-MD5 comes first of those offered.
    authenticated = kelpd::smtp::Authenticate(client, user, password, false);
    EXPECT_TRUE(client.m_lstTranscript.Contains(">>> AUTH CRAM-MD5\r\n"));
  }
  ASSERT_TRUE(authenticated);
  std::string message = Message(mechanism);
  client.MailFrom("sender@origin.kelpd.test", "", static_cast<long long>(message.size()));
  client.RcptTo(recipient);
  client.Data(message);
  EXPECT_TRUE(client.Quit());
  client.Close();
}

}  // namespace

TEST(SMTPClientAgainstMta, DeliversOverStartTlsWithEachMechanism) {
  std::string missing = PostfixInstance::MissingPrerequisite();
  if (!missing.empty()) GTEST_SKIP() << missing;
  PostfixOptions options;
  options.starttls = true;
  options.auth = true;
  // Mail is taken only from a client that really authenticated.
  options.require_auth_to_relay = true;
  PostfixInstance mta(options);
  std::string error;
  ASSERT_TRUE(mta.Start(&error)) << error;

  const std::map<std::string, std::string> sessions = {
      {"PLAIN", "plain@dest.kelpd.test"},
      {"LOGIN", "login@dest.kelpd.test"},
      {"CRAM-MD5", "cram@dest.kelpd.test"},
      {"chosen", "chosen@dest.kelpd.test"},
  };
  for (const auto& [mechanism, recipient] : sessions) {
    SCOPED_TRACE(mechanism);
    try {
      Deliver(mta.port(), mechanism, recipient);
    } catch (const CSMTPException& e) {
      ADD_FAILURE() << "refused: " << e.GetLastLine() << mta.Log();
    } catch (const CSocketException& e) {
      ADD_FAILURE() << "socket error " << e.m_nError << "\n" << mta.Log();
    }
  }

  ASSERT_TRUE(mta.WaitForDelivered(sessions.size(), std::chrono::seconds(30))) << mta.Log();
  std::map<std::string, std::string> delivered;
  for (const auto& copy : mta.Delivered()) {
    EXPECT_EQ(copy.sender, "sender@origin.kelpd.test");
    delivered[copy.recipient] = copy.content;
  }
  for (const auto& [mechanism, recipient] : sessions)
    EXPECT_EQ(delivered[recipient], AsDelivered(Message(mechanism))) << mechanism;
}

// The wrong password is refused by the MTA: a temporary failure, whose
// transcript (quoted in reports) shows no credential.
TEST(SMTPClientAgainstMta, WrongPasswordIsTemporaryFailure) {
  std::string missing = PostfixInstance::MissingPrerequisite();
  if (!missing.empty()) GTEST_SKIP() << missing;
  PostfixOptions options;
  options.starttls = true;
  options.auth = true;
  options.mechanisms = {"LOGIN"};
  PostfixInstance mta(options);
  std::string error;
  ASSERT_TRUE(mta.Start(&error)) << error;

  CSMTPClient client(false);
  ASSERT_TRUE(client.Create(0, kelpd::platform::kSocketStream, nullptr, false));
  client.m_nTimeOut = 30;
  client.Connect("127.0.0.1", static_cast<unsigned>(mta.port()));
  ASSERT_EQ(client.ReadReply(), 220);
  client.Hello("client.kelpd.test");
  ASSERT_TRUE(client.StartTLS());
  client.Hello("client.kelpd.test");
  try {
    client.AuthLogin(kelpd::testing::kPeerUser, "not the password");
    ADD_FAILURE() << "a wrong password was accepted";
  } catch (const CSMTPTemporaryException& e) {
    EXPECT_EQ(e.GetLastLine().substr(0, 8), "<<< 535 ");
    EXPECT_TRUE(e.GetLines().Contains(">>> ****\r\n"));
  }
  client.Close();
}
