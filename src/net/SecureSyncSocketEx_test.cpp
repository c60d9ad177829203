#include "net/SecureSyncSocketEx.h"

#include <gtest/gtest.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

#include <chrono>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "platform/HostLookup.h"
#include "platform/Socket.h"
#include "platform/StopSignal.h"
#include "platform/UniqueFd.h"

namespace platform = kelpd::platform;

namespace {

// A TLS server on 127.0.0.1 made in this process, so that a test decides how
// the records reach the client: the server side also works through memory
// BIOs, and the test sends the ciphertext in the segments it wants.
class TlsPeer {
 public:
  struct Options {
    std::string common_name = "mail.example.org";
    bool expired = false;
    bool request_client_cert = false;
    int max_version = 0;  // 0: the newest
  };

  explicit TlsPeer(Options options) : options_(std::move(options)) {
    key_ = EVP_EC_gen("P-256");
    cert_ = X509_new();
    X509_set_version(cert_, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(cert_), 1);
    long day = 86400;
    X509_gmtime_adj(X509_getm_notBefore(cert_), options_.expired ? -2 * day : -60);
    X509_gmtime_adj(X509_getm_notAfter(cert_), options_.expired ? -day : day);
    X509_set_pubkey(cert_, key_);
    X509_NAME* name = X509_get_subject_name(cert_);
    X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(options_.common_name.c_str()),
                               -1, -1, 0);
    X509_set_issuer_name(cert_, name);  // self-signed
    X509_sign(cert_, key_, EVP_sha256());
    ctx_ = SSL_CTX_new(TLS_server_method());
    SSL_CTX_set_security_level(ctx_, 1);
    SSL_CTX_use_certificate(ctx_, cert_);
    SSL_CTX_use_PrivateKey(ctx_, key_);
    if (options_.max_version != 0) SSL_CTX_set_max_proto_version(ctx_, options_.max_version);
    // Asks for a client certificate but would take a client without one.
    if (options_.request_client_cert)
      SSL_CTX_set_verify(ctx_, SSL_VERIFY_PEER, [](int, X509_STORE_CTX*) { return 1; });

    int fd = -1;
    EXPECT_EQ(platform::OpenSocket(platform::kAddressFamilyIPv4, platform::kSocketStream, 0, &fd),
              0);
    listen_.Reset(fd);
    EXPECT_EQ(platform::BindSocket(fd, {*platform::ParseIPv4("127.0.0.1"), 0}), 0);
    EXPECT_EQ(platform::ListenSocket(fd, 4), 0);
    platform::SocketAddressV4 local;
    EXPECT_EQ(platform::LocalAddress(fd, &local), 0);
    port_ = local.port;
  }

  ~TlsPeer() {
    if (thread_.joinable()) thread_.join();
    if (ssl_ != nullptr) SSL_free(ssl_);
    SSL_CTX_free(ctx_);
    X509_free(cert_);
    EVP_PKEY_free(key_);
  }

  unsigned port() const { return port_; }

  // Runs script on the server's thread once a connection has been accepted.
  void Serve(std::function<void(TlsPeer&)> script) {
    thread_ = std::thread([this, script] {
      if (!Accept()) return;
      script(*this);
    });
  }
  void Join() {
    if (thread_.joinable()) thread_.join();
  }

  // The server half of the handshake; false when it failed.
  bool Handshake() {
    ssl_ = SSL_new(ctx_);
    in_ = BIO_new(BIO_s_mem());
    out_ = BIO_new(BIO_s_mem());
    SSL_set_bio(ssl_, in_, out_);
    SSL_set_accept_state(ssl_);
    for (;;) {
      int r = SSL_do_handshake(ssl_);
      Flush();
      if (r == 1) return true;
      if (SSL_get_error(ssl_, r) != SSL_ERROR_WANT_READ || !Pull()) return false;
    }
  }

  // Each payload as one record, all records sent with one send.
  void SendRecordsInOneSegment(const std::vector<std::string>& payloads) {
    for (const std::string& p : payloads) SSL_write(ssl_, p.data(), static_cast<int>(p.size()));
    SendRaw(Drain());
  }

  // payload as one record whose bytes go out in three sends, apart in time.
  void SendRecordInPieces(const std::string& payload) {
    SSL_write(ssl_, payload.data(), static_cast<int>(payload.size()));
    std::string record = Drain();
    size_t third = record.size() / 3;
    SendRaw(record.substr(0, 3));  // not even a whole record header
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    SendRaw(record.substr(3, third));
    std::this_thread::sleep_for(std::chrono::milliseconds(60));
    SendRaw(record.substr(3 + third));
  }

