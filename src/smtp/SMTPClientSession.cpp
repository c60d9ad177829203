// CSMTPClient: the commands of a session, from EHLO to QUIT.
#include <algorithm>

#include "mail/Encodings.h"
#include "smtp/SMTPClient.h"
#include "smtp/SMTPException.h"

namespace {

constexpr int kErrorAborted = 10053;
// The protocol set the session asks of the TLS layer (SSL 2, SSL 3, TLS 1.0
// client); the TLS layer offers its own policy's versions for it.
constexpr unsigned kTlsProtocols = 0xA8;

bool Contains(const std::string& text, const char* word) {
  return text.find(word) != std::string::npos;
}

// Text from a mail file or the configuration must not add a line of its own
// to a command.
bool HasLineBreak(const std::string& text) {
  return text.find_first_of(std::string("\r\n\0", 3)) != std::string::npos;
}

}  // namespace

void CSMTPClient::Hello(const std::string& name) {
  std::string helo = name.empty() ? LocalHelloName() : name;
  helo = helo.substr(0, helo.find_first_of(std::string("\r\n\0", 3)));
  Send(("EHLO " + helo + "\r\n").c_str());
  if (ReadReply() == 250) {
    // A plain substring search over the whole reply, as the capability words
    // stand on lines of their own or after "AUTH".
    m_bSTARTTLS = Contains(m_strReply, "STARTTLS");
    m_bAUTH = Contains(m_strReply, "AUTH");
    m_bSIZE = Contains(m_strReply, "SIZE");
    if (m_bAUTH) {
      m_bCRAMSHA1 = Contains(m_strReply, "CRAM-SHA1");
      m_bCRAMMD5 = Contains(m_strReply, "CRAM-MD5");
      m_bPLAIN = Contains(m_strReply, "PLAIN");
      m_bLOGIN = Contains(m_strReply, "LOGIN");
    }
    return;
  }
  EchoReply();
  Send(("HELO " + helo + "\r\n").c_str());
  // A server that knows neither greeting may know it later: never permanent.
  if (ReadReply() != 250) throw CSMTPTemporaryException(m_lstTranscript);
}

bool CSMTPClient::StartTLS(const std::string& targetName) {
  Send("STARTTLS\r\n");
  int code = ReadReply();
  EchoReply();
  if (code != 220) kelpd::smtp::ThrowForReply(code, m_lstTranscript);
  return NegotiateTLS(false, nullptr, true, kTlsProtocols,
                      targetName.empty() ? nullptr : targetName.c_str());
}

void CSMTPClient::MailFrom(const std::string& sender, const std::string& authAs, long long size) {
  m_lstTranscript.RemoveAll();
  if (HasLineBreak(sender))
    throw CSMTPPermanentException("sender address <" + sender + "> has bad format");
  std::string command = "MAIL From:<" + sender + ">";
  if (m_bSIZE && size > 0) command += " SIZE=" + std::to_string(size);
  if (m_bAUTH && !m_bAuthenticated && !authAs.empty()) command += " AUTH=" + XtextEncode(authAs);
  Send((command + "\r\n").c_str());
  int code = ReadReply();
  if (code != 250) kelpd::smtp::ThrowForReply(code, m_lstTranscript);
}

void CSMTPClient::RcptTo(const std::string& recipient) {
  if (HasLineBreak(recipient))
    throw CSMTPPermanentException("recipient address <" + recipient + "> has bad format");
  Send(("RCPT To:<" + recipient + ">\r\n").c_str());
  int code = ReadReply();
  if (code != 250 && code != 251) kelpd::smtp::ThrowForReply(code, m_lstTranscript);
}

void CSMTPClient::Data(const std::string& message) {
  Send("DATA\r\n");
  int code = ReadReply();
  EchoReply();
  if (code != 354) kelpd::smtp::ThrowForReply(code, m_lstTranscript);
  // The message may take longer than one reply's limit: each piece is held
  // only to the wait limit of its own send.
  ClearDeadline();
  for (size_t done = 0; done < message.size();) {
    int piece = static_cast<int>(std::min(kDataPiece, message.size() - done));
    if (CSecureSyncSocketEx::Send(message.data() + done, piece, 0) != piece)
      throw CSocketException(kErrorAborted);
    done += static_cast<size_t>(piece);
  }
  SetDeadline(m_nTimeOut);
  code = ReadReply();
  if (code != 250) kelpd::smtp::ThrowForReply(code, m_lstTranscript);
}

bool CSMTPClient::Quit() {
  Send("QUIT\r\n");
  return ReadReply() == 221;
}

bool CSMTPClient::Reset() {
  Send("RSET\r\n");
  return ReadReply() == 250;
}
