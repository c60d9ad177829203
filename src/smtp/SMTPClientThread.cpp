#include "smtp/SMTPClientThread.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <exception>
#include <vector>

#include "base/Text.h"
#include "config/ConfigMap.h"
#include "dns/Resolver.h"
#include "log/Log.h"
#include "mail/Address.h"
#include "mail/Mail.h"
#include "net/ErrorTexts.h"
#include "net/SocketException.h"
#include "platform/Files.h"
#include "platform/HostLookup.h"
#include "platform/StopSignal.h"
#include "smtp/ConsoleOutput.h"
#include "smtp/FailureReport.h"
#include "smtp/SMTPException.h"

namespace {

using kelpd::smtp::DeliveryResult;
using kelpd::smtp::ToInt;
using kelpd::smtp::WriteStderr;
using kelpd::smtp::WriteStdout;

// printf into a string for the texts that go both to the log and to
// standard error; the format is always a literal.
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
  char buf[1024];
  va_list args;
  va_start(args, format);
  vsnprintf(buf, sizeof buf, format, args);
  va_end(args);
  return buf;
}

// Whether addresses (a host's MailHostAddresses) are this machine's; see
// PointsBackToThisHost. own holds this machine's addresses once they were
// needed, for the next host of the same attempt.
bool PointsBack(const std::vector<kelpd::platform::IpAddress>& addresses, bool allow_loopback,
                std::optional<std::vector<kelpd::platform::IpAddress>>& own) {
  if (addresses.empty()) return false;
  for (const kelpd::platform::IpAddress& a : addresses) {
    // Every loopback and "this network" address reaches this machine's own
    // receiver, whatever the interfaces say; a set-up that allows them has
    // its mail hosts there (::1 is the loopback interface's own address, so
    // it is not compared with the interfaces').
    if (kelpd::dns::IsThisHostAddress(a)) {
      if (!allow_loopback) return true;
      continue;
    }
    if (!own) {
      // The host name alone often resolves to a loopback address only; the
      // interfaces carry the addresses other machines know this one by.
      own = kelpd::platform::LocalInterfaceAddresses();
      if (const std::optional<std::string> name = kelpd::platform::HostName()) {
        const std::vector<kelpd::platform::IpAddress> named = kelpd::platform::ResolveAll(*name);
        own->insert(own->end(), named.begin(), named.end());
      }
    }
    // An IPv4 address written as IPv6 (::ffff:a.b.c.d) is the same address.
    for (const kelpd::platform::IpAddress& mine : *own)
      if (a.Unmapped() == mine.Unmapped()) return true;
  }
  return false;
}

std::string DomainOf(const std::string& address) {
  const char* domain = GetDomainPart(address.c_str());
  return domain ? std::string(domain) : std::string();
}

// A handshake that failed on a host that may take the mail without TLS: the
// host is connected to once more and STARTTLS is left out.
struct TlsFallback {
  std::string reason;
};

}  // namespace

namespace kelpd::smtp {

TlsMode ParseTlsMode(const std::string& text) {
  if (kelpd::text::EqualsNoCase(text, "none")) return TlsMode::kNone;
  if (kelpd::text::EqualsNoCase(text, "encrypt")) return TlsMode::kEncrypt;
  return TlsMode::kMay;
}

TlsVerify ParseTlsVerify(const std::string& text) {
  if (text == "1") return TlsVerify::kAll;
  if (kelpd::text::EqualsNoCase(text, "smarthosts")) return TlsVerify::kSmarthosts;
  return TlsVerify::kNone;
}

}  // namespace kelpd::smtp

CSMTPClientThread::CSMTPClientThread(std::string mailFile, bool removeAfterSend)
    : m_bRemoveAfterSend(removeAfterSend), m_strMailFile(std::move(mailFile)), m_client(true) {}

CSMTPClientThread::~CSMTPClientThread() = default;

void CSMTPClientThread::ParseHostEntry(const std::string& entry, std::string& host, unsigned& port,
                                       std::string& user, std::string& password) {
  kelpd::smtp::HostEntry parsed{host, port, user, password};
  kelpd::smtp::ParseHostEntry(entry, parsed);
  host = std::move(parsed.host);
  port = parsed.port;
  user = std::move(parsed.user);
  password = std::move(parsed.password);
}

bool CSMTPClientThread::StopRequested() const {
  // The stop signal of the thread running SendMail: a delivery thread's own.
  const kelpd::platform::StopSignal* signal = kelpd::platform::CurrentStopSignal();
  return signal != nullptr && signal->IsRaised();
}