  // Reads until count plain bytes have arrived (or the client went away).
  std::string ReadPlain(size_t count) {
    std::string plain;
    char buf[4096];
    while (plain.size() < count) {
      int n = SSL_read(ssl_, buf, sizeof buf);
      if (n > 0) {
        plain.append(buf, static_cast<size_t>(n));
        continue;
      }
      if (SSL_get_error(ssl_, n) != SSL_ERROR_WANT_READ || !Pull()) break;
    }
    return plain;
  }

  // Whether the client's next TLS message is close_notify.
  bool ReadCloseNotify() {
    char buf[256];
    for (;;) {
      int n = SSL_read(ssl_, buf, sizeof buf);
      if (n > 0) return false;
      int err = SSL_get_error(ssl_, n);
      if (err == SSL_ERROR_ZERO_RETURN) return true;
      if (err != SSL_ERROR_WANT_READ || !Pull()) return false;
    }
  }

  void SendCloseNotify() {
    SSL_shutdown(ssl_);
    Flush();
  }

  // Waits until the client closes the connection; true when it did in time.
  bool WaitForEof() {
    char buf[4096];
    for (;;) {
      if (platform::WaitFd(conn_.get(), platform::kWaitReadable, 5000) !=
          platform::WaitResult::kReady)
        return false;
      size_t got = 0;
      int err = platform::ReceiveSome(conn_.get(), buf, sizeof buf, 0, &got);
      if (err == 0 && got == 0) return true;
      if (err != 0 && err != EAGAIN) return true;
    }
  }

  void SendRaw(const std::string& bytes) {
    size_t done = 0;
    while (done < bytes.size()) {
      if (platform::WaitFd(conn_.get(), platform::kWaitWritable, 5000) !=
          platform::WaitResult::kReady)
        return;
      size_t sent = 0;
      int err = platform::SendSome(conn_.get(), bytes.data() + done, bytes.size() - done, 0, &sent);
      if (err != 0 && err != EAGAIN) return;
      done += sent;
    }
  }

  // Records that arrived from the client so far (counted from the raw bytes).
  int records_received() const { return records_received_; }

 private:
  bool Accept() {
    if (platform::WaitFd(listen_.get(), platform::kWaitReadable, 5000) !=
        platform::WaitResult::kReady)
      return false;
    int fd = -1;
    if (platform::AcceptSocket(listen_.get(), &fd,
                               static_cast<platform::SocketAddress*>(nullptr)) != 0)
      return false;
    conn_.Reset(fd);
    return true;
  }

  std::string Drain() {
    std::string bytes;
    char buf[4096];
    int n;
    while ((n = BIO_read(out_, buf, sizeof buf)) > 0) bytes.append(buf, static_cast<size_t>(n));
    return bytes;
  }
  void Flush() { SendRaw(Drain()); }

  // One receive into the server's BIO; false on end of file or time-out.
  bool Pull() {
    if (platform::WaitFd(conn_.get(), platform::kWaitReadable, 5000) !=
        platform::WaitResult::kReady)
      return false;
    char buf[65536];
    size_t got = 0;
    int err = platform::ReceiveSome(conn_.get(), buf, sizeof buf, 0, &got);
    if (err == EAGAIN) return true;
    if (err != 0 || got == 0) return false;
    CountRecords(buf, got);
    BIO_write(in_, buf, static_cast<int>(got));
    return true;
  }

  // Follows the record headers in the raw stream (type 23 = application data).
  void CountRecords(const char* data, size_t len) {
    raw_.append(data, len);
    while (raw_.size() >= 5) {
      size_t length =
          (static_cast<unsigned char>(raw_[3]) << 8) | static_cast<unsigned char>(raw_[4]);
      if (raw_.size() < 5 + length) break;
      if (raw_[0] == 23) ++records_received_;
      raw_.erase(0, 5 + length);
    }
  }

  Options options_;
  EVP_PKEY* key_ = nullptr;
  X509* cert_ = nullptr;
  SSL_CTX* ctx_ = nullptr;
  SSL* ssl_ = nullptr;
  BIO* in_ = nullptr;
  BIO* out_ = nullptr;
  platform::UniqueFd listen_;
  platform::UniqueFd conn_;
  unsigned port_ = 0;
  std::thread thread_;
  std::string raw_;
  int records_received_ = 0;
};

// A client connected to 127.0.0.1:port with TLS negotiated (or not).
bool ConnectTls(CSecureSyncSocketEx& client, unsigned port, const char* target = nullptr) {
  EXPECT_TRUE(client.Create(0, platform::kSocketStream, nullptr, false));
  client.m_nTimeOut = 5;
  EXPECT_TRUE(client.Connect("127.0.0.1", port));
  return client.NegotiateTLS(false, nullptr, true, 0xA8, target);
}

