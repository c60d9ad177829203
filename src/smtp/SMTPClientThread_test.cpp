#include "smtp/SMTPClientThread.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "config/ConfigMap.h"
#include "config/Configuration.h"
#include "dns/Resolver.h"
#include "fakes/ScriptedSmtpServer.h"
#include "mail/Encodings.h"
#include "mail/Mail.h"
#include "platform/FileLock.h"
#include "platform/HostLookup.h"
#include "platform/StopSignal.h"
#include "smtp/ConsoleOutput.h"
#include "support/LogCapture.h"
#include "support/LoopbackPort.h"
#include "support/TempDir.h"

namespace {

using kelpd::testing::FileExists;
using kelpd::testing::LogCapture;
using kelpd::testing::ReadFile;
using kelpd::testing::ScriptedConnection;
using kelpd::testing::ScriptedSmtpServer;
using kelpd::testing::ServeScript;
using kelpd::testing::TempDir;
using ::testing::HasSubstr;
using ::testing::Not;

using Script = kelpd::testing::SmtpScript;

class FakeResolver : public CResolver {
 public:
  FakeResolver(std::vector<std::string> hosts, int code) : hosts_(std::move(hosts)), code_(code) {}
  bool Init() override { return true; }
  int GetMXHosts(const char* domain, CStringListEx& hosts) override {
    last_domain = domain;
    for (const auto& h : hosts_) hosts.AddTail(h);
    return code_;
  }
  int GetTXTRecords(const char*, CStringListEx&) override { return 0; }
  static inline std::string last_domain;

 private:
  std::vector<std::string> hosts_;
  int code_;
};

constexpr char kMail[] =
    "X-Envelope-From: <alice@local.example>\r\n"
    "X-Envelope-To: <bob@remote.example>\r\n"
    "Received: from a (b [127.0.0.9]) by c; Mon, 1 Jan 2024 10:00:00 +0000\r\n"
    "Message-ID: <id1@local.example>\r\n"
    "From: Alice <alice@local.example>\r\n"
    "X-Authenticated-As: alice\r\n"
    "Subject: test\r\n"
    "\r\n"
    "hello\r\n";

class SendMailTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ::setenv("MAILLOCKDIR", dir_.Join("locks").c_str(), 1);
    ::setenv("MAILCONFIGDIR", dir_.path().c_str(), 1);
    ResetConfigForTests();
    kelpd::smtp::CaptureConsoleForTests(&out_, &err_);
    path_ = dir_.WriteFile("out/m1.eml", kMail);
    thread_ = std::make_unique<CSMTPClientThread>(path_, true);
    thread_->m_strHeloName = "kelpd.test";
    thread_->m_nSessionTimeOut = 5;
    CSMTPClientThread::RoutingTables t;
    t.smarthosts = &smarthosts_;
    t.masquerading = &masq_;
    t.is_backup_domain = [this](const std::string& d) { return d == backup_; };
    thread_->SetRoutingTables(t);
  }
  void TearDown() override {
    kelpd::smtp::CaptureConsoleForTests(nullptr, nullptr);
    ::unsetenv("MAILLOCKDIR");
    ::unsetenv("MAILCONFIGDIR");
  }
  void Mx(std::vector<std::string> hosts, int code = 0) {
    thread_->SetResolverFactory([hosts, code]() -> std::unique_ptr<CResolver> {
      return std::make_unique<FakeResolver>(hosts, code);
    });
  }
  static std::string At(const ScriptedSmtpServer& s) {
    return "127.0.0.1:" + std::to_string(s.port());
  }
  int Send() {
    thread_->SendMail();
    return thread_->m_nResult;
  }

  TempDir dir_;
  std::string out_, err_;
  std::string path_;
  CConfigMap smarthosts_;
  CConfigMap masq_;
  std::string backup_;
  std::unique_ptr<CSMTPClientThread> thread_;
  LogCapture log_;
};

