#include "net/SecureSyncSocketEx.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <algorithm>
#include <cstring>

#include "platform/HostLookup.h"

namespace {

constexpr int kErrorTimedOut = 10053;    // also: a record that could not be built
constexpr int kErrorBadAddress = 10014;  // a buffer that is not there

// The most plain bytes one record carries.
constexpr int kMaxRecordPayload = 16384;
// One socket read while records arrive: a whole maximum-size record with its
// header, padding and tag fits.
constexpr int kReceiveChunk = 16384 + 2048;

// Called by the library on the client only when the server asks for a client
// certificate. This system presents none, and a server that asks for one
// gets a failed handshake rather than an anonymous client it may reject later.
int RefuseCertificateRequest(SSL*, void*) { return 0; }

// Sets a flag for the life of a scope, also when an exception leaves it.
class FlagScope {
 public:
  explicit FlagScope(bool& flag) : flag_(flag) { flag_ = true; }
  ~FlagScope() { flag_ = false; }
  FlagScope(const FlagScope&) = delete;
  FlagScope& operator=(const FlagScope&) = delete;

 private:
  bool& flag_;
};

}  // namespace

CSecureSyncSocketEx::~CSecureSyncSocketEx() {
  DropSession();
  if (ctx_ != nullptr) SSL_CTX_free(ctx_);
  ctx_ = nullptr;
}

bool CSecureSyncSocketEx::LoadSecurityLibrary() {
  if (ctx_ != nullptr) return true;
  SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
  if (ctx == nullptr) {
    RecordTlsError("the TLS library could not be set up");
    return false;
  }
  // Security level 1 keeps 80-bit strength as the floor; TLS 1.0 is the lowest
  // version asked for, and the level itself removes what is too weak now.
  SSL_CTX_set_security_level(ctx, 1);
  if (SSL_CTX_set_min_proto_version(ctx, TLS1_VERSION) != 1 ||
      SSL_CTX_set_max_proto_version(ctx, 0) != 1) {
    RecordTlsError("the TLS versions could not be set");
    SSL_CTX_free(ctx);
    return false;
  }
  // The server's certificate is required (checked after the handshake) but
  // not judged: mail between servers is sent whether or not it verifies.
  SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
  SSL_CTX_set_cert_cb(ctx, RefuseCertificateRequest, nullptr);
  SSL_CTX_set_options(ctx, SSL_OP_NO_COMPRESSION);
  ctx_ = ctx;
  return true;
}

void CSecureSyncSocketEx::DropSession() {
  if (ssl_ != nullptr) SSL_free(ssl_);  // frees both BIOs
  ssl_ = nullptr;
  incoming_ = nullptr;
  outgoing_ = nullptr;
  // Decrypted bytes of an ended session must never be read on a later one.
  plain_.clear();
  plain_.shrink_to_fit();
  peer_closed_ = false;
  m_bHandshakeDone = false;
  m_bRaw = false;
}

void CSecureSyncSocketEx::RecordTlsError(const char* what) {
  last_tls_error_ = what;
  unsigned long err = ERR_get_error();
  if (err != 0) {
    char text[256];
    ERR_error_string_n(err, text, sizeof text);
    last_tls_error_ += ": ";
    last_tls_error_ += text;
  }
  ERR_clear_error();
}

bool CSecureSyncSocketEx::Create(unsigned port, int type, const char* address, bool secure,
                                 const char* certName, bool machineStore, unsigned protocols) {
  DropSession();
  bool created = CSyncSocketEx::Create(port, type, address);
  m_bSecure = secure;
  if (secure) {
    if (!LoadSecurityLibrary()) return false;
    m_strCertName = certName != nullptr ? certName : "";
    m_bMachineStore = machineStore;
    m_dwProtocols = protocols;
  }
  return created;
}

bool CSecureSyncSocketEx::VerifyPeer(bool on, const std::string& caFile) {
  verify_ = on;
  if (!on) return true;
  if (!LoadSecurityLibrary()) return false;
  if (trust_loaded_) {
    if (trust_file_ == caFile) return true;
    // Another trust store: a fresh context, as a loaded store can't be undone.
    DropSession();
    SSL_CTX_free(ctx_);
    ctx_ = nullptr;
    trust_loaded_ = false;
    if (!LoadSecurityLibrary()) return false;
  }
  ERR_clear_error();
  const int loaded = caFile.empty() ? SSL_CTX_set_default_verify_paths(ctx_)
                                    : SSL_CTX_load_verify_locations(ctx_, caFile.c_str(), nullptr);
  if (loaded != 1) {
    RecordTlsError("the trusted certificates could not be read");
    verify_ = false;
    return false;
  }
  trust_loaded_ = true;
  trust_file_ = caFile;
  return true;
}

