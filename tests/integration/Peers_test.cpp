// The real peers that the SMTP client and remote delivery are tested against:
// a private MTA instance, the SMTP sink and the TLS server. A scripted SMTP
// client (python3's smtplib) and "openssl s_client" prove that each peer
// behaves as its harness promises.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <set>
#include <string>
#include <vector>

#include "support/LoopbackPort.h"
#include "support/PeerProcess.h"
#include "support/PostfixInstance.h"
#include "support/SmtpSink.h"
#include "support/TlsServer.h"

namespace kelpd::testing {
namespace {

using std::chrono::seconds;

#define SKIP_WITHOUT(prerequisite)          \
  do {                                      \
    const std::string why = (prerequisite); \
    if (!why.empty()) GTEST_SKIP() << why;  \
  } while (0)

// A scripted SMTP client. Arguments: the port, then steps:
//   ehlo | starttls CAFILE | auth MECH USER PASSWORD | send SENDER RCPT[,RCPT...]
//   | sendn COUNT SENDER RCPT
// The message to send is read from standard input. Each step prints one line
// per result ("EHLO 250 ...", "AUTH PLAIN 235", "RCPT addr 550", "SENT 250").
constexpr char kSmtpScript[] = R"(
import smtplib, ssl, sys
a = sys.argv[1:]
s = smtplib.SMTP('127.0.0.1', int(a.pop(0)), timeout=15)
body = sys.stdin.buffer.read()
def send(sender, rcpts):
    try:
        refused = s.sendmail(sender, rcpts, body)
        for r in rcpts:
            print('RCPT', r, refused.get(r, (250,))[0])
        print('SENT 250')
    except smtplib.SMTPRecipientsRefused as e:
        for r, (c, _) in e.recipients.items():
            print('RCPT', r, c)
        print('SENT none')
    except smtplib.SMTPResponseException as e:
        print('SENT', e.smtp_code)
while a:
    op = a.pop(0)
    if op == 'ehlo':
        code, text = s.ehlo('client.kelpd.test')
        print('EHLO', code, text.decode().replace('\n', '|'))
    elif op == 'starttls':
        code, _ = s.starttls(context=ssl.create_default_context(cafile=a.pop(0)))
        print('STARTTLS', code, s.sock.version())
    elif op == 'auth':
        mech, s.user, s.password = a.pop(0), a.pop(0), a.pop(0)
        fn = {'PLAIN': s.auth_plain, 'LOGIN': s.auth_login, 'CRAM-MD5': s.auth_cram_md5}[mech]
        try:
            code, _ = s.auth(mech, fn, initial_response_ok=(mech == 'PLAIN'))
        except smtplib.SMTPAuthenticationError as e:
            code = e.smtp_code
        print('AUTH', mech, code)
    elif op == 'send':
        send(a.pop(0), a.pop(0).split(','))
    elif op == 'sendn':
        n, sender, rcpt = int(a.pop(0)), a.pop(0), a.pop(0)
        for _ in range(n):
            s.sendmail(sender, [rcpt], body)
        print('SENT', n)
    else:
        sys.exit('unknown step ' + op)
s.quit()
print('DONE')
)";

std::string Python() {
  return ::access("/usr/bin/python3", X_OK) == 0 ? "/usr/bin/python3" : "python3";
}

// Runs the scripted client; its output, with the exit code on a last line
// when it failed.
std::string RunSmtpClient(int port, const std::vector<std::string>& steps,
                          const std::string& message = "Subject: test\r\n\r\nbody\r\n") {
  std::vector<std::string> argv = {Python(), "-c", kSmtpScript, std::to_string(port)};
  argv.insert(argv.end(), steps.begin(), steps.end());
  ToolResult r = RunTool(argv, message, seconds(60));
  if (r.exit_code != 0) r.output += "\nexit " + std::to_string(r.exit_code) + "\n";
  return r.output;
}

std::string Lf(std::string text) {
  text.erase(std::remove(text.begin(), text.end(), '\r'), text.end());
  return text;
}

TEST(PeerProcessTest, ToolsThatIgnoreInputOrHangAreHandled) {
  // A tool that ends without reading its input must not take the test
  // process down with SIGPIPE.
  ToolResult r = RunTool({"/bin/true"}, std::string(1 << 20, 'x'), seconds(10));
  EXPECT_EQ(r.exit_code, 0) << r.output;
  EXPECT_FALSE(r.timed_out);

  r = RunTool({"/bin/sh", "-c", "echo started; exec sleep 30"}, "", std::chrono::milliseconds(300));
  EXPECT_TRUE(r.timed_out);
  EXPECT_EQ(r.exit_code, -1);
  EXPECT_NE(r.output.find("started"), std::string::npos) << r.output;

  r = RunTool({"/bin/sh", "-c", "cat; exit 3"}, "echoed\n", seconds(10));
  EXPECT_EQ(r.exit_code, 3);
  EXPECT_EQ(r.output, "echoed\n");
}

TEST(PostfixPeer, PlainInstanceDeliversTheMailAsSentAndStopsCleanly) {
  SKIP_WITHOUT(PostfixInstance::MissingPrerequisite());
  PostfixOptions options;
  options.banner = "banner.kelpd.test ESMTP banner under test";
  PostfixInstance mta(options);
  std::string error;
  ASSERT_TRUE(mta.Start(&error)) << error;

  EXPECT_EQ(ReadSmtpGreeting(mta.port(), seconds(5)),
            "220 banner.kelpd.test ESMTP banner under test\r\n");

  const std::string message =
      "From: <a@x.kelpd.test>\r\nTo: <b@y.kelpd.test>\r\nSubject: bytes\r\n\r\n"
      "line one\r\n.leading dot\r\n..two dots\r\n\tTabbed \xC3\xA4 8-bit\r\n\r\nlast line\r\n";
  std::string out = RunSmtpClient(mta.port(),
                                  {"ehlo", "send", "a@x.kelpd.test",
                                   "b@y.kelpd.test,c@z.kelpd.test", "send", "", "d@y.kelpd.test"},
                                  message);
  EXPECT_NE(out.find("DONE"), std::string::npos) << out;
  // A plain instance offers neither TLS nor AUTH.
  EXPECT_EQ(out.find("STARTTLS"), std::string::npos) << out;
  EXPECT_EQ(out.find("AUTH"), std::string::npos) << out;

  ASSERT_TRUE(mta.WaitForDelivered(3, seconds(15))) << out << mta.Log();
  auto delivered = mta.Delivered();
  ASSERT_EQ(delivered.size(), 3u);
  std::set<std::string> recipients;
  for (const auto& msg : delivered) {
    recipients.insert(msg.recipient);
    EXPECT_EQ(msg.content, Lf(message)) << msg.path;
    EXPECT_EQ(msg.data.rfind("Received: from ", 0), 0u) << msg.data;
    EXPECT_FALSE(msg.queue_id.empty());
    EXPECT_EQ(msg.sender, msg.recipient == "d@y.kelpd.test" ? "" : "a@x.kelpd.test");
  }
  EXPECT_EQ(recipients,
            (std::set<std::string>{"b@y.kelpd.test", "c@z.kelpd.test", "d@y.kelpd.test"}));

  const pid_t master = mta.master_pid();
  ASSERT_GT(master, 0);
  mta.Stop();
  EXPECT_FALSE(ProcessGroupAlive(master));
  EXPECT_FALSE(IsListening(mta.port()));
}

TEST(PostfixPeer, RecipientRulesRefuseWithTheConfiguredCodes) {
  SKIP_WITHOUT(PostfixInstance::MissingPrerequisite());
  PostfixOptions options;
  options.recipient_rules.push_back({"busy.kelpd.test", "451 4.3.0 whole domain busy"});
  PostfixInstance mta(options);
  std::string error;
  ASSERT_TRUE(mta.Start(&error)) << error;

  std::string out =
      RunSmtpClient(mta.port(), {"send", "s@x.kelpd.test",
                                 std::string("ok@y.kelpd.test,") + kRejectRecipient + "," +
                                     kDeferRecipient + ",anyone@busy.kelpd.test"});
  EXPECT_NE(out.find("RCPT ok@y.kelpd.test 250"), std::string::npos) << out;
  EXPECT_NE(out.find(std::string("RCPT ") + kRejectRecipient + " 550"), std::string::npos) << out;
  EXPECT_NE(out.find(std::string("RCPT ") + kDeferRecipient + " 450"), std::string::npos) << out;
  EXPECT_NE(out.find("RCPT anyone@busy.kelpd.test 451"), std::string::npos) << out;

  ASSERT_TRUE(mta.WaitForDelivered(1, seconds(15))) << mta.Log();
  // Give a wrongly accepted copy the time to show up.
  EXPECT_TRUE(mta.WaitForLog("removed", seconds(5)));
  auto delivered = mta.Delivered();
  ASSERT_EQ(delivered.size(), 1u);
  EXPECT_EQ(delivered[0].recipient, "ok@y.kelpd.test");
}

TEST(PostfixPeer, StartTlsAndEveryAuthMechanism) {
  SKIP_WITHOUT(PostfixInstance::MissingPrerequisite());
  PostfixOptions options;
  options.starttls = true;
  options.auth = true;
  options.require_auth_to_relay = true;
  PostfixInstance mta(options);
  std::string error;
  ASSERT_TRUE(mta.Start(&error)) << error;
  const std::string ca = mta.certificate().ca;

  // Unauthenticated mail is refused; after STARTTLS (the certificate checks
  // out for 127.0.0.1 against its own file) AUTH PLAIN with a password that
  // holds ':' and '@' lets it through.
  std::string out =
      RunSmtpClient(mta.port(), {"ehlo", "send", "s@x.kelpd.test", "plain@y.kelpd.test", "starttls",
                                 ca, "ehlo", "auth", "PLAIN", kPeerUser, kPeerPassword, "send",
                                 "s@x.kelpd.test", "plain@y.kelpd.test"});
  EXPECT_NE(out.find("STARTTLS|"), std::string::npos) << out;
  EXPECT_NE(out.find("AUTH PLAIN LOGIN CRAM-MD5"), std::string::npos) << out;
  EXPECT_NE(out.find("RCPT plain@y.kelpd.test 554"), std::string::npos) << out;
  EXPECT_NE(out.find("STARTTLS 220 TLS"), std::string::npos) << out;
  EXPECT_NE(out.find("AUTH PLAIN 235"), std::string::npos) << out;
  EXPECT_NE(out.find("RCPT plain@y.kelpd.test 250"), std::string::npos) << out;

  out = RunSmtpClient(mta.port(), {"ehlo", "starttls", ca, "ehlo", "auth", "LOGIN", kPeerUser,
                                   kPeerPassword, "send", "s@x.kelpd.test", "login@y.kelpd.test"});
  EXPECT_NE(out.find("AUTH LOGIN 235"), std::string::npos) << out;
  EXPECT_NE(out.find("SENT 250"), std::string::npos) << out;

  // AUTH is offered without TLS as well.
  out = RunSmtpClient(mta.port(), {"ehlo", "auth", "CRAM-MD5", kPeerUser, kPeerPassword, "send",
                                   "s@x.kelpd.test", "cram@y.kelpd.test"});
  EXPECT_NE(out.find("AUTH PLAIN LOGIN CRAM-MD5"), std::string::npos) << out;
  EXPECT_NE(out.find("AUTH CRAM-MD5 235"), std::string::npos) << out;
  EXPECT_NE(out.find("SENT 250"), std::string::npos) << out;

  // Wrong passwords are refused by every mechanism; the second user works.
  out = RunSmtpClient(mta.port(), {"ehlo", "auth", "PLAIN", kPeerUser, "se:cr@t pas", "auth",
                                   "LOGIN", kPeerUser, "wrong", "auth", "CRAM-MD5", kPeerUser,
                                   "se:cr@t", "auth", "CRAM-MD5", kPeerUser2, kPeerPassword2});
  EXPECT_NE(out.find("AUTH PLAIN 535"), std::string::npos) << out;
  EXPECT_NE(out.find("AUTH LOGIN 535"), std::string::npos) << out;
  EXPECT_NE(out.find("AUTH CRAM-MD5 535"), std::string::npos) << out;
  EXPECT_NE(out.find("AUTH CRAM-MD5 235"), std::string::npos) << out;
  EXPECT_NE(out.find("DONE"), std::string::npos) << out;

  ASSERT_TRUE(mta.WaitForDelivered(3, seconds(15))) << mta.Log();
  std::set<std::string> recipients;
  for (const auto& msg : mta.Delivered()) recipients.insert(msg.recipient);
  EXPECT_EQ(recipients, (std::set<std::string>{"plain@y.kelpd.test", "login@y.kelpd.test",
                                               "cram@y.kelpd.test"}));
  const std::string log = mta.Log();
  EXPECT_NE(log.find("TLS connection established"), std::string::npos) << log;
  EXPECT_NE(log.find("sasl_method=PLAIN, sasl_username=alice@kelpd.test"), std::string::npos);
  EXPECT_NE(log.find("sasl_method=LOGIN"), std::string::npos);
  EXPECT_NE(log.find("sasl_method=CRAM-MD5"), std::string::npos);
}

TEST(PostfixPeer, FailedStartReportsWhyWithTheLog) {
  SKIP_WITHOUT(PostfixInstance::MissingPrerequisite());
  // Another listener holds the port the instance is told to use.
  TlsServer holder;
  std::string error;
  ASSERT_TRUE(holder.Start(&error)) << error;
  PostfixOptions options;
  options.port = holder.port();
  PostfixInstance mta(options);
  EXPECT_FALSE(mta.Start(&error));
  EXPECT_NE(error.find("Address already in use"), std::string::npos) << error;
  EXPECT_NE(error.find("instance log"), std::string::npos) << error;
  EXPECT_FALSE(mta.running());
}

TEST(PostfixPeer, WrongNameCertificateFailsVerification) {
  SKIP_WITHOUT(PostfixInstance::MissingPrerequisite());
  PostfixOptions options;
  options.starttls = true;
  options.certificate = CertificateKind::kWrongName;
  PostfixInstance mta(options);
  std::string error;
  ASSERT_TRUE(mta.Start(&error)) << error;
  std::string out = RunSmtpClient(mta.port(), {"ehlo", "starttls", mta.certificate().ca});
  EXPECT_NE(out.find("certificate verify failed"), std::string::npos) << out;
  EXPECT_EQ(out.find("DONE"), std::string::npos) << out;
}

TEST(SmtpSinkPeer, AcceptsAndCountsMessages) {
  SKIP_WITHOUT(SmtpSink::MissingPrerequisite());
  SmtpSink sink;
  std::string error;
  ASSERT_TRUE(sink.Start(&error)) << error;
  EXPECT_EQ(sink.MessageCount(), 0);
  std::string greeting = ReadSmtpGreeting(sink.port(), seconds(5));
  EXPECT_EQ(greeting.rfind("220 sink.kelpd.test", 0), 0u) << greeting;

  for (int session = 0; session < 4; ++session) {
    std::string out =
        RunSmtpClient(sink.port(), {"sendn", "50", "s@x.kelpd.test", "r@y.kelpd.test"});
    ASSERT_NE(out.find("SENT 50"), std::string::npos) << out;
  }
  EXPECT_TRUE(sink.WaitForMessages(200, seconds(10))) << sink.Output();
  EXPECT_EQ(sink.MessageCount(), 200);
  EXPECT_GE(sink.SessionCount(), 4);

  const int port = sink.port();
  sink.Stop();
  EXPECT_FALSE(IsListening(port));
}

TEST(TlsServerPeer, ExchangesDataWithATlsClientBothWays) {
  SKIP_WITHOUT(TlsServer::MissingPrerequisite());
  TlsServer server;
  std::string error;
  ASSERT_TRUE(server.Start(&error)) << error;

  PeerProcess client;
  ASSERT_TRUE(client.Start(
      {"openssl", "s_client", "-connect", "127.0.0.1:" + std::to_string(server.port()), "-CAfile",
       server.certificate().ca, "-verify_hostname", "localhost", "-verify_return_error", "-quiet"},
      &error))
      << error;
  ASSERT_TRUE(server.WaitForHandshake(seconds(10))) << server.Diagnostics() << client.Stderr();
  ASSERT_TRUE(server.Send("220 from the server\r\n"));
  EXPECT_TRUE(client.WaitForStdout("220 from the server\r\n", seconds(10))) << client.Stderr();
  ASSERT_TRUE(client.WriteInput("EHLO client.kelpd.test\n"));
  EXPECT_TRUE(server.WaitForReceived("EHLO client.kelpd.test\n", seconds(10)))
      << server.Received() << server.Diagnostics();
  EXPECT_NE(server.Diagnostics().find("No peer certificate"), std::string::npos);
  client.Stop();
}

TEST(TlsServerPeer, CertificateVariantsFailVerificationAsNamed) {
  SKIP_WITHOUT(TlsServer::MissingPrerequisite());
  struct Case {
    CertificateKind kind;
    const char* expected;
  };
  for (const Case& c : {Case{CertificateKind::kValid, "Verification: OK"},
                        Case{CertificateKind::kExpired, "certificate has expired"},
                        Case{CertificateKind::kWrongName, "hostname mismatch"}}) {
    TlsServerOptions options;
    options.certificate = c.kind;
    TlsServer server(options);
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;
    ToolResult r =
        RunTool({"openssl", "s_client", "-brief", "-connect",
                 "127.0.0.1:" + std::to_string(server.port()), "-CAfile", server.certificate().ca,
                 "-verify_hostname", "localhost", "-verify_return_error"},
                "", seconds(20));
    EXPECT_NE(r.output.find(c.expected), std::string::npos) << c.expected << "\n" << r.output;
    EXPECT_EQ(r.exit_code == 0, c.kind == CertificateKind::kValid) << r.output;
  }
}

TEST(TlsServerPeer, RequiredClientCertificate) {
  SKIP_WITHOUT(TlsServer::MissingPrerequisite());
  TlsServerOptions options;
  options.require_client_certificate = true;
  TlsServer server(options);
  std::string error;
  ASSERT_TRUE(server.Start(&error)) << error;
  const std::string address = "127.0.0.1:" + std::to_string(server.port());

  // Without a certificate the server ends the handshake.
  ToolResult r = RunTool(
      {"openssl", "s_client", "-brief", "-connect", address, "-CAfile", server.certificate().ca},
      "no certificate\n", seconds(20));
  EXPECT_TRUE(server.WaitForDiagnostics("did not return a certificate", seconds(10)))
      << server.Diagnostics() << r.output;
  EXPECT_EQ(server.Received().find("no certificate"), std::string::npos) << server.Received();

  PeerProcess client;
  ASSERT_TRUE(client.Start(
      {"openssl", "s_client", "-quiet", "-connect", address, "-CAfile", server.certificate().ca,
       "-cert", server.client_certificate().cert, "-key", server.client_certificate().key},
      &error))
      << error;
  ASSERT_TRUE(client.WriteInput("with certificate\n"));
  EXPECT_TRUE(server.WaitForReceived("with certificate\n", seconds(10)))
      << server.Diagnostics() << client.Stderr();
  client.Stop();
}

}  // namespace
}  // namespace kelpd::testing