TEST_F(SendMailTest, PortWithoutCredentialsUsesNeitherTlsNorAuth) {
  Script s;
  ScriptedSmtpServer server([&](ScriptedConnection& c, int) { ServeScript(c, s); });
  smarthosts_.SetString("*", At(server));
  dir_.WriteFile("out/m1.eml.err", "old report");
  EXPECT_EQ(Send(), 0);
  server.Join();
  const std::string got = server.Received(0);
  EXPECT_THAT(got, HasSubstr("EHLO kelpd.test\r\n"));
  EXPECT_THAT(got, Not(HasSubstr("STARTTLS")));
  EXPECT_THAT(got, Not(HasSubstr("AUTH PLAIN")));
  // The submitter travels as AUTH= because this session did not authenticate;
  // its header line does not.
  EXPECT_THAT(got, HasSubstr("MAIL From:<alice@local.example> SIZE="));
  EXPECT_THAT(got, HasSubstr(" AUTH=alice\r\n"));
  EXPECT_THAT(got, Not(HasSubstr("X-Authenticated-As")));
  EXPECT_THAT(got, HasSubstr("RCPT To:<bob@remote.example>\r\n"));
  // The body's own last line end begins the end marker: no empty line is added.
  EXPECT_THAT(got, HasSubstr("\r\n\r\nhello\r\n.\r\nQUIT"));
  EXPECT_FALSE(FileExists(path_));
  EXPECT_FALSE(FileExists(path_ + ".err"));
  EXPECT_EQ(log_.Count("mail <id1@local.example> from <alice@local.example> to "
                       "<bob@remote.example> delivered"),
            1);
  EXPECT_EQ(log_.Count("removing file \"" + path_ + "\""), 1);
  EXPECT_THAT(out_, HasSubstr("--> Removing file \"" + path_ + "\"...\n"));
}

TEST_F(SendMailTest, CredentialsWithAtAndColonAreUsed) {
  Script s;
  s.ehlo = {"250-scripted", "250 AUTH PLAIN"};
  ScriptedSmtpServer server([&](ScriptedConnection& c, int) { ServeScript(c, s); });
  smarthosts_.SetString("*", "joe@x:p@ss:w0rd@" + At(server));
  EXPECT_EQ(Send(), 0);
  server.Join();
  std::string plain("\0joe@x\0p@ss:w0rd", 16);
  EXPECT_THAT(server.Received(0),
              HasSubstr("AUTH PLAIN " +
                        Base64EncodeBuffer(plain.data(), static_cast<int64_t>(plain.size()), true) +
                        "\r\n"));
  // Authenticated: no AUTH= parameter.
  EXPECT_THAT(server.Received(0), Not(HasSubstr(" AUTH=alice")));
}

TEST_F(SendMailTest, CredentialsTryStartTlsWhenOffered) {
  Script s;
  s.replies["STAR"] = "454 not now";
  ScriptedSmtpServer server([&](ScriptedConnection& c, int) { ServeScript(c, s); });
  smarthosts_.SetString("*", "joe:pw@" + At(server));
  EXPECT_EQ(Send(), 9);
  server.Join();
  EXPECT_THAT(server.Received(0), HasSubstr("STARTTLS\r\n"));
  EXPECT_THAT(ReadFile(path_ + ".err"), HasSubstr("continuous fatal errors"));
  EXPECT_TRUE(FileExists(path_));
}

TEST_F(SendMailTest, UseTlsOffSkipsStartTls) {
  Script s;
  s.replies["STAR"] = "454 not now";
  ScriptedSmtpServer server([&](ScriptedConnection& c, int) { ServeScript(c, s); });
  smarthosts_.SetString("*", "joe:pw@" + At(server));
  thread_->m_bUseTLS = false;
  EXPECT_EQ(Send(), 0);
  server.Join();
  EXPECT_THAT(server.Received(0), Not(HasSubstr("STARTTLS")));
  EXPECT_THAT(server.Received(0), HasSubstr("AUTH "));
}

TEST_F(SendMailTest, Greeting554FailsAtOnce) {
  Script bad;
  bad.greeting = "554 go away";
  Script good;
  ScriptedSmtpServer a([&](ScriptedConnection& c, int) { ServeScript(c, bad); });
  ScriptedSmtpServer b([&](ScriptedConnection& c, int) { ServeScript(c, good); });
  smarthosts_.SetString("*", At(a) + "," + At(b));
  EXPECT_EQ(Send(), 19);
  a.Join();
  EXPECT_EQ(b.Connections(), 0);
  EXPECT_THAT(ReadFile(path_ + ".err"), HasSubstr("permanent fatal errors"));
  EXPECT_EQ(log_.Count("mail <id1@local.example> failed with permanent SMTP "
                       "error: <<< 554 go away"),
            1);
  EXPECT_THAT(err_, HasSubstr("failed with permanent SMTP error: <<< 554 go away\n"));
}

