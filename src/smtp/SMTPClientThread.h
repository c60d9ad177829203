// CSMTPClientThread: the submission of one queued mail file to its one remote
// recipient. SendMail reads the file, picks the hosts (a smarthost route, else
// the MX hosts of the recipient's domain) and tries them one after another
// with its CSMTPClient; each failure is classified as temporary, permanent or
// a socket error and leaves a failure report beside the mail. The outcome is
// left in m_nResult (see smtp/DeliveryResult.h).
//
// The thread body is SendMail itself; CSMTPDeliveryThread replaces it with a
// loop that calls SendMail once per file. The smtp layer does not know the
// directory data: the owner hands in the smarthost and masquerading maps and
// the backup-domain test (SetRoutingTables).
//
// Not thread-safe: an object and its client belong to one thread. The maps
// handed in are read under their own sections.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "config/StringListEx.h"
#include "core/Thread.h"
#include "dns/Resolver.h"
#include "platform/Errors.h"
#include "smtp/DeliveryResult.h"
#include "smtp/Routing.h"
#include "smtp/SMTPClient.h"

class CConfigMap;
class CSMTPException;

namespace kelpd::smtp {

// When a session without credentials asks for TLS ("TLS.Mode"): kMay uses
// STARTTLS whenever the server offers it and goes on without TLS when the
// server refuses it or the handshake fails; kNone never; kEncrypt requires
// it of every host. Hosts with credentials follow "UseTLS" unless kEncrypt.
enum class TlsMode { kMay, kNone, kEncrypt };
// "none" and "encrypt" in any case; anything else is kMay.
TlsMode ParseTlsMode(const std::string& text);

// Whose certificates are checked ("TLS.Verify"): nobody's, every host's or
// only those of hosts reached through a smarthost entry. A host whose
// certificate is to be checked must complete STARTTLS.
enum class TlsVerify { kNone, kAll, kSmarthosts };
// "1" and "smarthosts" in any case; anything else is kNone.
TlsVerify ParseTlsVerify(const std::string& text);

}  // namespace kelpd::smtp

class CSMTPClientThread : public CThread {
 public:
  CSMTPClientThread(std::string mailFile, bool removeAfterSend);
  ~CSMTPClientThread() override;

  // Delivers m_strMailFile and leaves the outcome in m_nResult. Never throws.
  void SendMail();
  // How many mails one connection to a smarthost may carry (1 unless set).
  // After a delivery below the count the connection stays open, and the
  // next SendMail whose first host entry is the same sends RSET and its own
  // MAIL, RCPT and DATA on it; any other mail, or EndSession, ends it with
  // QUIT first. Each mail's result, report and log lines are those of a
  // session of its own.
  void SetMailsPerSession(int count) { mails_per_session_ = count < 1 ? 1 : count; }
  // Ends a connection kept open for a next mail (QUIT), if there is one.
  void EndSession();

  // Reads the mail file at path: the sender and recipient (applying the
  // overrides and the masquerading map), the authenticated submitter (which
  // is then not transmitted), the message id, and the message in transmission
  // form ending in CR LF "." CR LF (the line end of its last line counts as
  // the marker's first CR LF). False when the file can't be read or names no
  // recipient; LastLoad and MailFileBusy tell which.
  bool ReadMailFile(const std::string& path, std::string& sender, std::string& recipient,
                    std::string& message, std::string& authAs, std::string& messageId);

  // Appends the MX hosts of domain to hosts: 0, 3 when an MX host is this very
  // machine (not for a backup domain, of which only the best host is taken),
  // 1 when no resolver can be had, or the resolver's own non-zero code. Hosts
  // on loopback addresses count as this machine unless SetAllowLoopbackMX.
  int ResolveMX(const std::string& domain, CStringListEx& hosts);

  static void ParseHostEntry(const std::string& entry, std::string& host, unsigned& port,
                             std::string& user, std::string& password);

  // True when the first IPv4 or the first IPv6 address of host (or the
  // address the name reads as) is one of this machine's: any loopback or
  // "this network" address (unless allowLoopback, for set-ups whose mail
  // hosts listen on loopback addresses), or an address of its host name or
  // of a local interface. False when a lookup fails.
  static bool PointsBackToThisHost(const std::string& host, bool allowLoopback = false);

  // The tables routing reads. Null maps count as empty; a null test says no
  // domain is a backup domain. The objects must outlive this one.
  struct RoutingTables {
    const CConfigMap* smarthosts = nullptr;
    const CConfigMap* masquerading = nullptr;
    std::function<bool(const std::string&)> is_backup_domain;
  };
  void SetRoutingTables(RoutingTables tables) { tables_ = std::move(tables); }
  // The TLS policy of sessions without credentials (kNone unless set).
  void SetTlsMode(kelpd::smtp::TlsMode mode) { tls_mode_ = mode; }
  // Whose certificates are checked, against the certificates of caFile
  // (empty: the system's trust store); kNone unless set.
  void SetTlsVerify(kelpd::smtp::TlsVerify verify, std::string caFile) {
    tls_verify_ = verify;
    ca_file_ = std::move(caFile);
  }
  // Which addresses of a host are connected to, in which order
  // ("AddressFamily"); kIPv4First unless set.
  void SetAddressOrder(kelpd::net::AddressOrder order) { address_order_ = order; }
  // Hosts on loopback addresses may be mail hosts ("AllowLoopbackMX"); off
  // unless set.
  void SetAllowLoopbackMX(bool allow) { allow_loopback_mx_ = allow; }
  // A password may cross an unencrypted connection to another machine
  // ("Auth.AllowPlaintext"); off unless set.
  void SetAllowPlaintextAuth(bool allow) { allow_plaintext_auth_ = allow; }
  // The client's debug lines ("DebugLogging"): 1 the commands and replies,
  // 2 every reply line too; 0 unless set.
  void SetDebugLogging(int level) { m_client.m_nDebugLogging = level; }
  // Replaces CreateResolver for the MX look-up (tests).
  void SetResolverFactory(std::function<std::unique_ptr<CResolver>()> factory) {
    resolver_factory_ = std::move(factory);
  }