bool CSecureSyncSocketEx::Connect(const char* host, unsigned port) {
  bool connected = CSyncSocketEx::Connect(host, port);
  if (!m_bSecure) return connected;
  return NegotiateTLS(m_bRequireClientCert, m_strCertName.c_str(), m_bMachineStore, m_dwProtocols,
                      host);
}

void CSecureSyncSocketEx::FlushOutgoing() {
  if (outgoing_ == nullptr) return;
  char chunk[kReceiveChunk];
  for (;;) {
    int n = BIO_read(outgoing_, chunk, sizeof chunk);
    if (n <= 0) return;
    CSyncSocketEx::Send(chunk, n, 0);
  }
}

bool CSecureSyncSocketEx::ReceiveIncoming() {
  char chunk[kReceiveChunk];
  int n = CSyncSocketEx::Receive(chunk, sizeof chunk, 0);
  if (n <= 0) return false;
  // A memory BIO grows as needed; the reads that follow consume it.
  return BIO_write(incoming_, chunk, n) == n;
}

bool CSecureSyncSocketEx::NegotiateTLS(bool requireClientCert, const char* certName,
                                       bool machineStore, unsigned protocols,
                                       const char* targetName) {
  if (!LoadSecurityLibrary()) return false;
  m_bRequireClientCert = requireClientCert;
  m_strCertName = certName != nullptr ? certName : "";
  m_bMachineStore = machineStore;
  m_dwProtocols = protocols;
  m_bSecure = true;
  DropSession();
  last_tls_error_.clear();
  ERR_clear_error();

  ssl_ = SSL_new(ctx_);
  BIO* in = BIO_new(BIO_s_mem());
  BIO* out = BIO_new(BIO_s_mem());
  if (ssl_ == nullptr || in == nullptr || out == nullptr) {
    BIO_free(in);
    BIO_free(out);
    RecordTlsError("the TLS session could not be made");
    DropSession();
    return false;
  }
  SSL_set_bio(ssl_, in, out);
  incoming_ = in;
  outgoing_ = out;
  SSL_set_connect_state(ssl_);
  const bool has_name = targetName != nullptr && targetName[0] != '\0';
  // An address literal (IPv6 also in square brackets) is checked against the
  // certificate's IP addresses and is never sent as a server name.
  const std::optional<kelpd::platform::IpAddress> address =
      has_name ? kelpd::platform::ParseIpAddress(targetName) : std::nullopt;
  const bool is_address = address.has_value();
  if (has_name && !is_address) SSL_set_tlsext_host_name(ssl_, targetName);
  if (verify_) {
    // The chain, the dates and the name are checked inside the handshake,
    // which fails when one of them does not hold.
    X509_VERIFY_PARAM* param = SSL_get0_param(ssl_);
    X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
    const int named = !has_name    ? 0
                      : is_address ? X509_VERIFY_PARAM_set1_ip_asc(
                                         param, kelpd::platform::FormatIpAddress(*address).c_str())
                                   : X509_VERIFY_PARAM_set1_host(param, targetName, 0);
    if (named != 1) {
      RecordTlsError("there is no name to check the server's certificate against");
      DropSession();
      return false;
    }
    SSL_set_verify(ssl_, SSL_VERIFY_PEER, nullptr);
  }

  FlagScope raw(m_bRaw);
  for (;;) {
    ERR_clear_error();
    int r = SSL_do_handshake(ssl_);
    if (r == 1) {
      // The client's last flight (TLS 1.3 Finished) is still to be sent.
      FlushOutgoing();
      break;
    }
    int err = SSL_get_error(ssl_, r);
    if (err == SSL_ERROR_WANT_READ) {
      bool received = false;
      try {
        FlushOutgoing();
        received = ReceiveIncoming();
      } catch (const CSocketException& e) {
        // A peer that resets the connection mid-handshake failed the
        // handshake like one that closes it; a time-out or a stop request
        // stays what it is.
        if (e.m_nError == kErrorTimedOut) throw;
        last_tls_error_ = "the connection failed during the TLS handshake: " + e.GetErrorText();
        DropSession();
        return false;
      }
      if (!received) {
        RecordTlsError("the peer closed the connection during the TLS handshake");
        DropSession();
        return false;
      }
      continue;
    }
    const long verified = SSL_get_verify_result(ssl_);
    if (verify_ && verified != X509_V_OK) {
      ERR_clear_error();
      last_tls_error_ = std::string("the server's certificate was not accepted: ") +
                        X509_verify_cert_error_string(verified);
    } else {
      RecordTlsError("the TLS handshake failed");
    }
    // Tell the server why (the alert is queued); the session is over anyway,
    // so a socket that fails here does not change the outcome.
    try {
      FlushOutgoing();
    } catch (const CSocketException&) {
    }
    DropSession();
    return false;
  }

  // Bytes behind the last handshake message (TLS 1.3 session tickets) stay in
  // the incoming BIO for the first Receive.
  if (SSL_get0_peer_certificate(ssl_) == nullptr) {
    last_tls_error_ = "the server presented no certificate";
    DropSession();
    return false;
  }
  m_bHandshakeDone = true;
  return true;
}

