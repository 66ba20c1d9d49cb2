// Verified TLS against a real handshake on 127.0.0.1, with a CA and certificates made for the
// test and trusted through SSL_CERT_FILE: the good case by name and by address, every kind of
// certificate the client must refuse, a server that never answers, an old-protocol server, a stop
// during the handshake, and decrypted bytes that poll cannot see.
#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "tests/pool/session_fixture.h"
#include "tests/pool/test_certs.h"
#include "tests/support/temp_dir.h"

namespace tavo::test {
namespace {

using namespace std::chrono_literals;

struct CtxFree {
  void operator()(SSL_CTX* c) const { SSL_CTX_free(c); }
};
using ServerContext = std::unique_ptr<SSL_CTX, CtxFree>;

const std::string kEstablished = "tls: encrypted connection established (TLSv1.3, certificate verified)";

std::string rejected(long x509_error) {
  return std::string("tls: certificate rejected — ") + X509_verify_cert_error_string(x509_error);
}

// Whether `server` really completes a TLS 1.1 handshake with a client that allows it: current
// OpenSSL builds may have the old versions compiled out. Runs both ends over a socket pair.
bool serves_tls11(SSL_CTX* server, std::string& why) {
  int sv[2];
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, sv) != 0) {
    why = "socketpair failed";
    return false;
  }
  timeval tv{5, 0};
  for (const int fd : sv) setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  SSL* s = SSL_new(server);
  SSL_set_fd(s, sv[0]);
  std::thread accept_thread([s] { (void)SSL_accept(s); });
  SSL_CTX* cctx = SSL_CTX_new(TLS_client_method());
  SSL_CTX_set_security_level(cctx, 0);
  SSL_CTX_set_cipher_list(cctx, "DEFAULT:@SECLEVEL=0");
  SSL_CTX_set_min_proto_version(cctx, TLS1_VERSION);
  SSL_CTX_set_max_proto_version(cctx, TLS1_1_VERSION);
  SSL* c = SSL_new(cctx);
  SSL_set_fd(c, sv[1]);
  const bool ok = SSL_connect(c) == 1 && SSL_version(c) == TLS1_1_VERSION;
  if (!ok) why = "no TLS 1.1 handshake completes with it";
  ::shutdown(sv[1], SHUT_RDWR);
  accept_thread.join();
  SSL_free(c);
  SSL_CTX_free(cctx);
  SSL_free(s);
  ::close(sv[0]);
  ::close(sv[1]);
  return ok;
}

CertSpec names(std::vector<std::string> dns, std::vector<std::string> ips = {}) {
  CertSpec request;
  request.dns = std::move(dns);
  request.ips = std::move(ips);
  return request;
}

class TlsTest : public SessionFixture {
 protected:
  static void SetUpTestSuite() {
    SessionFixture::SetUpTestSuite();
    dir_ = new TempDir;
    pki_ = new TestPki(dir_->path());
    ASSERT_TRUE(pki_->ok());
    // Before any client context exists: the trust store is read when a context is made.
    ::setenv("SSL_CERT_FILE", pki_->ca_file().c_str(), 1);
    good_ = pki_->issue("good", names({"localhost"}, {"127.0.0.1", "::1"}));
    other_host_ = pki_->issue("other", names({"pool.example"}));
    names_only_ = pki_->issue("names", names({"localhost"}));
    CertSpec self = names({"localhost"});
    self.self_signed = true;
    self_signed_ = pki_->issue("self", self);
    CertSpec expired = names({"localhost"});
    expired.valid_from_days = -30;
    expired.valid_to_days = -1;
    expired_ = pki_->issue("expired", expired);
  }
  static void TearDownTestSuite() {
    delete pki_;
    delete dir_;
  }

  static ServerContext server(const CertFiles& files, int min_version = 0, int max_version = 0) {
    return ServerContext(make_server_context(files, min_version, max_version));
  }

  static inline TempDir* dir_ = nullptr;
  static inline TestPki* pki_ = nullptr;
  static inline CertFiles good_, other_host_, names_only_, self_signed_, expired_;
};

TEST_F(TlsTest, VerifiedSessionByHostNameAndAgainOnTheSameContext) {
  auto ctx = server(good_);
  ASSERT_TRUE(ctx);
  FakePool tls(ctx.get());
  start(config(tls.port(), "localhost", true));
  auto peer = tls.accept();
  ASSERT_TRUE(peer);
  log_in(*peer);
  client.submit("j1", "02000000", 0x11223344, 7);
  EXPECT_EQ(peer->read_line(), R"({"id":100,"method":"mining.submit","params":[")" + kLogin +
                                   R"(","j1","02000000","11223344","00000007"]})");
  ASSERT_TRUE(peer->send("{\"id\":100,\"result\":true,\"error\":null}\n"));
  ASSERT_TRUE(rec.wait_shares(1));
  const auto logs = rec.log_texts();
  ASSERT_GE(logs.size(), 2u);
  EXPECT_EQ(logs[0], kEstablished);
  EXPECT_EQ(logs[1], "connected to localhost:" + std::to_string(tls.port()));

  peer->close();
  auto again = tls.accept();
  ASSERT_TRUE(again);
  EXPECT_EQ(again->read_line(), subscribe_line());
  EXPECT_EQ(rec.count(kEstablished), 2u);
}