  // What the last SendMail read of the mail file, before overrides and
  // masquerading: the delivery thread's log lines quote it, so that the file
  // is read once per attempt.
  struct LoadedMail {
    bool loaded = false;
    kelpd::platform::FileResult error;  // when not loaded
    std::string sender;                 // m_strSender
    std::string first_recipient;        // GetFirstRecipient()
    std::string resent_for;             // m_strResentFor
  };
  const LoadedMail& LastLoad() const { return last_load_; }
  // After SendMail: the mail file could not be read only because its lock
  // was not obtained in time (result 29); the file waits for the next scan.
  bool MailFileBusy() const { return mail_file_busy_; }
  // After a delivery with m_bRemoveAfterSend: the mail file is still there
  // because it could not be deleted (logged).
  bool RemoveFailed() const { return remove_failed_; }
  // Whether a failure report "<mail>.err" may lie beside the next mail sent;
  // when not, a delivery deletes only the mail, unless the attempt itself
  // wrote a report. True unless set.
  void SetReportMayExist(bool may_exist) { report_may_exist_ = may_exist; }

  // Overrides of the envelope; empty means none. A recipient beginning with
  // "@" replaces only the recipient's domain.
  std::string m_strSender;
  std::string m_strRecipient;
  std::string m_strHeloName;   // EHLO/HELO name; empty: the local address's name
  std::string m_strInterface;  // local address to bind; empty: any
  int m_nResult = 0;
  bool m_bRemoveAfterSend;
  bool m_bUseTLS = true;
  int m_nSessionTimeOut = 90;  // seconds for each receive and send
  std::string m_strMailFile;
  CSMTPClient m_client;

 protected:
  void Run() override { SendMail(); }
  // Deletes a delivered mail file (a seam for tests of a file that stays).
  virtual kelpd::platform::FileResult RemoveMailFile(const std::string& path);

 private:
  // The failure's report beside the mail file, its log and console line, and
  // the result it stands for.
  void RecordSmtpFailure(const CSMTPException& e, const char* host, const std::string& recipient,
                         const std::string& messageId);
  // Tries every host; the result of the last one stays when all fail.
  void TryHosts(const CStringListEx& hosts, const std::string& sender, const std::string& recipient,
                const std::string& message, const std::string& authAs,
                const std::string& messageId);
  // What the session asks of host (the name connected to) after EHLO:
  // STARTTLS as the TLS mode and "UseTLS" say (then EHLO again), then AUTH
  // for a host entry with credentials. A password goes over a connection
  // without TLS only to a loopback address or with SetAllowPlaintextAuth;
  // otherwise the host fails as a temporary failure. With kEncrypt, or when
  // the mail's hosts have their certificates checked (which must then name
  // host), a host that does not complete STARTTLS fails as a temporary
  // failure. Otherwise, without credentials in kMay, a refused STARTTLS goes
  // on without TLS on the same connection, and a failed handshake throws
  // TlsFallback so that the host is tried once more with tlsAllowed false.
  void SecureSession(const std::string& host, const std::string& user, const std::string& password,
                     bool tlsAllowed);
  // Deletes the mail file and its report after a delivery.
  void RemoveDelivered();
  // Whether the connection kept open by the last delivery serves host entry
  // for this mail: RSET on it was answered 250. Ends a kept connection that
  // does not serve it.
  bool ResumeSession(const std::string& entry);
  bool StopRequested() const;

  RoutingTables tables_;
  kelpd::smtp::SortedEntries smarthost_entries_;
  // The names looked up in this attempt, each once.
  kelpd::dns::AddressCache addresses_;
  kelpd::smtp::TlsMode tls_mode_ = kelpd::smtp::TlsMode::kNone;
  kelpd::smtp::TlsVerify tls_verify_ = kelpd::smtp::TlsVerify::kNone;
  std::string ca_file_;
  bool verify_peer_ = false;  // for the mail being sent
  kelpd::net::AddressOrder address_order_ = kelpd::net::AddressOrder::kIPv4First;
  bool allow_loopback_mx_ = false;
  bool allow_plaintext_auth_ = false;
  std::function<std::unique_ptr<CResolver>()> resolver_factory_;
  LoadedMail last_load_;
  bool mail_file_busy_ = false;
  bool remove_failed_ = false;
  bool report_may_exist_ = true;
  bool routed_ = false;  // the mail being sent goes by a smarthost entry
  int mails_per_session_ = 1;
  int session_mails_ = 0;                    // delivered on the open connection
  std::optional<std::string> open_session_;  // its host entry while kept open
};