TEST_F(SendMailTest, Greeting421MovesOn) {
  Script busy;
  busy.greeting = "421 busy";
  Script good;
  ScriptedSmtpServer a([&](ScriptedConnection& c, int) { ServeScript(c, busy); });
  ScriptedSmtpServer b([&](ScriptedConnection& c, int) { ServeScript(c, good); });
  smarthosts_.SetString("*", At(a) + "," + At(b));
  EXPECT_EQ(Send(), 0);
  b.Join();
  EXPECT_EQ(b.Connections(), 1);
  EXPECT_FALSE(FileExists(path_ + ".err"));
}

TEST_F(SendMailTest, Rcpt450OnTheLastHostLeaves9And550Stops) {
  Script later;
  later.replies["RCPT"] = "450 later";
  Script never;
  never.replies["RCPT"] = "550 no such user";
  {
    ScriptedSmtpServer a([&](ScriptedConnection& c, int) { ServeScript(c, never); });
    ScriptedSmtpServer b([&](ScriptedConnection& c, int) { ServeScript(c, later); });
    smarthosts_.SetString("*", At(b) + "," + At(a) + "," + At(b));
    EXPECT_EQ(Send(), 19);
    a.Join();
    EXPECT_EQ(b.Connections(), 1);  // the third entry was not tried
    std::string report = ReadFile(path_ + ".err");
    EXPECT_THAT(report, HasSubstr("permanent fatal errors"));
    EXPECT_THAT(report, HasSubstr(".... while talking to 127.0.0.1:"));
  }
  ScriptedSmtpServer b([&](ScriptedConnection& c, int) { ServeScript(c, later); });
  smarthosts_.SetString("*", At(b));
  EXPECT_EQ(Send(), 9);
  EXPECT_THAT(ReadFile(path_ + ".err"), HasSubstr("continuous fatal errors"));
  EXPECT_THAT(ReadFile(path_ + ".err"), HasSubstr("450 later"));
}

TEST_F(SendMailTest, SocketErrorAtQuitAfterDataIsADelivery) {
  Script s;
  s.close_after_data = true;
  ScriptedSmtpServer server([&](ScriptedConnection& c, int) { ServeScript(c, s); });
  smarthosts_.SetString("*", At(server));
  EXPECT_EQ(Send(), 0);
  EXPECT_FALSE(FileExists(path_));
  EXPECT_EQ(log_.Count("socket error after successful delivery: "), 1);
  EXPECT_THAT(err_, HasSubstr("socket error after successful delivery: "));
}

TEST_F(SendMailTest, MxHostsRefusingConnectionsLeave8) {
  const int p1 = kelpd::testing::PickFreeLoopbackPort();
  const int p2 = kelpd::testing::PickFreeLoopbackPort();
  Mx({"127.0.0.1:" + std::to_string(p1), "127.0.0.1:" + std::to_string(p2)});
  EXPECT_EQ(Send(), 8);
  EXPECT_EQ(FakeResolver::last_domain, "remote.example.");
  EXPECT_EQ(log_.Count("failed with socket error: the attempt to connect was rejected"), 2);
  EXPECT_THAT(ReadFile(path_ + ".err"), HasSubstr("(reason: the attempt to connect was rejected)"));
}

TEST_F(SendMailTest, MxPointingBackToThisHostFailsPermanently) {
  Mx({"127.0.0.1", "mx2.remote.example"});
  EXPECT_EQ(Send(), 19);
  EXPECT_EQ(log_.Count("MX entry for domain 'remote.example' points back to "
                       "this host, risk of "
                       "endless loop"),
            1);
}

TEST_F(SendMailTest, BackupDomainTriesOnlyTheBestMx) {
  Script busy;
  busy.greeting = "421 busy";
  Script good;
  ScriptedSmtpServer a([&](ScriptedConnection& c, int) { ServeScript(c, busy); });
  ScriptedSmtpServer b([&](ScriptedConnection& c, int) { ServeScript(c, good); });
  backup_ = "remote.example";
  Mx({At(a), At(b)});
  EXPECT_EQ(Send(), 9);
  a.Join();
  EXPECT_EQ(b.Connections(), 0);
}

