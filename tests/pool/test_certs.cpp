#include "tests/pool/test_certs.h"

#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/obj_mac.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <memory>

namespace tavo::test {
namespace {

struct Free {
  void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
  void operator()(X509* p) const { X509_free(p); }
  void operator()(EVP_PKEY_CTX* p) const { EVP_PKEY_CTX_free(p); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Free>;
using CertPtr = std::unique_ptr<X509, Free>;

KeyPtr make_key() {
  std::unique_ptr<EVP_PKEY_CTX, Free> ctx(EVP_PKEY_CTX_new_id(EVP_PKEY_EC, nullptr));
  EVP_PKEY* key = nullptr;
  if (!ctx || EVP_PKEY_keygen_init(ctx.get()) != 1 ||
      EVP_PKEY_CTX_set_ec_paramgen_curve_nid(ctx.get(), NID_X9_62_prime256v1) != 1 ||
      EVP_PKEY_keygen(ctx.get(), &key) != 1) {
    return nullptr;
  }
  return KeyPtr(key);
}

bool add_ext(X509* cert, X509* issuer, int nid, const std::string& value) {
  X509V3_CTX ctx;
  X509V3_set_ctx_nodb(&ctx);
  X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
  X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str());
  if (ext == nullptr) return false;
  const bool ok = X509_add_ext(cert, ext, -1) == 1;
  X509_EXTENSION_free(ext);
  return ok;
}

bool write_pem(const std::string& path, X509* cert, EVP_PKEY* key) {
  FILE* f = std::fopen(path.c_str(), "w");
  if (f == nullptr) return false;
  const bool ok = cert != nullptr ? PEM_write_X509(f, cert) == 1
                                  : PEM_write_PrivateKey(f, key, nullptr, nullptr, 0, nullptr, nullptr) == 1;
  std::fclose(f);
  return ok;
}

CertPtr load_cert(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr) return nullptr;
  X509* c = PEM_read_X509(f, nullptr, nullptr, nullptr);
  std::fclose(f);
  return CertPtr(c);
}

KeyPtr load_key(const std::string& path) {
  FILE* f = std::fopen(path.c_str(), "r");
  if (f == nullptr) return nullptr;
  EVP_PKEY* k = PEM_read_PrivateKey(f, nullptr, nullptr, nullptr);
  std::fclose(f);
  return KeyPtr(k);
}

// Builds and signs one certificate. `issuer`/`issuer_key` null: self-signed.
CertPtr build(long serial, const std::string& cn, EVP_PKEY* key, X509* issuer, EVP_PKEY* issuer_key,
              long from_days, long to_days, bool ca, const std::string& san) {
  CertPtr cert(X509_new());
  X509* c = cert.get();
  X509_set_version(c, 2);
  ASN1_INTEGER_set(X509_get_serialNumber(c), serial);
  X509_gmtime_adj(X509_getm_notBefore(c), from_days * 86400);
  X509_gmtime_adj(X509_getm_notAfter(c), to_days * 86400);
  X509_set_pubkey(c, key);
  X509_NAME* name = X509_get_subject_name(c);
  X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(cn.c_str()),
                             -1, -1, 0);
  X509_set_issuer_name(c, issuer != nullptr ? X509_get_subject_name(issuer) : name);
  X509* signer_cert = issuer != nullptr ? issuer : c;
  bool ok = add_ext(c, signer_cert, NID_subject_key_identifier, "hash");
  if (ca) {
    ok = ok && add_ext(c, signer_cert, NID_basic_constraints, "critical,CA:TRUE");
    ok = ok && add_ext(c, signer_cert, NID_key_usage, "critical,keyCertSign,cRLSign");
  } else {
    ok = ok && add_ext(c, signer_cert, NID_basic_constraints, "CA:FALSE");
    ok = ok && add_ext(c, signer_cert, NID_ext_key_usage, "serverAuth");
    if (!san.empty()) ok = ok && add_ext(c, signer_cert, NID_subject_alt_name, san);
  }
  if (!ok || X509_sign(c, issuer_key != nullptr ? issuer_key : key, EVP_sha256()) == 0) return nullptr;
  return cert;
}

}  // namespace

TestPki::TestPki(const std::string& dir) : dir_(dir) {
  KeyPtr key = make_key();
  if (!key) return;
  CertPtr cert = build(serial_++, "Test Pool CA", key.get(), nullptr, nullptr, -1, 30, true, "");
  if (!cert) return;
  ca_.cert = dir_ + "/ca.pem";
  ca_.key = dir_ + "/ca.key";
  ok_ = write_pem(ca_.cert, cert.get(), nullptr) && write_pem(ca_.key, nullptr, key.get());
}

CertFiles TestPki::issue(const std::string& name, const CertSpec& spec) {
  KeyPtr key = make_key();
  CertPtr ca_cert = load_cert(ca_.cert);
  KeyPtr ca_key = load_key(ca_.key);
  if (!key || !ca_cert || !ca_key) return {};
  std::string san;
  for (const auto& d : spec.dns) san += (san.empty() ? "" : ",") + std::string("DNS:") + d;
  for (const auto& i : spec.ips) san += (san.empty() ? "" : ",") + std::string("IP:") + i;
  CertPtr cert = spec.self_signed
                     ? build(serial_++, spec.common_name, key.get(), nullptr, nullptr,
                             spec.valid_from_days, spec.valid_to_days, false, san)
                     : build(serial_++, spec.common_name, key.get(), ca_cert.get(), ca_key.get(),
                             spec.valid_from_days, spec.valid_to_days, false, san);
  if (!cert) return {};
  CertFiles files{dir_ + "/" + name + ".pem", dir_ + "/" + name + ".key"};
  if (!write_pem(files.cert, cert.get(), nullptr) || !write_pem(files.key, nullptr, key.get())) return {};
  return files;
}

SSL_CTX* make_server_context(const CertFiles& files, int min_version, int max_version) {
  SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
  if (ctx == nullptr) return nullptr;
  if (min_version != 0 || max_version != 0) {
    // Old protocol versions need the lowest security level to be offered at all.
    SSL_CTX_set_security_level(ctx, 0);
    SSL_CTX_set_cipher_list(ctx, "DEFAULT:@SECLEVEL=0");
  }
  if ((min_version != 0 && SSL_CTX_set_min_proto_version(ctx, min_version) != 1) ||
      (max_version != 0 && SSL_CTX_set_max_proto_version(ctx, max_version) != 1) ||
      SSL_CTX_use_certificate_chain_file(ctx, files.cert.c_str()) != 1 ||
      SSL_CTX_use_PrivateKey_file(ctx, files.key.c_str(), SSL_FILETYPE_PEM) != 1) {
    SSL_CTX_free(ctx);
    return nullptr;
  }
  return ctx;
}

}  // namespace tavo::test
