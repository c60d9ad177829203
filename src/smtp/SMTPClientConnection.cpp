// CSMTPClient: making the connection and sending command lines.
#include <cstring>

#include "log/Log.h"
#include "net/LocalHostIdentity.h"
#include "smtp/ConsoleOutput.h"
#include "smtp/SMTPClient.h"

namespace platform = kelpd::platform;
using kelpd::smtp::WriteStdout;

namespace {

constexpr int kErrorAborted = 10053;

}  // namespace

CSMTPClient::CSMTPClient(bool verbose) : m_bVerbose(verbose) {
  std::memset(m_buf, 0, sizeof m_buf);
}

bool CSMTPClient::Connect(const char* host, unsigned port) {
  const char* name = host != nullptr ? host : "";
  m_lstTranscript.RemoveAll();
  m_bSTARTTLS = m_bAUTH = m_bCRAMMD5 = m_bCRAMSHA1 = m_bPLAIN = m_bLOGIN = m_bSIZE = false;
  // The flag stands for "this connection has authenticated": a later host (or
  // a later mail on this thread) that did not authenticate must get the AUTH=
  // parameter of MAIL again.
  m_bAuthenticated = false;

  if (m_bVerbose) WriteStdout(std::string("Trying to connect to ") + name + "...\n");
  Info(MainLog(), "trying to connect to %s", name);
  bool connected = false;
  ClearDeadline();
  try {
    connected = CSecureSyncSocketEx::Connect(host, port);
  } catch (const CSocketException&) {
    if (m_bVerbose) WriteStdout(std::string("Connection to ") + name + " failed\n");
    Warning(MainLog(), "connection to %s failed", name);
    throw;
  }
  // The greeting must be whole within the wait limit of one reply.
  SetDeadline(m_nTimeOut);
  if (connected) {
    if (m_bVerbose) WriteStdout(std::string("Connection to ") + name + " established\n");
    Info(MainLog(), "connection to %s established", name);
  } else {
    if (m_bVerbose) WriteStdout(std::string("Connection to ") + name + " failed\n");
    Warning(MainLog(), "connection to %s failed", name);
  }
  return connected;
}

int CSMTPClient::Send(const char* text) {
  std::string line = text != nullptr ? text : "";
  SendCommand(line, line);
  return static_cast<int>(line.size());
}

void CSMTPClient::SendCommand(const std::string& text, const std::string& shown) {
  WriteStdout(shown);
  if (m_nDebugLogging >= 1) Log(MainLog(), kLevelDebug, "C: %s", shown.c_str());
  m_lstTranscript.AddTail(">>> " + shown);
  // The command and its whole reply share one wait limit, so that a server
  // that trickles bytes or empty lines cannot hold the session.
  SetDeadline(m_nTimeOut);
  int len = static_cast<int>(text.size());
  // A command that did not leave whole would be followed by a reply to
  // something else: the session is over.
  if (CSecureSyncSocketEx::Send(text.data(), len, 0) != len) throw CSocketException(kErrorAborted);
}

void CSMTPClient::EchoReply() {
  if (m_bVerbose) WriteStdout(m_strReply);
}

std::string CSMTPClient::LocalHelloName() {
  platform::SocketAddress local;
  try {
    GetSockName(local);
  } catch (const CSocketException&) {
    return "localhost";
  }
  return kelpd::net::HelloNameFor(local.ip);
}
