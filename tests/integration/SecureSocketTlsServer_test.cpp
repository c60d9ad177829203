// The TLS client against another TLS implementation ("openssl s_server"):
// whatever the server's certificate, the session is made; a server that
// wants a client certificate gets none and the handshake fails.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "net/SecureSyncSocketEx.h"
#include "support/TlsServer.h"

using kelpd::testing::CertificateKind;
using kelpd::testing::TlsServer;
using kelpd::testing::TlsServerOptions;

namespace {

bool Negotiate(CSecureSyncSocketEx& client, int port) {
  EXPECT_TRUE(client.Create(0, kelpd::platform::kSocketStream, nullptr, false));
  client.m_nTimeOut = 10;
  EXPECT_TRUE(client.Connect("127.0.0.1", static_cast<unsigned>(port)));
  return client.NegotiateTLS(false, nullptr, true, 0xA8, nullptr);
}

}  // namespace

TEST(CSecureSyncSocketExAgainstTlsServer, AnyCertificateIsAccepted) {
  std::string missing = TlsServer::MissingPrerequisite();
  if (!missing.empty()) GTEST_SKIP() << missing;
  struct Case {
    const char* what;
    CertificateKind kind;
    std::vector<std::string> args;
  } cases[] = {
      {"valid", CertificateKind::kValid, {}},
      {"expired", CertificateKind::kExpired, {}},
      {"wrong name", CertificateKind::kWrongName, {}},
      {"TLS 1.2", CertificateKind::kValid, {"-tls1_2"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TlsServerOptions options;
    options.certificate = c.kind;
    options.extra_args = c.args;
    TlsServer server(options);
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;
    CSecureSyncSocketEx client;
    ASSERT_TRUE(Negotiate(client, server.port())) << client.LastTlsError() << server.Diagnostics();
    ASSERT_TRUE(server.WaitForHandshake(std::chrono::seconds(5)));
    ASSERT_TRUE(server.Send("220 ready\r\n"));
    char buf[64];
    int n = client.Receive(buf, sizeof buf);
    EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), "220 ready\r\n");
    EXPECT_EQ(client.Send("EHLO client.example\r\n"), 21);
    EXPECT_TRUE(server.WaitForReceived("EHLO client.example\r\n", std::chrono::seconds(5)))
        << server.Received();
    EXPECT_TRUE(client.Close());
  }
}

TEST(CSecureSyncSocketExAgainstTlsServer, ClientCertificateRequestFailsTheHandshake) {
  std::string missing = TlsServer::MissingPrerequisite();
  if (!missing.empty()) GTEST_SKIP() << missing;
  TlsServerOptions options;
  options.require_client_certificate = true;
  TlsServer server(options);
  std::string error;
  ASSERT_TRUE(server.Start(&error)) << error;
  CSecureSyncSocketEx client;
  EXPECT_FALSE(Negotiate(client, server.port()));
  EXPECT_FALSE(client.m_bHandshakeDone);
  EXPECT_TRUE(client.Close());
  EXPECT_EQ(client.m_hSocket, -1);
}

namespace {

bool NegotiateAs(CSecureSyncSocketEx& client, int port, const char* name) {
  client.Close();
  EXPECT_TRUE(client.Create(0, kelpd::platform::kSocketStream, nullptr, false));
  client.m_nTimeOut = 10;
  EXPECT_TRUE(client.Connect("127.0.0.1", static_cast<unsigned>(port)));
  return client.NegotiateTLS(false, nullptr, true, 0xA8, name);
}

}  // namespace

// With verification the chain, the dates and the name connected to must hold.
TEST(CSecureSyncSocketExAgainstTlsServer, VerifiedCertificates) {
  std::string missing = TlsServer::MissingPrerequisite();
  if (!missing.empty()) GTEST_SKIP() << missing;
  TlsServer valid;
  TlsServerOptions old;
  old.certificate = CertificateKind::kExpired;
  TlsServer expired(old);
  std::string error;
  ASSERT_TRUE(valid.Start(&error)) << error;
  ASSERT_TRUE(expired.Start(&error)) << error;

  CSecureSyncSocketEx client;
  ASSERT_TRUE(client.VerifyPeer(true, valid.certificate().ca)) << client.LastTlsError();
  // An IPv6 literal, bracketed as in a smarthost entry, is an IP address too.
  for (const char* name : {"localhost", "127.0.0.1", "[::1]"}) {
    EXPECT_TRUE(NegotiateAs(client, valid.port(), name)) << name << ": " << client.LastTlsError();
    EXPECT_EQ(client.SessionDescription().rfind("TLSv1.", 0), 0u) << client.SessionDescription();
  }
  const struct {
    const char* name;
    int port;
    const char* reason;
  } refused[] = {{"mail.kelpd.test", valid.port(), "hostname mismatch"},
                 {"127.0.0.2", valid.port(), "IP address mismatch"},
                 {"[2001:db8::1]", valid.port(), "IP address mismatch"},
                 {nullptr, valid.port(), "no name to check"}};
  for (const auto& r : refused) {
    EXPECT_FALSE(NegotiateAs(client, r.port, r.name));
    EXPECT_NE(client.LastTlsError().find(r.reason), std::string::npos) << client.LastTlsError();
    EXPECT_EQ(client.SessionDescription(), "");
  }
  ASSERT_TRUE(client.VerifyPeer(true, expired.certificate().ca));
  EXPECT_FALSE(NegotiateAs(client, expired.port(), "localhost"));
  EXPECT_NE(client.LastTlsError().find("expired"), std::string::npos) << client.LastTlsError();
  // The system's trust store does not know the test certificates.
  ASSERT_TRUE(client.VerifyPeer(true, ""));
  EXPECT_FALSE(NegotiateAs(client, valid.port(), "localhost"));
  EXPECT_NE(client.LastTlsError().find("not accepted"), std::string::npos) << client.LastTlsError();
  EXPECT_FALSE(client.VerifyPeer(true, "/nonexistent/ca.pem"));
  ASSERT_TRUE(client.VerifyPeer(false));
  EXPECT_TRUE(NegotiateAs(client, expired.port(), "mail.kelpd.test")) << client.LastTlsError();
}
