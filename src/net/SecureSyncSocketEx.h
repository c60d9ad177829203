// CSecureSyncSocketEx: the blocking socket of CSyncSocketEx with TLS added on
// request (STARTTLS). TLS is done by OpenSSL through two memory BIOs: the
// library never touches the socket; handshake and shutdown tokens are moved
// over it by this class in raw mode, and application data is turned into
// records (Send) and back (Receive) through the BIOs.
//
// Policy, the same for every connection: no client certificate is presented,
// and a server that asks for one makes the handshake fail; the server must
// present a certificate, which is not verified in any other way unless
// VerifyPeer asks for it (otherwise chain, dates, name and revocation are not
// looked at: a self-signed, expired or misnamed certificate is accepted);
// security level 1 (80-bit minimum); protocol
// versions from TLS 1.0 up to the newest the library has, as far as level 1
// allows (with OpenSSL 3, TLS 1.2 and 1.3).
//
// Time-outs and socket failures inside Receive, Send and the handshake arrive
// as CSocketException from CSyncSocketEx; only Close swallows them.
//
// The object is reused for many connections: every per-session state (the TLS
// session, received ciphertext, decrypted bytes not yet handed out) is dropped
// by Close and by Create, so nothing of one session reaches the next.
//
// Not thread-safe: an object belongs to one thread at a time.
#pragma once

#include <string>

#include "net/SyncSocketEx.h"

// The OpenSSL types, declared here so that users need not include OpenSSL.
struct ssl_ctx_st;
struct ssl_st;
struct bio_st;

class CSecureSyncSocketEx : public CSyncSocketEx {
 public:
  CSecureSyncSocketEx() = default;
  ~CSecureSyncSocketEx() override;

  using CSyncSocketEx::Connect;
  using CSyncSocketEx::Send;

  // CSyncSocketEx::Create, then remembers whether TLS is wanted from the start
  // (secure) and the TLS arguments. With secure set, false when the TLS
  // library cannot be set up. Drops the state of an earlier session.
  bool Create(unsigned port, int type, const char* address, bool secure,
              const char* certName = nullptr, bool machineStore = false, unsigned protocols = 0);

  // Runs the client handshake on the connected socket. Returns true when the
  // session is established and the server presented a certificate; the result
  // is also kept in m_bHandshakeDone. requireClientCert, certName and
  // machineStore concern the accepting side or a client certificate, which
  // this system never uses; they are recorded only. protocols is recorded;
  // the versions offered are always those of the policy above. targetName,
  // when given and not an address, is sent as the server name indication.
  // Throws CSocketException when the socket fails or a wait runs out.
  bool NegotiateTLS(bool requireClientCert, const char* certName, bool machineStore,
                    unsigned protocols, const char* targetName);

  // From the next handshake on, whether the server's certificate must verify:
  // its chain against the certificates of caFile (empty: the system's trust
  // store) with valid dates, and its name against the handshake's target
  // name (a host name, or an IPv4 address written as such). A handshake with
  // verification and no target name fails. False when caFile can't be read.
  bool VerifyPeer(bool on, const std::string& caFile = {});

  // The base Connect; with m_bSecure already set the handshake follows at once
  // with host as the target name, and its result is returned.
  bool Connect(const char* host, unsigned port) override;

  // Raw (or without TLS): the base Receive. Secure before a successful
  // handshake: 0. Otherwise decrypted bytes: first those left from an earlier
  // call (without reading the socket), else every complete record that has
  // arrived, receiving only while nothing could be decrypted. At most size
  // bytes are handed out; the rest waits for the next call. 0 when the peer
  // closed the connection or the TLS session (close_notify), or a record could
  // not be decrypted (its reason in LastTlsError()).
  int Receive(char* buf, int size, int flags = 0) override;

  // Raw (or without TLS): the base Send. Secure before a successful
  // handshake: 0. Otherwise every byte is encrypted, at most one maximum-size
  // record at a time, and every record is sent whole; returns len. A record
  // that cannot be built throws CSocketException 10053 rather than returning
  // short, so a caller never loses bytes silently.
  int Send(const char* data, int len, int flags) override;

  // With an established session, sends close_notify; then shuts the socket
  // down for sending; socket failures of these two steps are swallowed. Then
  // closes the socket as the base Close does and returns its result. The TLS
  // session and every buffered byte are dropped.
  bool Close() override;

  // The library's text for the last TLS failure on this object (handshake,
  // decryption or encryption); empty when there was none.
  const std::string& LastTlsError() const { return last_tls_error_; }
  // The protocol version and cipher of the established session, such as
  // "TLSv1.3, TLS_AES_256_GCM_SHA384"; empty without one.
  std::string SessionDescription() const;

  bool m_bSecure = false;             // TLS has been requested on this connection
  bool m_bServer = false;             // never set: this system only connects
  std::string m_strCertName;          // certificate to present: none in this system
  bool m_bMachineStore = false;       // recorded only
  unsigned m_dwProtocols = 0;         // recorded only (see NegotiateTLS)
  bool m_bRequireClientCert = false;  // recorded only
  bool m_bHandshakeDone = false;      // the session is established; data is encrypted
  bool m_bRaw = false;                // tokens travel: Receive and Send pass bytes through

 private:
  // Sets up the client context with the policy once per object.
  bool LoadSecurityLibrary();
  // Frees the TLS session with its BIOs and the decrypted bytes.
  void DropSession();
  // Sends every byte the library has queued for the peer, in raw mode.
  void FlushOutgoing();
  // Receives once in raw mode and hands the bytes to the library; false when
  // the peer closed the connection.
  bool ReceiveIncoming();
  // Takes every byte that the records waiting in the library decrypt to into
  // plain_; false when the session failed or was closed by the peer.
  bool DecryptWaiting();
  void RecordTlsError(const char* what);

  ssl_ctx_st* ctx_ = nullptr;   // the credentials: kept for the object's life
  ssl_st* ssl_ = nullptr;       // the session of the current connection
  bio_st* incoming_ = nullptr;  // ciphertext from the peer (owned by ssl_)
  bio_st* outgoing_ = nullptr;  // ciphertext for the peer (owned by ssl_)
  std::string plain_;           // decrypted bytes not yet handed out
  bool peer_closed_ = false;    // close_notify or a failure: nothing more to read
  std::string last_tls_error_;
  bool verify_ = false;
  // The trust store loaded into ctx_ ("" for the system's), once loaded.
  bool trust_loaded_ = false;
  std::string trust_file_;
};