TEST_F(SendMailTest, MxLookupFailures) {
  Mx({}, 75);
  EXPECT_EQ(Send(), 9);
  EXPECT_EQ(log_.Count("MX resolution for domain 'remote.example' failed, no "
                       "valid MX returned"),
            1);
  EXPECT_THAT(ReadFile(path_ + ".err"), Not(HasSubstr("while talking to")));
  Mx({}, 0);
  EXPECT_EQ(Send(), 9);
  thread_->SetResolverFactory([] { return std::unique_ptr<CResolver>(); });
  EXPECT_EQ(Send(), 9);
  EXPECT_EQ(log_.Count("MX resolution for domain 'remote.example' failed, "
                       "please retry later"),
            1);
  Mx({}, 2);
  EXPECT_EQ(Send(), 19);
  EXPECT_EQ(log_.Count("failed, please verify address"), 1);
}

TEST_F(SendMailTest, MissingRecipientGives29) {
  dir_.WriteFile("out/m1.eml",
                 "X-Envelope-From: <alice@local.example>\r\nSubject: x\r\n\r\nbody\r\n");
  EXPECT_EQ(Send(), 29);
  EXPECT_FALSE(thread_->MailFileBusy());
  EXPECT_THAT(err_, HasSubstr("error: no receiver specified\n"));
}

TEST_F(SendMailTest, RecipientFromTheReceivedForClause) {
  dir_.WriteFile("out/m1.eml",
                 "X-Envelope-From: <alice@local.example>\r\n"
                 "Received: from a (b) by c for "
                 "<carol@remote.example>; date\r\n\r\nbody\r\n");
  Script s;
  ScriptedSmtpServer server([&](ScriptedConnection& c, int) { ServeScript(c, s); });
  smarthosts_.SetString("*", At(server));
  EXPECT_EQ(Send(), 0);
  EXPECT_THAT(server.Received(0), HasSubstr("RCPT To:<carol@remote.example>"));
}

TEST_F(SendMailTest, BadAddressesArePermanent) {
  dir_.WriteFile("out/m1.eml",
                 "X-Envelope-From: <a b@x>\r\nX-Envelope-To: "
                 "<bob@remote.example>\r\n\r\nx\r\n");
  EXPECT_EQ(Send(), 19);
  EXPECT_EQ(log_.Count("sender address <a b@x> has bad format"), 1);
}

TEST_F(SendMailTest, UnreadableAndLockedFiles) {
  std::filesystem::remove(path_);
  EXPECT_EQ(Send(), 29);
  EXPECT_FALSE(thread_->MailFileBusy());
  EXPECT_THAT(err_, HasSubstr("error: could not open file \"" + path_ +
                              "\": the file could not be located\n"));

  dir_.WriteFile("out/m1.eml", kMail);
  kelpd::platform::NamedLock lock(CMail::LockNameOf(path_));
  ASSERT_EQ(lock.Lock(1000), kelpd::platform::LockResult::kAcquired);
  const int saved = CMail::LockWaitMs();
  CMail::SetLockWaitMs(50);
  EXPECT_EQ(Send(), 29);
  EXPECT_TRUE(thread_->MailFileBusy());
  CMail::SetLockWaitMs(saved);
}

TEST_F(SendMailTest, MasqueradingReplacesTheSender) {
  masq_.SetString("alice@local.example", "news@public.example");
  Script s;
  ScriptedSmtpServer server([&](ScriptedConnection& c, int) { ServeScript(c, s); });
  smarthosts_.SetString("*", At(server));
  EXPECT_EQ(Send(), 0);
  EXPECT_THAT(server.Received(0), HasSubstr("MAIL From:<news@public.example>"));
}

TEST_F(SendMailTest, RecipientDomainOverride) {
  thread_->m_strRecipient = "@elsewhere.example";
  Script s;
  ScriptedSmtpServer server([&](ScriptedConnection& c, int) { ServeScript(c, s); });
  smarthosts_.SetString(">elsewhere.example", At(server));
  EXPECT_EQ(Send(), 0);
  EXPECT_THAT(server.Received(0), HasSubstr("RCPT To:<bob@elsewhere.example>"));
}

TEST_F(SendMailTest, StopRequestBeforeAHostGives31) {
  Script s;
  ScriptedSmtpServer server([&](ScriptedConnection& c, int) { ServeScript(c, s); });
  smarthosts_.SetString("*", At(server));
  kelpd::platform::StopSignal stop;
  stop.Raise();
  kelpd::platform::SetCurrentStopSignal(&stop);
  const int r = Send();
  kelpd::platform::SetCurrentStopSignal(nullptr);
  EXPECT_EQ(r, 31);
  EXPECT_EQ(server.Connections(), 0);
  EXPECT_TRUE(FileExists(path_));
}

