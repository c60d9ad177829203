// CSMTPClient: one SMTP connection of the remote delivery path. It connects,
// sends commands, reads and classifies replies, records the server's
// capabilities, switches to TLS on request and keeps the transcript that
// failure reports quote. It knows nothing of mail files or routing; SendMail
// drives it host by host, and one object serves a delivery thread for its
// whole life (Create, Connect, ..., Close for each host).
//
// Every refusal is thrown as CSMTPTemporaryException or
// CSMTPPermanentException carrying a copy of the transcript; every connection
// failure, a peer that closes while a reply is awaited, a wait that runs out
// (m_nTimeOut) and a reply over the reader's bounds as CSocketException
// (10053 for the last three).
//
// The dialogue goes to standard output (replies only when m_bVerbose), to the
// debug log (DebugLogging 1: commands and replies, 2: also each line as it
// arrives) and into the transcript. Credentials never do: the AUTH command
// and the lines that carry them are shown as "AUTH PLAIN ****" and "****".
//
// Not thread-safe: an object belongs to one delivery thread.
#pragma once

#include <string>

#include "config/StringListEx.h"
#include "net/SecureSyncSocketEx.h"
#include "smtp/ReplyReader.h"

class CSMTPClient : public CSecureSyncSocketEx {
 public:
  // Writes no debug lines until m_nDebugLogging is set.
  explicit CSMTPClient(bool verbose);

  using CSecureSyncSocketEx::Send;

  // Empties the transcript, clears the capability flags and m_bAuthenticated,
  // then connects (see CSecureSyncSocketEx::Connect), announcing the attempt
  // and its outcome on standard output (verbose) and in the log. Returns
  // false or throws CSocketException when the connection fails.
  bool Connect(const char* host, unsigned port) override;

  // One command line (text ends in CR LF): shown on standard output, logged
  // with DebugLogging, added to the transcript as ">>> " + text, and sent
  // whole (a short send throws CSocketException 10053).
  int Send(const char* text) override;

  // Reads one complete reply into m_strReply (every line, each ending in
  // "\n") and returns its code, also kept in m_nReplyCode; adds "<<< " +
  // m_strReply to the transcript.
  int ReadReply();
  // Writes m_strReply to standard output when verbose.
  void EchoReply();
  // Whether what is sent now travels inside an established TLS session.
  bool Encrypted() const { return m_bSecure && m_bHandshakeDone && !m_bRaw; }

  // EHLO with name (empty: the local address's name, else the host name,
  // else "localhost"); on 250 the capability flags are read from the reply.
  // Any other answer falls back to HELO, which must be answered 250 (else a
  // temporary failure).
  void Hello(const std::string& name);
  // STARTTLS; on 220 the TLS handshake follows and its result is returned.
  // targetName, when not empty, is the server's name for the handshake (see
  // NegotiateTLS; also the name a verified certificate must carry).
  bool StartTLS(const std::string& targetName = {});
  // Empties the transcript, then "MAIL From:<sender>" with " SIZE=<size>"
  // when offered and size > 0, and " AUTH=<xtext of authAs>" when AUTH was
  // offered, this connection has not authenticated and authAs is not empty.
  void MailFrom(const std::string& sender, const std::string& authAs, long long size);
  // "RCPT To:<recipient>"; 250 and 251 are accepted.
  void RcptTo(const std::string& recipient);
  // "DATA"; on 354 the message is sent unchanged in pieces of at most 8192
  // bytes and the final reply must be 250. The message must already be in
  // transmission form (dot-stuffed, ending in CR LF "." CR LF).
  void Data(const std::string& message);
  // "QUIT"; whether the answer was 221. Never throws an SMTP failure.
  bool Quit();
  // "RSET", which begins a further mail on the same connection; whether the
  // answer was 250. Never throws an SMTP failure.
  bool Reset();

  // The four mechanisms: true on success (m_bAuthenticated is set); any
  // unexpected reply throws CSMTPTemporaryException. An unexpected 3xx reply
  // leaves the exchange open: it is cancelled with "*" and the answer read
  // first, so that the next command is not taken as a response.
  bool AuthCramSha1(const std::string& user, const std::string& password);
  bool AuthCramMd5(const std::string& user, const std::string& password);
  bool AuthPlain(const std::string& user, const std::string& password);
  bool AuthLogin(const std::string& user, const std::string& password);

  // The transcript: ">>> " + command and "<<< " + reply entries since the
  // last Connect or MailFrom.
  CStringListEx m_lstTranscript;
  // Set by a successful AUTH, cleared by Connect: it describes this
  // connection (see Connect).
  bool m_bAuthenticated = false;
  bool m_bVerbose;
  char m_buf[1024];
  std::string m_strReply;
  int m_nReplyCode = 0;
  int m_nDebugLogging = 0;
  bool m_bSTARTTLS = false;
  bool m_bAUTH = false;
  bool m_bCRAMMD5 = false;
  bool m_bCRAMSHA1 = false;
  bool m_bPLAIN = false;
  bool m_bLOGIN = false;
  bool m_bSIZE = false;

  // Pieces of the message body sent by Data.
  static constexpr size_t kDataPiece = 8192;

 private:
  // Send with shown in place of text everywhere but on the wire: the lines
  // that carry credentials are recorded as "****".
  void SendCommand(const std::string& text, const std::string& shown);
  // The CRAM exchange shared by CRAM-SHA1 and CRAM-MD5.
  bool AuthCram(const char* command, bool accept330, bool sha1, const std::string& user,
                const std::string& password);
  // Raises a temporary failure with the transcript unless code is accepted.
  void ExpectAuthReply(int code, int accepted, int alternative = 0);
  std::string LocalHelloName();

  kelpd::smtp::ReplyReader reader_;
};

namespace kelpd::smtp {

// Authenticates client after EHLO (and STARTTLS) when user and password are
// both non-empty and the server offered AUTH: the first mechanism offered in
// the order CRAM-SHA1, CRAM-MD5, PLAIN, LOGIN; after a temporary failure one
// fallback (after a CRAM mechanism PLAIN, else LOGIN; after PLAIN, LOGIN),
// whose own temporary failure is thrown. A refused mechanism without a
// fallback leaves the session unauthenticated (false). The last reply is
// echoed after the exchange and after the fallback. Returns whether the
// session is authenticated.
//
// PLAIN and LOGIN put the password itself on the wire: on a connection that
// is not encrypted they are used only when clearPasswordAllowed; otherwise
// choosing one of them (first or as the fallback) throws a temporary failure
// whose last line is "refusing to send the password for <user> without TLS".
// The CRAM mechanisms send no password and are always allowed.
bool Authenticate(CSMTPClient& client, const std::string& user, const std::string& password,
                  bool clearPasswordAllowed);

}  // namespace kelpd::smtp
