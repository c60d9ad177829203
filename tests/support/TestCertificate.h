// Self-signed certificates made with openssl for the TLS peers of the tests.
#pragma once

#include <string>

namespace kelpd::testing {

enum class CertificateKind {
  kValid,      // names "localhost", 127.0.0.1 and ::1, valid from 2020 to 2099
  kExpired,    // same names, valid only on 1 January 2020
  kWrongName,  // valid dates, but names only "wrong-name.invalid"
};

enum class KeyType { kEcP256, kRsa2048 };

struct CertificateFiles {
  std::string cert;  // PEM certificate
  std::string key;   // PEM private key (unencrypted)
  // The file a verifying peer trusts to accept cert: the certificate itself,
  // since it is self-signed.
  std::string ca;
};

// Makes a self-signed certificate and its key in dir (files named
// <stem>.crt/.key; scratch files under dir/<stem>.ca/). extra_dns_name, when
// not empty, is added to the subject alternative names (for kValid and
// kExpired). Returns false with openssl's output in *error on failure.
bool MakeCertificate(const std::string& dir, const std::string& stem, CertificateKind kind,
                     CertificateFiles* files, std::string* error,
                     const std::string& extra_dns_name = {}, KeyType key_type = KeyType::kEcP256);

}  // namespace kelpd::testing