std::string CSecureSyncSocketEx::SessionDescription() const {
  if (ssl_ == nullptr || !m_bHandshakeDone) return std::string();
  const char* cipher = SSL_get_cipher_name(ssl_);
  return std::string(SSL_get_version(ssl_)) + ", " + (cipher != nullptr ? cipher : "unknown");
}

bool CSecureSyncSocketEx::DecryptWaiting() {
  char chunk[kMaxRecordPayload];
  for (;;) {
    ERR_clear_error();
    int n = SSL_read(ssl_, chunk, sizeof chunk);
    if (n > 0) {
      plain_.append(chunk, static_cast<size_t>(n));
      continue;
    }
    int err = SSL_get_error(ssl_, n);
    // Post-handshake messages (key updates, renegotiation) may have left an
    // answer for the peer.
    FlushOutgoing();
    if (err == SSL_ERROR_WANT_READ) return true;
    if (err == SSL_ERROR_ZERO_RETURN)
      last_tls_error_ = "the peer closed the TLS session";
    else
      RecordTlsError("a TLS record could not be decrypted");
    peer_closed_ = true;
    return false;
  }
}

int CSecureSyncSocketEx::Receive(char* buf, int size, int flags) {
  if (!m_bSecure || m_bRaw) return CSyncSocketEx::Receive(buf, size, flags);
  if (!m_bHandshakeDone || ssl_ == nullptr) return 0;
  if (size < 0 || (buf == nullptr && size > 0)) throw CSocketException(kErrorBadAddress);

  if (plain_.empty() && !peer_closed_) {
    // A segment may have brought more than one record: those are decrypted
    // before the socket is read again.
    bool alive = DecryptWaiting();
    while (alive && plain_.empty()) {
      if (!ReceiveIncoming()) break;  // the peer closed the connection
      alive = DecryptWaiting();
    }
  }
  size_t n = std::min(plain_.size(), static_cast<size_t>(size));
  if (n > 0) {
    std::memcpy(buf, plain_.data(), n);
    plain_.erase(0, n);
  }
  return static_cast<int>(n);
}

int CSecureSyncSocketEx::Send(const char* data, int len, int flags) {
  if (!m_bSecure || m_bRaw) {
    int sent = CSyncSocketEx::Send(data, len, flags);
    return sent > len ? len : sent;
  }
  if (!m_bHandshakeDone || ssl_ == nullptr) return 0;
  if (len < 0 || (data == nullptr && len > 0)) throw CSocketException(kErrorBadAddress);

  int done = 0;
  while (done < len) {
    int piece = std::min(len - done, kMaxRecordPayload);
    ERR_clear_error();
    int n = SSL_write(ssl_, data + done, piece);
    if (n <= 0) {
      // Returning short would let the caller believe the rest was sent.
      RecordTlsError("a TLS record could not be built");
      throw CSocketException(kErrorTimedOut);
    }
    done += n;
    FlushOutgoing();
  }
  return len;
}

bool CSecureSyncSocketEx::Close() {
  try {
    if (m_bSecure && ssl_ != nullptr && m_bHandshakeDone) {
      m_bHandshakeDone = false;
      ERR_clear_error();
      SSL_shutdown(ssl_);  // queues close_notify; the peer's answer is not awaited
      FlagScope raw(m_bRaw);
      FlushOutgoing();
    }
    if (m_hSocket >= 0) (void)ShutDown(kelpd::platform::kShutdownSend);
  } catch (const CSocketException&) {
    // The connection is being closed: a peer that has gone changes nothing.
  }
  DropSession();
  return CSyncSocketEx::Close();
}
