// "openssl s_server" on a loopback port with a generated certificate: the TLS
// peer of the TLS client's tests. The test reads what the server received
// (s_server's standard output, byte for byte) and makes it send text (written
// to s_server's standard input, passed on unchanged). Connection details
// ("Protocol version: ...", "Ciphersuite: ...", the client certificate, errors)
// go to Diagnostics().
//
// s_server serves one connection at a time and keeps accepting after each one.
// It runs with -brief, so no line of Send() text is taken as one of s_server's
// own commands.
//
//   TlsServer server;
//   std::string error;
//   ASSERT_TRUE(server.Start(&error)) << error;
//   ... connect a TLS client to 127.0.0.1:server.port(), trusting
//       server.certificate().ca, expecting the name "localhost" ...
//   ASSERT_TRUE(server.WaitForHandshake(std::chrono::seconds(5)));
//   server.Send("220 ready\r\n");
//   ASSERT_TRUE(server.WaitForReceived("EHLO", std::chrono::seconds(5)));
#pragma once

#include <chrono>
#include <memory>
#include <string>
#include <vector>

#include "support/PeerProcess.h"
#include "support/TempDir.h"
#include "support/TestCertificate.h"

namespace kelpd::testing {

struct TlsServerOptions {
  int port = 0;  // 0 picks a free one
  CertificateKind certificate = CertificateKind::kValid;
  KeyType key_type = KeyType::kEcP256;
  // Require a client certificate (-Verify 1). The server trusts the client
  // certificate that it generates for the test, client_certificate().
  bool require_client_certificate = false;
  // Further s_server options, e.g. {"-tls1_2"} or {"-no_tls1_3"}.
  std::vector<std::string> extra_args;
  std::chrono::milliseconds start_timeout = std::chrono::seconds(20);
};

class TlsServer {
 public:
  // Empty when openssl can run here; otherwise why not.
  static std::string MissingPrerequisite();

  explicit TlsServer(TlsServerOptions options = {});
  ~TlsServer();
  TlsServer(const TlsServer&) = delete;
  TlsServer& operator=(const TlsServer&) = delete;

  // Generates the certificates, starts s_server and returns once it listens.
  [[nodiscard]] bool Start(std::string* error);
  void Stop();

  int port() const { return port_; }
  const CertificateFiles& certificate() const { return cert_; }
  // With require_client_certificate: a certificate the server accepts.
  const CertificateFiles& client_certificate() const { return client_cert_; }

  // Everything the server received from its clients, decrypted.
  std::string Received() const;
  bool WaitForReceived(const std::string& needle, std::chrono::milliseconds timeout) const;
  // Sends text to the connected client (s_server passes what arrives before
  // a client is connected to the next one).
  bool Send(const std::string& text);
  // s_server's connection reports and errors.
  std::string Diagnostics() const;
  bool WaitForDiagnostics(const std::string& needle, std::chrono::milliseconds timeout) const;
  // Waits until a handshake has completed (after the first one, a later
  // handshake is seen by counting "Ciphersuite:" in Diagnostics()).
  bool WaitForHandshake(std::chrono::milliseconds timeout) const;

 private:
  TlsServerOptions options_;
  std::unique_ptr<TempDir> dir_;
  CertificateFiles cert_;
  CertificateFiles client_cert_;
  int port_ = 0;
  PeerProcess process_;
};

}  // namespace kelpd::testing
