// TLS client set-up. Verification is a fixed checklist with no way to relax it: the library's
// default trust store, the server name sent and checked against the certificate, a handshake
// bounded in time and aware of stop requests, and the chain result read back on failure.
#include <arpa/inet.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <poll.h>

#include "pool/poll_wait.h"
#include "pool/scope_guard.h"
#include "pool/stratum.h"

namespace tavo {
namespace {

constexpr std::chrono::milliseconds kHandshakeLimit{10000};
constexpr std::chrono::milliseconds kHandshakeSlice{200};

bool is_ip_literal(const std::string& host) {
  unsigned char buf[sizeof(in6_addr)];
  return inet_pton(AF_INET, host.c_str(), buf) == 1 || inet_pton(AF_INET6, host.c_str(), buf) == 1;
}

// Tells the server which name we want and makes the handshake fail unless the certificate is
// for that name. An address is checked against the certificate's IP entries instead and is not
// sent as a server name, which may only carry host names.
bool expect_peer(SSL* s, const std::string& host) {
  if (is_ip_literal(host)) return X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(s), host.c_str()) == 1;
  if (SSL_set_tlsext_host_name(s, host.c_str()) != 1) return false;
  return SSL_set1_host(s, host.c_str()) == 1;
}

}  // namespace

bool Stratum::start_tls(int fd, SSL*& session) {
  session = nullptr;
  if (ssl_ctx == nullptr) {
    SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
    if (ctx == nullptr) {
      log("tls: init failed");
      return false;
    }
    SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
    SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
    (void)SSL_CTX_set_default_verify_paths(ctx);
    ssl_ctx = ctx;
  }

  SSL* s = SSL_new(ssl_ctx);
  if (s == nullptr) {
    log("tls: session failed");
    return false;
  }
  ScopeGuard free_session([&s] { SSL_free(s); });
  if (SSL_set_fd(s, fd) != 1 || !expect_peer(s, config.host)) {
    log("tls: session failed");
    return false;
  }

  const Stopwatch watch(*clock_);
  bool done = false;
  for (;;) {
    ERR_clear_error();
    const int rc = SSL_connect(s);
    if (rc == 1) {
      done = true;
      break;
    }
    const int err = SSL_get_error(s, rc);
    if (err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) break;
    if (watch.elapsed() > kHandshakeLimit || !running.load()) break;
    (void)poll_fd(fd, err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, kHandshakeSlice,
                  OnSignal::Resume);
  }

  if (!done) {
    const long verdict = SSL_get_verify_result(s);
    if (verdict != X509_V_OK) {
      log(std::string("tls: certificate rejected — ") + X509_verify_cert_error_string(verdict));
    } else {
      log("tls: handshake failed");
    }
    return false;
  }
  free_session.release();
  session = s;
  log(std::string("tls: encrypted connection established (") + SSL_get_version(s) +
      ", certificate verified)");
  return true;
}

}  // namespace tavo
