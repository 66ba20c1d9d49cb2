// tavo::Clock is the pool client's view of time: the monotonic clock it reads deadlines from and
// the sleep it waits its reconnect backoff with. The session thread is its only caller while a
// session runs, so an implementation needs no locking beyond what its own test hooks require.
// Production code uses Clock::steady(), a stateless wrapper of std::chrono::steady_clock; tests
// install a clock they drive by hand, so that 30 s backoffs and the 10-minute idle limit pass in
// milliseconds.
//
// What reads the clock: the connect and TLS handshake bounds (through Stopwatch), the idle limit
// and the connection duration. What sleeps through it: the 100 ms slices of the reconnect wait.
// Socket polls themselves always wait in real time, in bounded slices.
#pragma once

#include <chrono>

namespace tavo {

class Clock {
 public:
  using duration = std::chrono::steady_clock::duration;
  using time_point = std::chrono::steady_clock::time_point;

  virtual ~Clock() = default;

  // Current monotonic time. Never goes backwards.
  virtual time_point now() = 0;

  // Waits `d`. The steady clock resumes its sleep after a signal until the whole time passed.
  virtual void sleep_for(duration d) = 0;

  // The process-wide real clock; lives for the whole program.
  static Clock& steady();
};

// Measures a bounded wait (a connect, a handshake) against both `clock` and the real monotonic
// time, and reports whichever has moved further. With the steady clock the two agree; with a
// clock a test drives, the test can end the wait early, while a clock that stands still cannot
// make it last longer than its real bound. Used by one thread.
class Stopwatch {
 public:
  explicit Stopwatch(Clock& clock)
      : clock_(clock), clock_start_(clock.now()), real_start_(std::chrono::steady_clock::now()) {}

  // Whole milliseconds passed since construction.
  std::chrono::milliseconds elapsed() const;

 private:
  Clock& clock_;
  const Clock::time_point clock_start_;
  const std::chrono::steady_clock::time_point real_start_;
};

}  // namespace tavo
