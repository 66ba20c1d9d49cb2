// FakePool: a scripted pool on the loopback interface for the client's tests. The test thread
// accepts connections one at a time and reads and writes exact bytes on each, over plain TCP or
// TLS (a server context supplied by the test). Every wait is bounded. One test thread uses an
// instance; the client under test runs on its own session thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

typedef struct ssl_ctx_st SSL_CTX;
typedef struct ssl_st SSL;

namespace tavo::test {

// One accepted connection.
class Peer {
 public:
  Peer(int fd, SSL* ssl) : fd_(fd), ssl_(ssl) {}
  ~Peer();
  Peer(const Peer&) = delete;
  Peer& operator=(const Peer&) = delete;

  // The next line without its line feed; nothing when the timeout passes or the client closed.
  std::optional<std::string> read_line(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // True when the client closes the connection within `timeout` (data still arriving is skipped).
  bool wait_closed(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // True when nothing at all arrives within `quiet`.
  bool silent_for(std::chrono::milliseconds quiet);
  bool send(std::string_view bytes);
  // Orderly close of our side.
  void close();

 private:
  // Reads what is there within `timeout`: > 0 bytes, 0 closed, -1 nothing yet.
  long read_some(std::chrono::milliseconds timeout);

  int fd_;
  SSL* ssl_;
  std::string buffer_;
};

class FakePool {
 public:
  // Listens on 127.0.0.1 (or ::1) on a free port. With `tls`, accept() runs a TLS server
  // handshake with that context (the caller keeps it alive).
  explicit FakePool(SSL_CTX* tls = nullptr, bool ipv6 = false, int backlog = 16);
  ~FakePool();
  FakePool(const FakePool&) = delete;
  FakePool& operator=(const FakePool&) = delete;

  std::uint16_t port() const { return port_; }

  // The next client connection, or null after the timeout (or a failed TLS handshake).
  std::unique_ptr<Peer> accept(std::chrono::milliseconds timeout = std::chrono::seconds(5));
  // Accepts at the TCP level only and never speaks: for handshakes that must hang.
  std::unique_ptr<Peer> accept_raw(std::chrono::milliseconds timeout = std::chrono::seconds(5));

 private:
  int accept_fd(std::chrono::milliseconds timeout);

  int listen_fd_ = -1;
  std::uint16_t port_ = 0;
  SSL_CTX* tls_;
};

// A port on 127.0.0.1 that refuses connections (bound once, then released).
std::uint16_t refusing_port();

}  // namespace tavo::test
