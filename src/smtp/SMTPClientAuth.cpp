// CSMTPClient: the four AUTH mechanisms and the choice between them.
//
// The lines that carry credentials are sent as they must be but shown,
// logged and kept in the transcript as "****" (the AUTH PLAIN command as
// "AUTH PLAIN ****"): the transcript reaches failure reports, which are
// mailed back to the sender, and a Base64 password is no secret.
#include <cstdio>
#include <cstring>

#include "mail/Digests.h"
#include "mail/Encodings.h"
#include "smtp/SMTPClient.h"
#include "smtp/SMTPException.h"

namespace {

constexpr char kHidden[] = "****\r\n";

std::string LowerHex(const unsigned char* bytes, size_t count) {
  std::string hex;
  char two[3];
  for (size_t i = 0; i < count; ++i) {
    std::snprintf(two, sizeof two, "%02x", bytes[i]);
    hex += two;
  }
  return hex;
}

}  // namespace

void CSMTPClient::ExpectAuthReply(int code, int accepted, int alternative) {
  if (code == accepted || (alternative != 0 && code == alternative)) return;
  if (code >= 300 && code <= 399) {
    // The server still waits for a response of the exchange and would take
    // the next command as one: "*" cancels it, and its answer is read so
    // that the session stays in step.
    CStringListEx lines = m_lstTranscript;
    Send("*\r\n");
    ReadReply();
    throw CSMTPTemporaryException(lines);
  }
  // Every refusal during AUTH is temporary, 5xx included: the next host or a
  // later retry may accept the credentials.
  throw CSMTPTemporaryException(m_lstTranscript);
}

bool CSMTPClient::AuthCram(const char* command, bool accept330, bool sha1, const std::string& user,
                           const std::string& password) {
  Send(command);
  ExpectAuthReply(ReadReply(), 334, accept330 ? 330 : 0);
  // The challenge follows "334 "; Base64Decode skips the line end.
  std::string challenge = Base64Decode(m_strReply.size() > 4 ? m_strReply.substr(4) : "");
  // The key is the password up to a zero byte, as a C string would be.
  size_t key_length = std::strlen(password.c_str());
  std::string response = user + " ";
  if (sha1) {
    unsigned char digest[20];
    HmacSHA1(challenge.data(), challenge.size(), password.data(), key_length, digest);
    response += LowerHex(digest, sizeof digest);
  } else {
    unsigned char digest[16];
    HmacMD5(challenge.data(), challenge.size(), password.data(), key_length, digest);
    response += LowerHex(digest, sizeof digest);
  }
  SendCommand(Base64EncodeString(response.c_str(), true) + "\r\n", kHidden);
  ExpectAuthReply(ReadReply(), 235);
  m_bAuthenticated = true;
  return true;
}

bool CSMTPClient::AuthCramSha1(const std::string& user, const std::string& password) {
  return AuthCram("AUTH CRAM-SHA1\r\n", false, true, user, password);
}

bool CSMTPClient::AuthCramMd5(const std::string& user, const std::string& password) {
  return AuthCram("AUTH CRAM-MD5\r\n", true, false, user, password);
}

bool CSMTPClient::AuthPlain(const std::string& user, const std::string& password) {
  // Empty authorisation identity, then user and password, each after a zero.
  std::string buffer;
  buffer += '\0';
  buffer += user;
  buffer += '\0';
  buffer += password;
  SendCommand("AUTH PLAIN " +
                  Base64EncodeBuffer(buffer.data(), static_cast<int64_t>(buffer.size()), true) +
                  "\r\n",
              "AUTH PLAIN ****\r\n");
  ExpectAuthReply(ReadReply(), 235);
  m_bAuthenticated = true;
  return true;
}

bool CSMTPClient::AuthLogin(const std::string& user, const std::string& password) {
  Send("AUTH LOGIN\r\n");
  ExpectAuthReply(ReadReply(), 334, 330);
  SendCommand(Base64EncodeString(user.c_str(), true) + "\r\n", kHidden);
  ExpectAuthReply(ReadReply(), 334, 330);
  SendCommand(Base64EncodeString(password.c_str(), true) + "\r\n", kHidden);
  ExpectAuthReply(ReadReply(), 235);
  m_bAuthenticated = true;
  return true;
}

namespace kelpd::smtp {
namespace {

enum class Mechanism { kNone, kCramSha1, kCramMd5, kPlain, kLogin };

// A server that offers no STARTTLS (or an attacker who strips it) must not
// learn the password: the host fails instead, whatever would follow.
void RefuseClearPassword(const CSMTPClient& client, Mechanism mechanism, const std::string& user,
                         bool clear_password_allowed) {
  const bool sends_password = mechanism == Mechanism::kPlain || mechanism == Mechanism::kLogin;
  if (!sends_password || clear_password_allowed || client.Encrypted()) return;
  CStringListEx lines = client.m_lstTranscript;
  lines.AddTail("refusing to send the password for " + user + " without TLS");
  throw CSMTPTemporaryException(lines);
}

bool Run(CSMTPClient& client, Mechanism mechanism, const std::string& user,
         const std::string& password) {
  switch (mechanism) {
    case Mechanism::kCramSha1:
      return client.AuthCramSha1(user, password);
    case Mechanism::kCramMd5:
      return client.AuthCramMd5(user, password);
    case Mechanism::kPlain:
      return client.AuthPlain(user, password);
    case Mechanism::kLogin:
      return client.AuthLogin(user, password);
    case Mechanism::kNone:
      break;
  }
  return false;
}

Mechanism FirstOffered(const CSMTPClient& client) {
  if (client.m_bCRAMSHA1) return Mechanism::kCramSha1;
  if (client.m_bCRAMMD5) return Mechanism::kCramMd5;
  if (client.m_bPLAIN) return Mechanism::kPlain;
  if (client.m_bLOGIN) return Mechanism::kLogin;
  return Mechanism::kNone;
}

// One fallback only; CRAM-MD5 is never tried after CRAM-SHA1.
Mechanism FallbackAfter(const CSMTPClient& client, Mechanism failed) {
  switch (failed) {
    case Mechanism::kCramSha1:
    case Mechanism::kCramMd5:
      if (client.m_bPLAIN) return Mechanism::kPlain;
      if (client.m_bLOGIN) return Mechanism::kLogin;
      return Mechanism::kNone;
    case Mechanism::kPlain:
      return client.m_bLOGIN ? Mechanism::kLogin : Mechanism::kNone;
    case Mechanism::kLogin:
    case Mechanism::kNone:
      break;
  }
  return Mechanism::kNone;
}

}  // namespace

bool Authenticate(CSMTPClient& client, const std::string& user, const std::string& password,
                  bool clearPasswordAllowed) {
  if (user.empty() || password.empty() || !client.m_bAUTH) return false;
  Mechanism first = FirstOffered(client);
  if (first == Mechanism::kNone) return false;
  RefuseClearPassword(client, first, user, clearPasswordAllowed);
  Mechanism fallback = Mechanism::kNone;
  try {
    bool ok = Run(client, first, user, password);
    client.EchoReply();
    return ok;
  } catch (const CSMTPTemporaryException&) {
    client.EchoReply();
    fallback = FallbackAfter(client, first);
    // Without a fallback the session goes on unauthenticated, and the
    // server's answer to MAIL or RCPT decides.
    if (fallback == Mechanism::kNone) return false;
  }
  RefuseClearPassword(client, fallback, user, clearPasswordAllowed);
  bool ok = Run(client, fallback, user, password);
  client.EchoReply();
  return ok;
}

}  // namespace kelpd::smtp