std::string ReceiveAll(CSecureSyncSocketEx& client, size_t count, int chunk) {
  std::string got;
  std::vector<char> buf(static_cast<size_t>(chunk));
  while (got.size() < count) {
    int n = client.Receive(buf.data(), chunk);
    if (n <= 0) break;
    got.append(buf.data(), static_cast<size_t>(n));
  }
  return got;
}

std::string Pattern(size_t size) {
  std::string s(size, '\0');
  for (size_t i = 0; i < size; ++i) s[i] = static_cast<char>('a' + i % 26);
  return s;
}

}  // namespace

// The server's certificate is required but never judged: self-signed,
// expired and issued for another name are all accepted, over TLS 1.3 and 1.2.
TEST(CSecureSyncSocketEx, AcceptsAnyServerCertificate) {
  struct Case {
    const char* what;
    TlsPeer::Options options;
  } cases[] = {
      {"self-signed", {}},
      {"expired", {"mail.example.org", true, false, 0}},
      {"other name", {"other.example.net", false, false, 0}},
      {"TLS 1.2 only", {"mail.example.org", false, false, TLS1_2_VERSION}},
  };
  for (Case& c : cases) {
    SCOPED_TRACE(c.what);
    TlsPeer peer(c.options);
    std::string received;
    peer.Serve([&](TlsPeer& p) {
      if (!p.Handshake()) return;
      p.SendRecordsInOneSegment({"220 ready\r\n"});
      received = p.ReadPlain(6);
      p.ReadCloseNotify();
    });
    CSecureSyncSocketEx client;
    ASSERT_TRUE(ConnectTls(client, peer.port(), "mail.example.org")) << client.LastTlsError();
    EXPECT_TRUE(client.m_bHandshakeDone);
    EXPECT_EQ(ReceiveAll(client, 11, 64), "220 ready\r\n");
    EXPECT_EQ(client.Send("QUIT\r\n"), 6);
    EXPECT_TRUE(client.Close());
    peer.Join();
    EXPECT_EQ(received, "QUIT\r\n");
  }
}

TEST(CSecureSyncSocketEx, ServerAskingForClientCertificateFailsHandshake) {
  TlsPeer::Options options;
  options.request_client_cert = true;
  TlsPeer peer(options);
  bool eof = false;
  peer.Serve([&](TlsPeer& p) {
    p.Handshake();
    eof = p.WaitForEof();
  });
  CSecureSyncSocketEx client;
  EXPECT_FALSE(ConnectTls(client, peer.port()));
  EXPECT_FALSE(client.m_bHandshakeDone);
  EXPECT_TRUE(client.m_bSecure);
  // A failed session neither reads nor writes...
  char buf[16];
  EXPECT_EQ(client.Receive(buf, sizeof buf), 0);
  EXPECT_EQ(client.Send("QUIT\r\n", 6, 0), 0);
  // ...and Close still shuts the socket down and closes it.
  EXPECT_TRUE(client.Close());
  EXPECT_EQ(client.m_hSocket, -1);
  peer.Join();
  EXPECT_TRUE(eof);
}

TEST(CSecureSyncSocketEx, RecordSplitAcrossSegmentsIsDecryptedWhenComplete) {
  TlsPeer peer({});
  std::string payload = Pattern(3000);
  peer.Serve([&](TlsPeer& p) {
    if (!p.Handshake()) return;
    p.SendRecordInPieces(payload);
    p.WaitForEof();
  });
  CSecureSyncSocketEx client;
  ASSERT_TRUE(ConnectTls(client, peer.port())) << client.LastTlsError();
  char buf[8192];
  // One call: the pieces are joined before anything is handed out.
  int n = client.Receive(buf, sizeof buf);
  EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), payload);
  client.Close();
  peer.Join();
}

// Two records in one segment are both decrypted by one Receive, and a caller
// with a small buffer gets the rest without another socket read: the peer
// sends nothing more, so any further read would run into the time-out.
TEST(CSecureSyncSocketEx, BufferedRecordsNeedNoFurtherSocketRead) {
  TlsPeer peer({});
  peer.Serve([&](TlsPeer& p) {
    if (!p.Handshake()) return;
    p.SendRecordsInOneSegment({"250-first\r\n", "250 second\r\n"});
    p.SendRecordsInOneSegment({Pattern(1000)});
    p.WaitForEof();
  });
  CSecureSyncSocketEx client;
  ASSERT_TRUE(ConnectTls(client, peer.port())) << client.LastTlsError();
  client.m_nTimeOut = 1;
  char buf[256];
  int n = client.Receive(buf, sizeof buf);
  ASSERT_GT(n, 0);
  std::string first(buf, static_cast<size_t>(n));
  if (first.size() < 23) first += ReceiveAll(client, 23 - first.size(), 256);
  EXPECT_EQ(first.substr(0, 23), "250-first\r\n250 second\r\n");
  std::string rest = first.substr(23) + ReceiveAll(client, 1000 - (first.size() - 23), 7);
  EXPECT_EQ(rest, Pattern(1000));
  client.Close();
  peer.Join();
}