bool CSMTPClientThread::PointsBackToThisHost(const std::string& host, bool allowLoopback) {
  std::optional<std::vector<kelpd::platform::IpAddress>> own;
  return PointsBack(kelpd::dns::MailHostAddresses(host), allowLoopback, own);
}

int CSMTPClientThread::ResolveMX(const std::string& domain_in, CStringListEx& hosts) {
  std::string domain = domain_in;
  // A trailing dot keeps the resolver's search list out of the look-up.
  if (domain.find('.') != std::string::npos && domain.back() != '.') domain += '.';
  std::unique_ptr<CResolver> resolver = resolver_factory_ ? resolver_factory_() : CreateResolver();
  if (!resolver) return 1;
  resolver->AllowLoopbackHosts(allow_loopback_mx_);
  resolver->UseAddressCache(&addresses_);
  CStringListEx mx;
  const int code = resolver->GetMXHosts(domain.c_str(), mx);
  if (code != 0) return code;

  std::string bare = domain;
  if (!bare.empty() && bare.back() == '.') bare.pop_back();
  const bool backup = tables_.is_backup_domain && tables_.is_backup_domain(bare);
  std::optional<std::vector<kelpd::platform::IpAddress>> own;
  for (const std::string& host : mx) {
    hosts.AddTail(host);
    // This system is itself a secondary exchanger of a backup domain: only
    // the primary is worth trying, and it is not this machine.
    if (backup) break;
    if (PointsBack(kelpd::dns::MailHostAddresses(host, &addresses_), allow_loopback_mx_, own))
      return 3;
  }
  return 0;
}

bool CSMTPClientThread::ReadMailFile(const std::string& path, std::string& sender,
                                     std::string& recipient, std::string& message,
                                     std::string& authAs, std::string& messageId) {
  CMail mail;
  kelpd::platform::FileResult error;
  last_load_ = LoadedMail{};
  if (!mail.Load(path, error, false)) {
    last_load_.error = error;
    mail_file_busy_ = mail.LastLoadFailure() == CMail::LoadFailure::kLockNotObtained;
    const std::string line = Format("error: could not open file \"%s\": %s\n", path.c_str(),
                                    kelpd::net::FileErrorText(&error).c_str());
    WriteStderr(line);
    Error(MainLog(), "%s", line.c_str());
    return false;
  }

  last_load_.loaded = true;
  last_load_.sender = mail.m_strSender;
  last_load_.first_recipient = mail.GetFirstRecipient();
  last_load_.resent_for = mail.m_strResentFor;

  if (!m_strSender.empty()) {
    mail.SetEnvelopeSender(sender);
    mail.SetFromAddress(sender);
  } else {
    sender = !mail.m_strSender.empty() ? mail.m_strSender : mail.m_strReturnPath;
  }

  if (!m_strRecipient.empty() && m_strRecipient[0] != '@') {
    mail.SetRecipients(recipient);
  } else {
    recipient = mail.GetFirstRecipient();
    if (recipient.empty() && !mail.m_received.IsEmpty()) {
      // The "for <address>" clause of the newest Received line.
      const std::string first = mail.m_received.GetHead();
      if (first.find('<') != std::string::npos && first.find('>') != std::string::npos)
        recipient = NormalizeAddress(first);
    }
  }
  if (recipient.empty()) {
    WriteStderr("error: no receiver specified\n");
    return false;
  }

  authAs = mail.m_strAuthenticatedAs;
  mail.m_strAuthenticatedAs.clear();

  if (tables_.masquerading != nullptr) {
    std::string masked;
    if (tables_.masquerading->Lookup(NormalizeAddress(sender), masked)) {
      sender = masked;
      mail.SetEnvelopeSender(sender);
      mail.SetFromAddress(sender);
      if (!mail.m_strReplyTo.empty()) mail.m_strReplyTo = sender;
      if (!mail.m_strReturnReceiptTo.empty()) mail.m_strReturnReceiptTo = sender;
    }
  }

  messageId = mail.GetMessageID();
  if (!mail.BuildText(message, PlainHeaders)) return false;
  try {
    // The end marker's leading CR LF ends the last line; a message that ends
    // in a line end already gets only ".\r\n", so that no empty line is added
    // to the mail.
    const bool ends_in_line_end = message.size() >= 2 && message.ends_with("\r\n");
    message.append(ends_in_line_end ? ".\r\n" : "\r\n.\r\n");
  } catch (const std::bad_alloc&) {
    return false;
  }
  return true;
}