TEST_F(TlsTest, VerifiedSessionByAddress) {
  auto ctx = server(good_);
  FakePool tls(ctx.get());
  start(config(tls.port(), "127.0.0.1", true));
  auto peer = tls.accept();
  ASSERT_TRUE(peer);
  EXPECT_EQ(peer->read_line(), subscribe_line());
  EXPECT_EQ(rec.log_texts().front(), kEstablished);
}

TEST_F(TlsTest, CertificatesTheClientMustRefuse) {
  struct Case {
    const CertFiles* files;
    std::string host;
    long error;
  };
  const Case cases[] = {
      {&other_host_, "localhost", X509_V_ERR_HOSTNAME_MISMATCH},
      {&names_only_, "127.0.0.1", X509_V_ERR_IP_ADDRESS_MISMATCH},
      {&self_signed_, "localhost", X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT},
      {&expired_, "localhost", X509_V_ERR_CERT_HAS_EXPIRED},
  };
  for (const auto& c : cases) {
    auto ctx = server(*c.files);
    ASSERT_TRUE(ctx);
    FakePool tls(ctx.get());
    const std::string where = c.host + ":" + std::to_string(tls.port());
    start(config(tls.port(), c.host, true));
    EXPECT_FALSE(tls.accept());
    EXPECT_TRUE(rec.wait_log(rejected(c.error))) << c.host << " " << c.files->cert;
    EXPECT_TRUE(rec.wait_log(failed_line(where, 1))) << where;
    client.stop();
  }
  EXPECT_EQ(rec.count(kEstablished), 0u);
  EXPECT_FALSE(client.authorized());
}

TEST_F(TlsTest, SilentServerFailsTheHandshakeAfterTenSecondsAndTheNextConnectionWorks) {
  auto ctx = server(good_);
  FakePool tls(ctx.get());
  start(config(tls.port(), "localhost", true));
  auto mute = tls.accept_raw();
  ASSERT_TRUE(mute);
  ASSERT_FALSE(mute->silent_for(3s));  // the client hello has arrived; no answer follows
  clock.advance(10000ms);
  std::this_thread::sleep_for(600ms);  // three handshake polls see exactly 10 s
  EXPECT_EQ(rec.count("tls: handshake failed"), 0u);
  clock.advance(1ms);
  ASSERT_TRUE(rec.wait_log("tls: handshake failed", 2s));
  ASSERT_TRUE(rec.wait_log(failed_line("localhost:" + std::to_string(tls.port()), 1)));
  // The context made for the first attempt serves the next one.
  auto peer = tls.accept();
  ASSERT_TRUE(peer);
  EXPECT_EQ(peer->read_line(), subscribe_line());
  EXPECT_EQ(rec.count(kEstablished), 1u);
}

TEST_F(TlsTest, ServerLimitedToTls11IsRefused) {
  auto ctx = server(good_, TLS1_VERSION, TLS1_1_VERSION);
  if (!ctx) GTEST_SKIP() << "the local OpenSSL cannot configure a TLS 1.0-1.1 server context";
  std::string why;
  if (!serves_tls11(ctx.get(), why)) GTEST_SKIP() << "the local OpenSSL cannot serve TLS 1.1: " << why;
  FakePool tls(ctx.get());
  start(config(tls.port(), "localhost", true));
  EXPECT_FALSE(tls.accept());
  ASSERT_TRUE(rec.wait_log("tls: handshake failed"));
  EXPECT_TRUE(rec.wait_log(failed_line("localhost:" + std::to_string(tls.port()), 1)));
  EXPECT_EQ(rec.count(kEstablished), 0u);
}

TEST_F(TlsTest, StopDuringTheHandshakeIsPrompt) {
  auto ctx = server(good_);
  FakePool tls(ctx.get());
  start(config(tls.port(), "localhost", true));
  auto mute = tls.accept_raw();
  ASSERT_TRUE(mute);
  ASSERT_FALSE(mute->silent_for(3s));
  const auto took = timed([&] { client.stop(); });
  EXPECT_LT(took, 700ms);  // one 200 ms handshake wait, with room for a loaded machine
  EXPECT_EQ(rec.log_texts(), std::vector<std::string>{"tls: handshake failed"});
}

TEST_F(TlsTest, ConcurrentSubmitsArriveAsWholeRecords) {
  auto ctx = server(good_);
  FakePool tls(ctx.get());
  start(config(tls.port(), "localhost", true));
  auto peer = tls.accept();
  ASSERT_TRUE(peer);
  log_in(*peer);
  expect_concurrent_submits_arrive_whole(*peer);
}

TEST_F(TlsTest, DecryptedBytesWaitingInsideTlsAreRead) {
  auto ctx = server(good_);
  FakePool tls(ctx.get());
  start(config(tls.port(), "localhost", true));
  auto peer = tls.accept();
  ASSERT_TRUE(peer);
  log_in(*peer);
  // One record larger than one read: after the first read the rest sits decrypted in the client's
  // TLS object and the socket has nothing more to report.
  std::string burst;
  for (const char* name : {"a", "b", "c"}) {
    burst += R"({"method":"client.show_message","params":[")" + std::string(3000, name[0]) + "\"]}\n";
  }
  ASSERT_TRUE(peer->send(burst));
  EXPECT_TRUE(rec.wait_log("pool: " + std::string(3000, 'c'), 3s));
  EXPECT_EQ(rec.count("pool: " + std::string(3000, 'a')), 1u);
  EXPECT_EQ(rec.count("pool: " + std::string(3000, 'b')), 1u);
}

}  // namespace
}  // namespace tavo::test
