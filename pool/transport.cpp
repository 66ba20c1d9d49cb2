// The byte pipe to the pool: name resolution and connection set-up, whole-message writes,
// bounded waits for input, reads, teardown and line framing. The connect itself lives in
// connect.cpp, TLS set-up in tls.cpp.
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>

#include "pool/connect.h"
#include "pool/framing.h"
#include "pool/poll_wait.h"
#include "pool/scope_guard.h"
#include "pool/stratum.h"

namespace tavo {
namespace {

using std::chrono::milliseconds;

constexpr milliseconds kReadWait{1000};
constexpr milliseconds kPlainWriteWait{5000};
constexpr milliseconds kTlsWriteWait{100};
constexpr int kTlsWriteWaitsWithoutProgress = 50;

}  // namespace

bool Stratum::open_connection() {
  const std::string port_text = std::to_string(config.port);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* list = nullptr;
  const int rc = ::getaddrinfo(config.host.c_str(), port_text.c_str(), &hints, &list);
  ScopeGuard free_list([&list] {
    if (list != nullptr) ::freeaddrinfo(list);
  });
  if (rc != 0 || list == nullptr) {
    log("cannot resolve " + config.host);
    return false;
  }
  const int fd = connect_first(list, *clock_);
  if (fd < 0) return false;
  ScopeGuard close_fd([fd] { ::close(fd); });

  const int one = 1;
  (void)::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);

  SSL* session = nullptr;
  if (config.tls && !start_tls(fd, session)) return false;

  // Both published in one step: a reader that sees the descriptor also sees its TLS object.
  std::lock_guard<std::mutex> lock(io_mutex);
  ssl = session;
  socket_fd = fd;
  close_fd.release();
  return true;
}

bool Stratum::send_all(std::string_view text) {
  std::lock_guard<std::mutex> lock(io_mutex);
  if (socket_fd < 0) return false;
  std::size_t done = 0;
  if (ssl != nullptr) {
    int waits = 0;
    while (done < text.size()) {
      const int chunk = static_cast<int>(std::min<std::size_t>(text.size() - done, INT_MAX));
      ERR_clear_error();
      const int n = SSL_write(ssl, text.data() + done, chunk);
      if (n > 0) {
        done += static_cast<std::size_t>(n);
        waits = 0;
        continue;
      }
      const int err = SSL_get_error(ssl, n);
      if ((err != SSL_ERROR_WANT_READ && err != SSL_ERROR_WANT_WRITE) ||
          waits >= kTlsWriteWaitsWithoutProgress) {
        return false;
      }
      (void)poll_fd(socket_fd, err == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT, kTlsWriteWait,
                    OnSignal::Resume);
      ++waits;
    }
    return true;
  }
  while (done < text.size()) {
    const ssize_t n = ::send(socket_fd, text.data() + done, text.size() - done, MSG_NOSIGNAL);
    if (n > 0) {
      done += static_cast<std::size_t>(n);
      continue;
    }
    if (n == 0) return false;
    if (errno != EAGAIN && errno != EWOULDBLOCK) return false;
    if (poll_fd(socket_fd, POLLOUT, kPlainWriteWait, OnSignal::Resume).count <= 0) return false;
  }
  return true;
}

Stratum::Wait Stratum::wait_readable() {
  int fd = -1;
  {
    std::lock_guard<std::mutex> lock(io_mutex);
    // Bytes TLS already decrypted sit in the connection object, where poll cannot see them.
    if (ssl != nullptr && SSL_pending(ssl) > 0) return Wait::Ready;
    fd = socket_fd;
  }
  if (fd < 0) return Wait::Failed;
  const PollOutcome p = poll_fd(fd, POLLIN, kReadWait, OnSignal::Report);
  if (p.count < 0) return p.error == EINTR ? Wait::Interrupted : Wait::Failed;
  if (p.count == 0) return Wait::Idle;
  if ((p.revents & (POLLERR | POLLHUP | POLLNVAL)) != 0) return Wait::Failed;
  if ((p.revents & POLLIN) != 0) return Wait::Ready;
  return Wait::Idle;
}

long Stratum::receive(char* buffer, std::size_t capacity) {
  std::lock_guard<std::mutex> lock(io_mutex);
  if (socket_fd < 0) return -2;
  if (ssl != nullptr) {
    ERR_clear_error();
    const int n = SSL_read(ssl, buffer, static_cast<int>(std::min<std::size_t>(capacity, INT_MAX)));
    if (n > 0) return n;
    switch (SSL_get_error(ssl, n)) {
      case SSL_ERROR_WANT_READ:
      case SSL_ERROR_WANT_WRITE:
        return -1;
      case SSL_ERROR_ZERO_RETURN:
        return 0;
      default:
        return -2;
    }
  }
  const ssize_t n = ::recv(socket_fd, buffer, capacity, 0);
  if (n >= 0) return static_cast<long>(n);
  if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) return -1;
  return -2;
}

void Stratum::close_connection() {
  std::lock_guard<std::mutex> lock(io_mutex);
  if (ssl != nullptr) {
    ERR_clear_error();
    (void)SSL_shutdown(ssl);
    SSL_free(ssl);
    ssl = nullptr;
  }
  if (socket_fd >= 0) {
    // shutdown first: it also wakes the session thread if it is polling this descriptor.
    ::shutdown(socket_fd, SHUT_RDWR);
    ::close(socket_fd);
    socket_fd = -1;
  }
  authorized_.store(false);
}

bool cut_lines(std::string& inbox, const std::function<void(std::string_view)>& deliver) {
  std::size_t start = 0;
  for (;;) {
    const std::size_t lf = inbox.find('\n', start);
    if (lf == std::string::npos) break;
    if (lf > start) deliver(std::string_view(inbox).substr(start, lf - start));
    start = lf + 1;
  }
  inbox.erase(0, start);
  return inbox.size() <= kMaxPartialLine;
}

}  // namespace tavo