TEST_F(SendMailTest, InterfaceThatIsNotLocalIsASocketError) {
  Script s;
  ScriptedSmtpServer server([&](ScriptedConnection& c, int) { ServeScript(c, s); });
  smarthosts_.SetString("*", At(server));
  thread_->m_strInterface = "192.0.2.123";  // TEST-NET: no interface of this machine
  EXPECT_EQ(Send(), 8);
  EXPECT_EQ(server.Connections(), 0);
  EXPECT_EQ(log_.Count("failed with socket error: the specified address is not available from the "
                       "local machine"),
            1);
  thread_->m_strInterface = "127.0.0.1";
  EXPECT_EQ(Send(), 0);
}

// A smarthost entry may be an IPv6 literal in brackets. Only addresses of the
// bound interface's family and of the address order's families are tried.
TEST_F(SendMailTest, IPv6LiteralFollowsTheInterfaceAndTheAddressOrder) {
  Script s;
  std::unique_ptr<ScriptedSmtpServer> server;
  try {
    server = std::make_unique<ScriptedSmtpServer>(
        [&](ScriptedConnection& c, int) { ServeScript(c, s); }, 1, "::1");
  } catch (const std::exception&) {
    GTEST_SKIP() << "this machine has no IPv6 loopback address";
  }
  smarthosts_.SetString("*", "[::1]:" + std::to_string(server->port()));
  thread_->m_strInterface = "127.0.0.1";
  EXPECT_EQ(Send(), 8);
  EXPECT_EQ(log_.Count("no address of [::1] is left to connect to: AddressFamily is ipv4-first, "
                       "Interface is 127.0.0.1"),
            1);
  thread_->m_strInterface.clear();
  thread_->SetAddressOrder(kelpd::net::AddressOrder::kIPv4Only);
  EXPECT_EQ(Send(), 8);
  EXPECT_EQ(server->Connections(), 0);

  thread_->SetAddressOrder(kelpd::net::AddressOrder::kIPv6Only);
  thread_->m_strInterface = "::1";
  EXPECT_EQ(Send(), 0);
  EXPECT_EQ(log_.Count("connection to [::1] established"), 1);
  server->Join();
  EXPECT_THAT(server->Received(0), HasSubstr("RCPT To:<bob@remote.example>"));
}

// Every loopback and "this network" address, also written as a name, is this
// machine unless "AllowLoopbackMX" says the set-up's mail hosts live there.
TEST_F(SendMailTest, ThisMachinesAddresses) {
  for (const char* host : {"127.0.0.1", "127.0.0.77", "127.0.0.2.", "0.0.0.0.", "2130706434"}) {
    EXPECT_TRUE(CSMTPClientThread::PointsBackToThisHost(host)) << host;
  }
  for (const char* host : {"::1", "[::1]", "::", "::ffff:127.0.0.9", "[IPv6:::1]"})
    EXPECT_TRUE(CSMTPClientThread::PointsBackToThisHost(host)) << host;
  // Allowed loopback addresses are left to the setting, ::1 included.
  EXPECT_FALSE(CSMTPClientThread::PointsBackToThisHost("::1", true));
  // This machine's other addresses, whatever they are, also written as IPv6.
  for (const kelpd::platform::IpAddress& own : kelpd::platform::LocalInterfaceAddresses()) {
    if (kelpd::dns::IsThisHostAddress(own)) continue;
    if (!own.IsV6()) {
      EXPECT_TRUE(CSMTPClientThread::PointsBackToThisHost(
          "::ffff:" + kelpd::platform::FormatIpAddress(own), true));
    }
    EXPECT_TRUE(
        CSMTPClientThread::PointsBackToThisHost(kelpd::platform::FormatIpAddress(own), true))
        << kelpd::platform::FormatIpAddress(own);
  }
  EXPECT_FALSE(CSMTPClientThread::PointsBackToThisHost("2001:db8::25"));
  EXPECT_FALSE(CSMTPClientThread::PointsBackToThisHost("127.0.0.77", true));
  EXPECT_FALSE(CSMTPClientThread::PointsBackToThisHost("192.0.2.1"));
  EXPECT_FALSE(CSMTPClientThread::PointsBackToThisHost("no-such-host.invalid"));

  Mx({"127.0.0.2."});
  EXPECT_EQ(Send(), 19);
  EXPECT_EQ(log_.Count("MX entry for domain 'remote.example' points back to this host"), 1);
  thread_->SetAllowLoopbackMX(true);
  CStringListEx hosts;
  EXPECT_EQ(thread_->ResolveMX("remote.example", hosts), 0);
  EXPECT_EQ(hosts.GetCount(), 1);
}

