// tavo::Clock is the pool client's view of time: the monotonic clock it reads deadlines from and
// the sleep it waits its reconnect backoff with. The session thread is its only caller while a
// session runs, so an implementation needs no locking of its own beyond what its own test hooks
// require. Production code uses Clock::steady(), a stateless wrapper of std::chrono::steady_clock;
// tests install a clock they drive by hand, so that 30 s backoffs and the 10-minute idle limit
// pass in milliseconds.
//
// What reads the clock: the connect deadline (in slices of real polling), the TLS handshake
// deadline, the idle limit and the connection duration. What sleeps through it: the 100 ms
// slices of the reconnect wait. Socket polls themselves always wait in real time, in bounded
// slices, so a clock that stands still never makes a wait longer than its real bound.
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

  // Waits `d`. A steady clock resumes its sleep after a signal until the whole time passed.
  virtual void sleep_for(duration d) = 0;

  // The process-wide real clock; lives for the whole program.
  static Clock& steady();
};

}  // namespace tavo