void CSMTPClientThread::SendMail() {
  addresses_.Clear();
  last_load_ = LoadedMail{};
  mail_file_busy_ = false;
  remove_failed_ = false;
  std::string sender = m_strSender;
  std::string recipient;
  if (!m_strRecipient.empty() && m_strRecipient[0] != '@') recipient = m_strRecipient;
  std::string message, authAs, messageId;

  try {
    if (!ReadMailFile(m_strMailFile, sender, recipient, message, authAs, messageId)) {
      m_nResult = ToInt(DeliveryResult::kBadFile);
      return;
    }
    if (!m_strRecipient.empty() && m_strRecipient[0] == '@')
      recipient = GetLocalPart(recipient) + m_strRecipient;

    CStringListEx hosts;
    bool routed = false;  // by a smarthost entry rather than by MX records
    try {
      if (!sender.empty() && !IsValidAddress(sender))
        throw CSMTPPermanentException(Format("sender address <%s> has bad format", sender.c_str()));
      if (recipient.empty() || !IsValidAddress(recipient))
        throw CSMTPPermanentException(
            Format("recipient address <%s> has bad format", recipient.c_str()));
      const std::string sender_domain = DomainOf(sender);
      const std::string recipient_domain = DomainOf(recipient);

      if (tables_.smarthosts != nullptr)
        routed = kelpd::smtp::SmarthostRoute(smarthost_entries_.Of(*tables_.smarthosts),
                                             sender_domain, recipient_domain, hosts) &&
                 !hosts.IsEmpty();
      if (!routed) {
        const int code = ResolveMX(recipient_domain, hosts);
        const char* domain = recipient_domain.c_str();
        if (code == 1)
          throw CSMTPTemporaryException(
              Format("MX resolution for domain '%s' failed, please retry later", domain));
        if (code == 2)
          throw CSMTPPermanentException(
              Format("MX resolution for domain '%s' failed, please verify address", domain));
        if (code == 3)
          throw CSMTPPermanentException(
              Format("MX entry for domain '%s' points back to this host, risk "
                     "of endless loop",
                     domain));
        if (hosts.IsEmpty())
          throw CSMTPTemporaryException(
              Format("MX resolution for domain '%s' failed, no valid MX returned", domain));
      }
    } catch (const CSMTPException& e) {
      RecordSmtpFailure(e, nullptr, recipient, messageId);
      return;
    }

    verify_peer_ = tls_verify_ == kelpd::smtp::TlsVerify::kAll ||
                   (tls_verify_ == kelpd::smtp::TlsVerify::kSmarthosts && routed);
    routed_ = routed;
    TryHosts(hosts, sender, recipient, message, authAs, messageId);
  } catch (const std::exception& e) {
    // Running out of memory or the like: nothing was delivered, so the mail
    // is tried again later.
    Error(MainLog(), "mail <%s> failed: %s", messageId.c_str(), e.what());
    open_session_.reset();
    m_client.Close();
    m_nResult = ToInt(DeliveryResult::kTemporary);
  }
}

void CSMTPClientThread::RecordSmtpFailure(const CSMTPException& e, const char* host,
                                          const std::string& recipient,
                                          const std::string& messageId) {
  report_may_exist_ = true;
  e.WriteReport(m_strMailFile, host, recipient);
  const std::string line = Format("mail <%s> failed with %s SMTP error: ", messageId.c_str(),
                                  e.IsPermanent() ? "permanent" : "temporary") +
                           e.GetLastLine();
  Error(MainLog(), "%s", line.c_str());
  WriteStderr(line + "\n");
  m_nResult = ToInt(e.IsPermanent() ? DeliveryResult::kPermanent : DeliveryResult::kTemporary);
}

