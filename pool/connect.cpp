#include "pool/connect.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "pool/poll_wait.h"
#include "pool/scope_guard.h"

namespace tavo {
namespace {

// The wait for a connect is cut into real-time slices so that its deadline can be read from the
// session's clock, which tests move by hand.
constexpr std::chrono::milliseconds kConnectSlice{200};

// A connected non-blocking socket for `addr`, or -1.
int connect_one(const addrinfo& addr, Clock& clock) {
  const int fd = ::socket(addr.ai_family, addr.ai_socktype | SOCK_NONBLOCK, addr.ai_protocol);
  if (fd < 0) return -1;
  ScopeGuard close_fd([fd] { ::close(fd); });
  if (::connect(fd, addr.ai_addr, addr.ai_addrlen) == 0) {
    close_fd.release();
    return fd;
  }
  if (errno != EINPROGRESS) return -1;
  const Stopwatch watch(clock);
  for (;;) {
    const auto left = kConnectTimeout - watch.elapsed();
    if (left <= std::chrono::milliseconds::zero()) return -1;
    const PollOutcome p = poll_fd(fd, POLLOUT, std::min(left, kConnectSlice), OnSignal::Resume);
    if (p.count < 0) return -1;
    if (p.count > 0) break;
  }
  int so_error = 0;
  socklen_t len = sizeof so_error;
  if (::getsockopt(fd, SOL_SOCKET, SO_ERROR, &so_error, &len) != 0 || so_error != 0) return -1;
  close_fd.release();
  return fd;
}

}  // namespace

int connect_first(const addrinfo* list, Clock& clock) {
  for (const addrinfo* a = list; a != nullptr; a = a->ai_next) {
    const int fd = connect_one(*a, clock);
    if (fd >= 0) return fd;
  }
  return -1;
}

}  // namespace tavo
