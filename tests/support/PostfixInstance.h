// A private instance of the system's MTA (Debian's postfix package) on a
// loopback port, as the real SMTP server that the SMTP client and the remote
// delivery are tested against.
//
// Each instance lives in a temporary directory of its own (configuration,
// queue, data, log, delivered mail) and is started with "postfix -c DIR
// start" as root. It accepts mail for every domain from 127.0.0.0/8 (or only
// from authenticated clients, see require_auth_to_relay) and hands every
// recipient's copy to a pipe transport that writes it into a file, so that the
// test can read exactly what arrived, with its envelope sender and recipient.
// Nothing is ever sent on. The destructor stops the instance and leaves no
// process behind.
//
//   PostfixOptions options;
//   options.starttls = true;
//   options.auth = true;
//   PostfixInstance mta(options);
//   std::string error;
//   ASSERT_TRUE(mta.Start(&error)) << error;
//   ... connect to 127.0.0.1:mta.port(), AUTH as kPeerUser / kPeerPassword ...
//   ASSERT_TRUE(mta.WaitForDelivered(1, std::chrono::seconds(10))) << mta.Log();
//   EXPECT_EQ(mta.Delivered()[0].content, "Subject: x\n\nbody\n");
#pragma once

#include <sys/types.h>

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/TempDir.h"
#include "support/TestCertificate.h"

namespace kelpd::testing {

// The account every instance with AUTH knows unless told otherwise; the
// password holds ':' and '@' on purpose (they have split credentials before).
inline constexpr char kPeerRealm[] = "kelpd.test";
inline constexpr char kPeerUser[] = "alice";
inline constexpr char kPeerPassword[] = "se:cr@t pass";
// A second, plain account.
inline constexpr char kPeerUser2[] = "bob";
inline constexpr char kPeerPassword2[] = "bobpass";
// Recipients the default rules refuse at RCPT time.
inline constexpr char kRejectRecipient[] = "reject@refuse.kelpd.test";  // 550 5.1.1
inline constexpr char kDeferRecipient[] = "defer@refuse.kelpd.test";    // 450 4.2.0

struct SaslUser {
  std::string name;      // without realm; the instance adds kPeerRealm
  std::string password;  // any bytes but NUL and line ends
};

// One entry of the recipient access map: RCPT to address is answered with
// reply, e.g. "550 5.1.1 no such user" or "450 4.2.0 try again later".
// address may also be a domain ("example.test") or a local part ("user@").
struct RecipientRule {
  std::string address;
  std::string reply;
};

std::vector<SaslUser> DefaultSaslUsers();
std::vector<RecipientRule> DefaultRecipientRules();

struct PostfixOptions {
  // Loopback port; 0 picks a free one (and retries with another when that
  // was taken before the instance could bind it).
  int port = 0;
  std::string hostname = "peer.kelpd.test";
  // Text after "220 " in the greeting (smtpd_banner); must start with the
  // host name for well-behaved clients, but a test may break that on purpose.
  std::string banner = "peer.kelpd.test ESMTP test peer";

  // STARTTLS offered with a generated certificate of this kind. The
  // certificate names "localhost", 127.0.0.1 and hostname (see
  // TestCertificate.h); certificate() gives its files.
  bool starttls = false;
  CertificateKind certificate = CertificateKind::kValid;
  KeyType key_type = KeyType::kEcP256;

  // SMTP AUTH through Cyrus SASL with a sasldb of users; AUTH is offered with
  // or without TLS (smtpd_tls_auth_only = no).
  bool auth = false;
  // Offered mechanisms, in this order in the EHLO reply (Cyrus SASL has no
  // CRAM-SHA1).
  std::vector<std::string> mechanisms = {"PLAIN", "LOGIN", "CRAM-MD5"};
  std::vector<SaslUser> users = DefaultSaslUsers();
  // When set, only authenticated clients may send mail ("554 5.7.1 Relay
  // access denied" otherwise); when clear, 127.0.0.0/8 may send without AUTH.
  bool require_auth_to_relay = false;

  std::vector<RecipientRule> recipient_rules = DefaultRecipientRules();
  // Further "name = value" lines appended to main.cf.
  std::vector<std::string> extra_main_cf;

  std::chrono::milliseconds start_timeout = std::chrono::seconds(20);
};

// One recipient's copy of a mail as the instance delivered it.
struct DeliveredMessage {
  std::string path;      // the file it was read from
  std::string queue_id;  // the instance's queue id (see Log())
  std::string sender;    // envelope sender, empty for the null sender
  std::string recipient;
  // The message as the MTA handed it on: line ends are LF (the MTA stores
  // lines, not CR LF), dot-stuffing undone, and its own "Received:" header
  // (with continuation lines) in front.
  std::string data;
  // data without that first Received header: the message as the client sent
  // it, with CR LF turned into LF.
  std::string content;
};

class PostfixInstance {
 public:
  // Empty when an instance can run here; otherwise why not (a package is
  // missing, or the test does not run as root).
  static std::string MissingPrerequisite();

  explicit PostfixInstance(PostfixOptions options = {});
  ~PostfixInstance();
  PostfixInstance(const PostfixInstance&) = delete;
  PostfixInstance& operator=(const PostfixInstance&) = delete;

  // Writes the configuration and starts the instance; returns once it answers
  // with its greeting. On failure it is stopped again and *error holds the
  // reason with the instance's log.
  [[nodiscard]] bool Start(std::string* error);
  // Stops the instance ("postfix stop", then "abort", then SIGKILL to its
  // process group) and waits until none of its processes is left. Idempotent.
  void Stop();

  int port() const { return port_; }
  bool running() const { return master_pid_ > 0; }
  // The master's process id, which is also its process group (the master
  // starts a session of its own); -1 when not running.
  pid_t master_pid() const { return master_pid_; }
  // The instance's directory (empty before Start) and its config_directory.
  std::string dir() const { return dir_ ? dir_->path() : std::string(); }
  std::string config_dir() const { return dir() + "/conf"; }
  const PostfixOptions& options() const { return options_; }
  // The certificate files when starttls is on.
  const CertificateFiles& certificate() const { return cert_; }

  // Every copy delivered so far, oldest first.
  std::vector<DeliveredMessage> Delivered() const;
  // Waits until at least count copies were delivered.
  bool WaitForDelivered(size_t count, std::chrono::milliseconds timeout) const;
  // The instance's mail log (maillog_file), for assertions and diagnostics.
  std::string Log() const;
  // Waits until the mail log contains needle.
  bool WaitForLog(const std::string& needle, std::chrono::milliseconds timeout) const;

 private:
  bool WriteConfiguration(std::string* error);
  bool StartOnce(std::string* error);

  PostfixOptions options_;
  std::unique_ptr<TempDir> dir_;
  CertificateFiles cert_;
  int port_ = 0;
  pid_t master_pid_ = -1;
};

}  // namespace kelpd::testing