void CSMTPClientThread::TryHosts(const CStringListEx& hosts, const std::string& sender,
                                 const std::string& recipient, const std::string& message,
                                 const std::string& authAs, const std::string& messageId) {
  const std::string bare_sender = NormalizeAddress(sender);
  const std::string bare_recipient = NormalizeAddress(recipient);
  const long long size = static_cast<long long>(message.size());

  for (const std::string& entry : hosts) {
    if (StopRequested()) {
      m_nResult = ToInt(DeliveryResult::kShutDown);
      return;
    }
    m_nResult = ToInt(DeliveryResult::kDelivered);
    std::string host, user, password;
    unsigned port = 25;
    ParseHostEntry(entry, host, port, user, password);
    // At most twice: once more without STARTTLS after a failed handshake.
    for (bool tls_allowed = true;; tls_allowed = false) {
      bool delivered = false;
      try {
        if (!ResumeSession(entry)) {
          m_client.Close();
          // A socket that could not be bound to the configured interface would
          // otherwise connect from any address.
          if (!m_client.Create(0, kelpd::platform::kSocketStream,
                               m_strInterface.empty() ? nullptr : m_strInterface.c_str(), false))
            throw CSocketException(10049);
          m_client.m_nTimeOut = m_nSessionTimeOut;
          m_client.SetAddressOrder(address_order_);
          // An MX host was looked up by the MX resolution of this attempt.
          if (const auto* known = addresses_.Find(host)) m_client.UseAddressesOnce(host, *known);
          m_client.Connect(host.c_str(), port);
          const int greeting = m_client.ReadReply();
          m_client.EchoReply();
          if (greeting != 220) {
            if (greeting >= 500 && greeting <= 599)
              throw CSMTPPermanentException(m_client.m_lstTranscript);
            throw CSMTPTemporaryException(m_client.m_lstTranscript);
          }
          m_client.Hello(m_strHeloName);
          m_client.EchoReply();

          SecureSession(host, user, password, tls_allowed);
          session_mails_ = 0;
        }

        m_client.MailFrom(bare_sender, authAs, size);
        m_client.EchoReply();
        m_client.RcptTo(bare_recipient);
        m_client.EchoReply();
        m_client.Data(message);
        m_client.EchoReply();
        delivered = true;
        const std::string tls = m_client.Encrypted() ? m_client.SessionDescription() : "";
        Info(MainLog(), "mail <%s> from <%s> to <%s> delivered, %d bytes sent, %s%s",
             messageId.c_str(), bare_sender.c_str(), bare_recipient.c_str(), static_cast<int>(size),
             tls.empty() ? "without TLS" : "encrypted with ", tls.c_str());
        if (m_bRemoveAfterSend) RemoveDelivered();
        // A smarthost's connection may carry the thread's next mails for the
        // same host entry (see EndSession).
        if (routed_ && ++session_mails_ < mails_per_session_) {
          open_session_ = entry;
          return;
        }
        m_client.Quit();
        m_client.EchoReply();
        m_client.Close();
        return;
      } catch (const TlsFallback& fallback) {
        Warning(MainLog(), "mail <%s>: TLS handshake with %s failed (%s), trying again without TLS",
                messageId.c_str(), host.c_str(), fallback.reason.c_str());
        m_client.Close();
        continue;
      } catch (const CSocketException& e) {
        const std::string text = e.GetErrorText();
        if (delivered) {
          Warning(MainLog(), "socket error after successful delivery: %s", text.c_str());
          WriteStderr(Format("socket error after successful delivery: %s", text.c_str()) + "\n");
          m_client.Close();
          return;
        }
        report_may_exist_ = true;
        kelpd::smtp::WriteSocketReport(e, m_strMailFile, host.c_str(), recipient);
        const std::string line =
            Format("mail <%s> failed with socket error: %s", messageId.c_str(), text.c_str());
        Error(MainLog(), "%s", line.c_str());
        WriteStderr(line + "\n");
        m_client.Close();
        m_nResult = ToInt(DeliveryResult::kSocketError);
      } catch (const CSMTPException& e) {
        RecordSmtpFailure(e, host.c_str(), recipient, messageId);
        try {
          m_client.Quit();
          m_client.EchoReply();
        } catch (const CSocketException&) {
        }
        m_client.Close();
        // A permanent failure ends the mail; a temporary one tries the next host.
        if (e.IsPermanent()) return;
      }
      break;
    }
  }
}

bool CSMTPClientThread::ResumeSession(const std::string& entry) {
  if (!open_session_) return false;
  const bool same = routed_ && *open_session_ == entry;
  if (!same) {
    EndSession();
    return false;
  }
  open_session_.reset();
  // The last mail's transaction is over; RSET starts this one from a clean
  // state. A connection that the server dropped meanwhile, or a server that
  // refuses, costs this mail nothing: it gets a connection of its own.
  try {
    const bool ready = m_client.Reset();
    m_client.EchoReply();
    if (ready) return true;
    m_client.Quit();
    m_client.EchoReply();
  } catch (const CSocketException&) {
  }
  m_client.Close();
  return false;
}