TEST(CSecureSyncSocketEx, LargeSendBecomesSeveralRecords) {
  TlsPeer peer({});
  std::string payload = Pattern(40000);
  std::string received;
  int records = 0;
  peer.Serve([&](TlsPeer& p) {
    if (!p.Handshake()) return;
    received = p.ReadPlain(payload.size());
    records = p.records_received();
  });
  CSecureSyncSocketEx client;
  ASSERT_TRUE(ConnectTls(client, peer.port())) << client.LastTlsError();
  EXPECT_EQ(client.Send(payload.data(), static_cast<int>(payload.size()), 0), 40000);
  peer.Join();  // the server has read everything before the client closes
  client.Close();
  EXPECT_EQ(received, payload);
  EXPECT_GE(records, 3);
}

TEST(CSecureSyncSocketEx, PeerCloseNotifyEndsReceiving) {
  TlsPeer peer({});
  bool close_notify = false;
  peer.Serve([&](TlsPeer& p) {
    if (!p.Handshake()) return;
    p.SendRecordsInOneSegment({"221 bye\r\n"});
    p.SendCloseNotify();
    close_notify = p.ReadCloseNotify();
  });
  CSecureSyncSocketEx client;
  ASSERT_TRUE(ConnectTls(client, peer.port())) << client.LastTlsError();
  EXPECT_EQ(ReceiveAll(client, 9, 64), "221 bye\r\n");
  char buf[16];
  EXPECT_EQ(client.Receive(buf, sizeof buf), 0);
  EXPECT_TRUE(client.Close());
  peer.Join();
  EXPECT_TRUE(close_notify);  // Close sent its own close_notify
}

// Bytes decrypted on one connection but never read must not appear on the
// next connection of the same object, plain or TLS.
TEST(CSecureSyncSocketEx, NothingOfOneSessionReachesTheNext) {
  CSecureSyncSocketEx client;
  {
    TlsPeer peer({});
    peer.Serve([&](TlsPeer& p) {
      if (!p.Handshake()) return;
      p.SendRecordsInOneSegment({"250 stale reply one\r\n", "250 stale reply two\r\n"});
      p.WaitForEof();
    });
    ASSERT_TRUE(ConnectTls(client, peer.port())) << client.LastTlsError();
    char buf[4];
    EXPECT_EQ(client.Receive(buf, sizeof buf), 4);
    client.Close();
    peer.Join();
  }
  {
    TlsPeer peer({});
    peer.Serve([&](TlsPeer& p) {
      if (!p.Handshake()) return;
      p.SendRecordsInOneSegment({"220 fresh\r\n"});
      p.WaitForEof();
    });
    ASSERT_TRUE(ConnectTls(client, peer.port())) << client.LastTlsError();
    char buf[64];
    int n = client.Receive(buf, sizeof buf);
    EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), "220 fresh\r\n");
    client.Close();
    peer.Join();
  }
  {
    // A plain connection after a TLS one reads the socket, not old plaintext.
    TlsPeer peer({});
    peer.Serve([&](TlsPeer& p) {
      p.SendRaw("220 plain\r\n");
      p.WaitForEof();
    });
    ASSERT_TRUE(client.Create(0, platform::kSocketStream, nullptr, false));
    ASSERT_TRUE(client.Connect("127.0.0.1", peer.port()));
    char buf[64];
    int n = client.Receive(buf, sizeof buf);
    EXPECT_EQ(std::string(buf, n > 0 ? static_cast<size_t>(n) : 0), "220 plain\r\n");
    client.Close();
    peer.Join();
  }
}

// With TLS requested at Create, Connect negotiates at once.
TEST(CSecureSyncSocketEx, SecureCreateNegotiatesOnConnect) {
  TlsPeer peer({});
  peer.Serve([&](TlsPeer& p) {
    if (!p.Handshake()) return;
    p.SendRecordsInOneSegment({"220 ok\r\n"});
    p.WaitForEof();
  });
  CSecureSyncSocketEx client;
  ASSERT_TRUE(client.Create(0, platform::kSocketStream, nullptr, true));
  client.m_nTimeOut = 5;
  EXPECT_TRUE(client.Connect("127.0.0.1", peer.port())) << client.LastTlsError();
  EXPECT_EQ(ReceiveAll(client, 8, 64), "220 ok\r\n");
  client.Close();
  peer.Join();
}
