#include "support/TestCertificate.h"

#include <filesystem>
#include <fstream>
#include <vector>

#include "support/PeerProcess.h"

namespace kelpd::testing {
namespace {

bool Run(const std::vector<std::string>& argv, std::string* error) {
  ToolResult r = RunTool(argv, {}, std::chrono::seconds(20));
  if (r.exit_code == 0) return true;
  *error = argv[0] + " " + argv[1] + " failed (" + std::to_string(r.exit_code) + "): " + r.output;
  return false;
}

}  // namespace

bool MakeCertificate(const std::string& dir, const std::string& stem, CertificateKind kind,
                     CertificateFiles* files, std::string* error, const std::string& extra_dns_name,
                     KeyType key_type) {
  const std::string key = dir + "/" + stem + ".key";
  const std::string cert = dir + "/" + stem + ".crt";
  const std::string scratch = dir + "/" + stem + ".ca";
  std::error_code ec;
  std::filesystem::create_directories(scratch, ec);
  if (ec) {
    *error = "cannot create " + scratch + ": " + ec.message();
    return false;
  }

  std::vector<std::string> genkey = {"openssl", "genpkey", "-out", key};
  if (key_type == KeyType::kEcP256) {
    genkey.insert(genkey.end(), {"-algorithm", "EC", "-pkeyopt", "ec_paramgen_curve:P-256"});
  } else {
    genkey.insert(genkey.end(), {"-algorithm", "RSA", "-pkeyopt", "rsa_keygen_bits:2048"});
  }
  if (!Run(genkey, error)) return false;

  std::string name = "localhost";
  std::string alt_names = "DNS:localhost,IP:127.0.0.1,IP:::1";
  if (kind == CertificateKind::kWrongName) {
    name = "wrong-name.invalid";
    alt_names = "DNS:wrong-name.invalid";
  } else if (!extra_dns_name.empty()) {
    alt_names += ",DNS:" + extra_dns_name;
  }
  const std::string csr = scratch + "/request.csr";
  if (!Run({"openssl", "req", "-new", "-key", key, "-subj", "/CN=" + name, "-addext",
            "subjectAltName=" + alt_names, "-out", csr},
           error)) {
    return false;
  }

  // "openssl req -x509" cannot date a certificate in the past, "openssl ca"
  // takes explicit start and end dates: sign the request with its own key.
  const std::string config = scratch + "/ca.cnf";
  {
    std::ofstream out(config);
    out << "[ ca ]\ndefault_ca = ca_default\n"
        << "[ ca_default ]\n"
        << "database = " << scratch << "/index.txt\n"
        << "new_certs_dir = " << scratch << "\n"
        << "serial = " << scratch << "/serial\n"
        << "default_md = sha256\npolicy = policy_any\ncopy_extensions = copy\n"
        << "unique_subject = no\n"
        << "x509_extensions = extensions\n"
        << "[ policy_any ]\ncommonName = supplied\n"
        << "[ extensions ]\nbasicConstraints = critical,CA:FALSE\n"
        << "keyUsage = digitalSignature,keyEncipherment\n"
        << "extendedKeyUsage = serverAuth,clientAuth\n";
    std::ofstream(scratch + "/index.txt").close();
    std::ofstream(scratch + "/serial") << "01\n";
    if (!out) {
      *error = "cannot write " + config;
      return false;
    }
  }
  const bool expired = kind == CertificateKind::kExpired;
  if (!Run({"openssl", "ca", "-batch", "-notext", "-config", config, "-selfsign", "-keyfile", key,
            "-in", csr, "-out", cert, "-startdate", "20200101000000Z", "-enddate",
            expired ? "20200102000000Z" : "20991231235959Z"},
           error)) {
    return false;
  }
  files->cert = cert;
  files->key = key;
  files->ca = cert;
  return true;
}

}  // namespace kelpd::testing
