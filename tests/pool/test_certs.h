// TestPki: a throw-away certificate authority made with libcrypto in a temporary folder, and
// server certificates issued by it (or self-signed) with chosen names and validity, for TLS
// tests against a real handshake. Also builds server contexts for FakePool. One test thread
// uses an instance.
#pragma once

#include <string>
#include <vector>

typedef struct ssl_ctx_st SSL_CTX;

namespace tavo::test {

struct CertSpec {
  std::string common_name = "pool";
  std::vector<std::string> dns;     // subjectAltName DNS entries
  std::vector<std::string> ips;     // subjectAltName IP entries
  long valid_from_days = -1;        // relative to now
  long valid_to_days = 30;
  bool self_signed = false;         // signed by its own key instead of the CA
};

struct CertFiles {
  std::string cert;  // PEM certificate
  std::string key;   // PEM private key
};

class TestPki {
 public:
  // Makes the CA in `dir`. ok() tells whether every step worked.
  explicit TestPki(const std::string& dir);
  bool ok() const { return ok_; }
  const std::string& ca_file() const { return ca_.cert; }

  // Issues a certificate; empty paths on failure.
  CertFiles issue(const std::string& name, const CertSpec& spec);

 private:
  std::string dir_;
  CertFiles ca_;
  bool ok_ = false;
  long serial_ = 1;
};

// A TLS server context serving `files`, limited to protocol versions [min_version, max_version]
// (0 = library default). Null on failure. The caller frees it with SSL_CTX_free.
SSL_CTX* make_server_context(const CertFiles& files, int min_version = 0, int max_version = 0);

}  // namespace tavo::test
