// The one place the pool client waits on a socket: poll of one descriptor with a bound, in real
// time. Stateless; any thread may call it.
#pragma once

#include <chrono>

namespace tavo {

struct PollOutcome {
  int count = 0;      // > 0 ready, 0 timed out, < 0 failed (see error)
  short revents = 0;  // events reported for the descriptor when count > 0
  int error = 0;      // errno of a failed poll
};

enum class OnSignal { Resume, Report };

// Polls `fd` for `events` for at most `timeout`. A signal either resumes the wait for the time
// left (Resume) or ends it as a failure with error EINTR (Report).
PollOutcome poll_fd(int fd, short events, std::chrono::milliseconds timeout, OnSignal on_signal);

}  // namespace tavo