// A server that offers STARTTLS, agrees to it and then answers the handshake
// with text, as broken TLS set-ups do; later connections are served normally.
void BreakHandshakeOnce(ScriptedConnection& c, int i, const Script& s) {
  if (i > 0) return ServeScript(c, s);
  c.Send(s.greeting + "\r\n");
  c.ReadLine();
  c.Send(kelpd::testing::ReplyLines(s.ehlo));
  if (c.ReadLine().rfind("STARTTLS", 0) == 0) c.Send("220 go ahead\r\nthis is no TLS\r\n");
  c.Close();
}

TEST_F(SendMailTest, OpportunisticTlsFallsBackOnceWithoutTls) {
  using kelpd::smtp::TlsMode;
  thread_->SetTlsMode(TlsMode::kMay);
  Script s;
  {
    ScriptedSmtpServer server([&](ScriptedConnection& c, int i) { BreakHandshakeOnce(c, i, s); },
                              2);
    smarthosts_.SetString("*", At(server));
    EXPECT_EQ(Send(), 0);
    server.Join();
    EXPECT_EQ(server.Connections(), 2);
    EXPECT_THAT(server.Received(1), Not(HasSubstr("STARTTLS")));
    EXPECT_EQ(log_.Count("trying again without TLS"), 1);
    EXPECT_EQ(log_.Count("bytes sent, without TLS"), 1);
  }
  // A refused STARTTLS goes on over the same connection.
  s.replies["STAR"] = "502 not here";
  path_ = dir_.WriteFile("out/m1.eml", kMail);
  {
    ScriptedSmtpServer server([&](ScriptedConnection& c, int) { ServeScript(c, s); });
    smarthosts_.SetString("*", At(server));
    EXPECT_EQ(Send(), 0);
    server.Join();
    EXPECT_THAT(server.Received(0), HasSubstr("STARTTLS\r\nMAIL From:"));
  }
  // A password never goes to the plain retry: the host fails for now.
  path_ = dir_.WriteFile("out/m1.eml", kMail);
  {
    ScriptedSmtpServer server([&](ScriptedConnection& c, int i) { BreakHandshakeOnce(c, i, s); });
    smarthosts_.SetString("*", "joe:pw@" + At(server));
    EXPECT_EQ(Send(), 9);
    server.Join();
    EXPECT_EQ(server.Connections(), 1);
    EXPECT_THAT(ReadFile(path_ + ".err"), HasSubstr("SSL/TLS-handshake failed"));
  }
}

TEST_F(SendMailTest, EncryptModeFailsForNowWithoutStartTls) {
  thread_->SetTlsMode(kelpd::smtp::TlsMode::kEncrypt);
  Script plain;
  plain.ehlo = {"250-scripted", "250 SIZE 1000000"};
  Script refusing;
  refusing.replies["STAR"] = "502 not here";
  ScriptedSmtpServer a([&](ScriptedConnection& c, int) { ServeScript(c, plain); });
  ScriptedSmtpServer b([&](ScriptedConnection& c, int) { ServeScript(c, refusing); });
  smarthosts_.SetString("*", At(a) + "," + At(b));
  EXPECT_EQ(Send(), 9);
  a.Join();
  b.Join();
  EXPECT_THAT(a.Received(0), Not(HasSubstr("MAIL")));
  EXPECT_THAT(b.Received(0), Not(HasSubstr("MAIL")));
  EXPECT_EQ(log_.Count("offers no STARTTLS"), 1);
  // The last host's refusal is the report: temporary although it said 502.
  EXPECT_THAT(ReadFile(path_ + ".err"), HasSubstr("continuous fatal errors"));
  EXPECT_THAT(ReadFile(path_ + ".err"), HasSubstr("502 not here"));
  EXPECT_TRUE(FileExists(path_));
}

}  // namespace
