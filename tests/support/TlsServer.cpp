#include "support/TlsServer.h"

#include <unistd.h>

#include <thread>

#include "support/LoopbackPort.h"

namespace kelpd::testing {
namespace {

using Clock = std::chrono::steady_clock;
constexpr char kOpenssl[] = "/usr/bin/openssl";
constexpr int kStartAttempts = 3;

}  // namespace

std::string TlsServer::MissingPrerequisite() {
  if (::access(kOpenssl, X_OK) != 0) {
    return "openssl is not installed (scripts/lib/packages.sh installs it)";
  }
  return {};
}

TlsServer::TlsServer(TlsServerOptions options) : options_(std::move(options)) {}

TlsServer::~TlsServer() { Stop(); }

bool TlsServer::Start(std::string* error) {
  std::string missing = MissingPrerequisite();
  if (!missing.empty()) {
    *error = missing;
    return false;
  }
  Stop();
  dir_ = std::make_unique<TempDir>();
  if (!MakeCertificate(dir_->path(), "server", options_.certificate, &cert_, error, {},
                       options_.key_type)) {
    return false;
  }
  if (options_.require_client_certificate &&
      !MakeCertificate(dir_->path(), "client", CertificateKind::kValid, &client_cert_, error)) {
    return false;
  }
  for (int attempt = 1;; ++attempt) {
    port_ = options_.port != 0 ? options_.port : PickFreeLoopbackPort();
    if (port_ == 0) {
      *error = "no free loopback port";
      return false;
    }
    std::vector<std::string> argv = {
        kOpenssl, "s_server", "-brief", "-accept", "127.0.0.1:" + std::to_string(port_),
        "-cert",  cert_.cert, "-key",   cert_.key};
    if (options_.require_client_certificate) {
      argv.insert(argv.end(), {"-Verify", "1", "-CAfile", client_cert_.ca});
    }
    argv.insert(argv.end(), options_.extra_args.begin(), options_.extra_args.end());
    if (!process_.Start(argv, error)) return false;
    const auto deadline = Clock::now() + options_.start_timeout;
    while (!IsListening(port_) && process_.Running() && Clock::now() < deadline) {
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (IsListening(port_) && process_.Running()) return true;
    std::string output = process_.Stdout() + process_.Stderr();
    process_.Stop();
    bool port_taken = output.find("in use") != std::string::npos;
    if (options_.port != 0 || !port_taken || attempt == kStartAttempts) {
      *error = "openssl s_server did not start on port " + std::to_string(port_) + ":\n" + output;
      return false;
    }
  }
}

void TlsServer::Stop() { process_.Stop(); }

std::string TlsServer::Received() const { return process_.Stdout(); }

bool TlsServer::WaitForReceived(const std::string& needle,
                                std::chrono::milliseconds timeout) const {
  return process_.WaitForStdout(needle, timeout);
}

bool TlsServer::Send(const std::string& text) { return process_.WriteInput(text); }

std::string TlsServer::Diagnostics() const { return process_.Stderr(); }

bool TlsServer::WaitForDiagnostics(const std::string& needle,
                                   std::chrono::milliseconds timeout) const {
  return process_.WaitForStderr(needle, timeout);
}

bool TlsServer::WaitForHandshake(std::chrono::milliseconds timeout) const {
  return process_.WaitForStderr("Ciphersuite:", timeout);
}

}  // namespace kelpd::testing
