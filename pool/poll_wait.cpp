#include "pool/poll_wait.h"

#include <poll.h>

#include <cerrno>

namespace tavo {

PollOutcome poll_fd(int fd, short events, std::chrono::milliseconds timeout, OnSignal on_signal) {
  using std::chrono::steady_clock;
  const auto deadline = steady_clock::now() + timeout;
  PollOutcome out;
  for (;;) {
    const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
        deadline - steady_clock::now());
    pollfd p{};
    p.fd = fd;
    p.events = events;
    const int rc = ::poll(&p, 1, left.count() > 0 ? static_cast<int>(left.count()) : 0);
    if (rc >= 0) {
      out.count = rc;
      out.revents = rc > 0 ? p.revents : 0;
      return out;
    }
    if (errno == EINTR && on_signal == OnSignal::Resume) {
      if (left.count() > 0) continue;
      return out;  // the bound ran out during the signal: a plain timeout
    }
    out.count = -1;
    out.error = errno;
    return out;
  }
}

}  // namespace tavo
