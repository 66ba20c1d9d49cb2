#include "tests/pool/fake_pool.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>

namespace tavo::test {
namespace {

using Clock = std::chrono::steady_clock;

int remaining_ms(Clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
  return left.count() > 0 ? static_cast<int>(left.count()) : 0;
}

bool wait_fd(int fd, short events, int timeout_ms) {
  pollfd p{fd, events, 0};
  int rc;
  do {
    rc = ::poll(&p, 1, timeout_ms);
  } while (rc < 0 && errno == EINTR);
  return rc > 0;
}

void set_timeouts(int fd) {
  timeval tv{};
  tv.tv_sec = 5;
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
  setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

}  // namespace

Peer::~Peer() { close(); }

void Peer::close() {
  if (ssl_ != nullptr) {
    SSL_shutdown(ssl_);
    SSL_free(ssl_);
    ssl_ = nullptr;
  }
  if (fd_ >= 0) {
    ::close(fd_);
    fd_ = -1;
  }
}

long Peer::read_some(std::chrono::milliseconds timeout) {
  if (fd_ < 0) return 0;
  const bool pending = ssl_ != nullptr && SSL_pending(ssl_) > 0;
  if (!pending && !wait_fd(fd_, POLLIN, static_cast<int>(timeout.count()))) return -1;
  char buf[8192];
  long n;
  if (ssl_ != nullptr) {
    ERR_clear_error();
    n = SSL_read(ssl_, buf, sizeof buf);
    if (n <= 0) {
      const int err = SSL_get_error(ssl_, static_cast<int>(n));
      return (err == SSL_ERROR_WANT_READ || err == SSL_ERROR_WANT_WRITE) ? -1 : 0;
    }
  } else {
    n = ::recv(fd_, buf, sizeof buf, 0);
    if (n < 0) return (errno == EAGAIN || errno == EINTR) ? -1 : 0;
  }
  buffer_.append(buf, static_cast<std::size_t>(n));
  return n;
}

std::optional<std::string> Peer::read_line(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const auto lf = buffer_.find('\n');
    if (lf != std::string::npos) {
      std::string line = buffer_.substr(0, lf);
      buffer_.erase(0, lf + 1);
      return line;
    }
    const int left = remaining_ms(deadline);
    if (left == 0) return std::nullopt;
    if (read_some(std::chrono::milliseconds(left)) == 0) return std::nullopt;
  }
}

bool Peer::wait_closed(std::chrono::milliseconds timeout) {
  const auto deadline = Clock::now() + timeout;
  for (;;) {
    const int left = remaining_ms(deadline);
    if (left == 0) return false;
    if (read_some(std::chrono::milliseconds(left)) == 0) return true;
  }
}

bool Peer::silent_for(std::chrono::milliseconds quiet) {
  if (!buffer_.empty()) return false;
  const auto deadline = Clock::now() + quiet;
  while (remaining_ms(deadline) > 0) {
    const long n = read_some(std::chrono::milliseconds(remaining_ms(deadline)));
    if (n != -1) return false;
  }
  return true;
}

bool Peer::send(std::string_view bytes) {
  if (fd_ < 0) return false;
  std::size_t done = 0;
  while (done < bytes.size()) {
    long n;
    if (ssl_ != nullptr) {
      n = SSL_write(ssl_, bytes.data() + done, static_cast<int>(bytes.size() - done));
    } else {
      n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    }
    if (n <= 0) return false;
    done += static_cast<std::size_t>(n);
  }
  return true;
}

FakePool::FakePool(SSL_CTX* tls, bool ipv6, int backlog) : tls_(tls) {
  listen_fd_ = ::socket(ipv6 ? AF_INET6 : AF_INET, SOCK_STREAM, 0);
  const int one = 1;
  setsockopt(listen_fd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
  sockaddr_storage ss{};
  socklen_t len;
  if (ipv6) {
    auto* a = reinterpret_cast<sockaddr_in6*>(&ss);
    a->sin6_family = AF_INET6;
    a->sin6_addr = in6addr_loopback;
    len = sizeof *a;
  } else {
    auto* a = reinterpret_cast<sockaddr_in*>(&ss);
    a->sin_family = AF_INET;
    a->sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    len = sizeof *a;
  }
  if (::bind(listen_fd_, reinterpret_cast<sockaddr*>(&ss), len) != 0 || ::listen(listen_fd_, backlog) != 0) {
    return;
  }
  getsockname(listen_fd_, reinterpret_cast<sockaddr*>(&ss), &len);
  port_ = ntohs(ipv6 ? reinterpret_cast<sockaddr_in6*>(&ss)->sin6_port
                     : reinterpret_cast<sockaddr_in*>(&ss)->sin_port);
}

FakePool::~FakePool() {
  if (listen_fd_ >= 0) ::close(listen_fd_);
}

int FakePool::accept_fd(std::chrono::milliseconds timeout) {
  if (!wait_fd(listen_fd_, POLLIN, static_cast<int>(timeout.count()))) return -1;
  const int fd = ::accept(listen_fd_, nullptr, nullptr);
  if (fd >= 0) set_timeouts(fd);
  return fd;
}

std::unique_ptr<Peer> FakePool::accept_raw(std::chrono::milliseconds timeout) {
  const int fd = accept_fd(timeout);
  if (fd < 0) return nullptr;
  return std::make_unique<Peer>(fd, nullptr);
}

std::unique_ptr<Peer> FakePool::accept(std::chrono::milliseconds timeout) {
  const int fd = accept_fd(timeout);
  if (fd < 0) return nullptr;
  if (tls_ == nullptr) return std::make_unique<Peer>(fd, nullptr);
  SSL* ssl = SSL_new(tls_);
  SSL_set_fd(ssl, fd);
  ERR_clear_error();
  if (SSL_accept(ssl) != 1) {
    SSL_free(ssl);
    ::close(fd);
    return nullptr;
  }
  return std::make_unique<Peer>(fd, ssl);
}

std::uint16_t refusing_port() {
  FakePool probe;
  return probe.port();
}

}  // namespace tavo::test