void CSMTPClientThread::EndSession() {
  if (!open_session_) return;
  open_session_.reset();
  try {
    m_client.Quit();
    m_client.EchoReply();
  } catch (const CSocketException&) {
  }
  m_client.Close();
}

void CSMTPClientThread::SecureSession(const std::string& host, const std::string& user,
                                      const std::string& password, bool tlsAllowed) {
  using kelpd::smtp::TlsMode;
  const bool credentials = !user.empty() && !password.empty();
  // Mail may go on without TLS only where nothing secret travels, the mode
  // allows it and no certificate is to be checked; a password never does.
  const bool opportunistic = tls_mode_ == TlsMode::kMay && !credentials && !verify_peer_;
  const bool required = tls_mode_ == TlsMode::kEncrypt || verify_peer_;
  bool want_tls = required || (credentials ? m_bUseTLS : tls_mode_ == TlsMode::kMay);
  if (opportunistic && !tlsAllowed) want_tls = false;
  if (!want_tls) {
    // nothing to start
  } else if (!m_client.m_bSTARTTLS) {
    if (required) {
      CStringListEx lines = m_client.m_lstTranscript;
      lines.AddTail(verify_peer_
                        ? "the server offers no STARTTLS, and its certificate is to be checked"
                        : "the server offers no STARTTLS, and TLS.Mode is encrypt");
      throw CSMTPTemporaryException(lines);
    }
  } else {
    if (!m_client.VerifyPeer(verify_peer_, ca_file_)) {
      CStringListEx lines = m_client.m_lstTranscript;
      lines.AddTail(m_client.LastTlsError() + " (\"" + ca_file_ + "\")");
      throw CSMTPTemporaryException(lines);
    }
    // The name the certificate must carry is the one connected to.
    std::string name = host;
    if (!name.empty() && name.back() == '.') name.pop_back();
    bool established = false;
    bool refused = false;
    try {
      established = m_client.StartTLS(name);
    } catch (const CSMTPException& e) {
      // The server refused and still waits for a command in clear.
      if (!opportunistic) {
        if (required) throw CSMTPTemporaryException(e.GetLines());
        throw;
      }
      refused = true;
      Info(MainLog(), "STARTTLS refused, the mail goes on without TLS: %s",
           e.GetLastLine().c_str());
    }
    if (!established && !refused) {
      if (opportunistic) throw TlsFallback{m_client.LastTlsError()};
      CStringListEx lines = m_client.m_lstTranscript;
      lines.AddTail(m_client.LastTlsError().empty()
                        ? std::string("SSL/TLS-handshake failed")
                        : "SSL/TLS-handshake failed: " + m_client.LastTlsError());
      throw CSMTPTemporaryException(lines);
    }
    if (established) {
      m_client.Hello(m_strHeloName);
      m_client.EchoReply();
    }
  }
  if (!credentials) return;
  if (!m_client.m_bAUTH) return;
  // A password may cross an unencrypted connection only to this machine, or
  // where the administrator says so.
  bool clear_password_allowed = allow_plaintext_auth_;
  if (!clear_password_allowed && !m_client.Encrypted()) {
    kelpd::platform::SocketAddress local;
    try {
      m_client.GetSockName(local);
      // A connection from a loopback address stays inside this machine.
      clear_password_allowed = kelpd::dns::IsThisHostAddress(local.ip);
    } catch (const CSocketException&) {
    }
  }
  kelpd::smtp::Authenticate(m_client, user, password, clear_password_allowed);
}

kelpd::platform::FileResult CSMTPClientThread::RemoveMailFile(const std::string& path) {
  return kelpd::platform::RemoveFile(path);
}

void CSMTPClientThread::RemoveDelivered() {
  if (kelpd::smtp::StdoutWanted())
    WriteStdout(Format("--> Removing file \"%s\"...\n", m_strMailFile.c_str()));
  Info(MainLog(), "removing file \"%s\"", m_strMailFile.c_str());
  const kelpd::platform::FileResult error = RemoveMailFile(m_strMailFile);
  if (!error.ok() && !error.Is(kelpd::platform::kFileCauseNotFound)) {
    // A delivered mail that stays in the outgoing directory must not be sent
    // again: the caller keeps its name held instead of releasing it.
    remove_failed_ = true;
    Error(MainLog(), "could not remove file \"%s\", cause=%d error=%d", m_strMailFile.c_str(),
          error.cause(), error.error());
  }
  if (!report_may_exist_) return;
  kelpd::platform::RemoveFile(m_strMailFile + ".err").IgnoreError();
}
