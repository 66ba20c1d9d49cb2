// ManualClock: a tavo::Clock that tests drive. Time stands still until the test moves it, except
// that every sleep advances it by the time slept (and yields briefly in real time), so a 30 s
// reconnect wait passes in a few milliseconds while its length stays observable. A test that
// needs a wait to take real time (to see how promptly stop ends it) switches real sleeps on.
// Thread-safe: the session thread reads and sleeps while the test thread moves the time.
#pragma once

#include <atomic>
#include <chrono>
#include <thread>

#include "pool/clock.h"

namespace tavo::test {

class ManualClock final : public Clock {
 public:
  time_point now() override { return base() + std::chrono::nanoseconds(offset_ns_.load()); }

  void sleep_for(duration d) override {
    const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
    slept_ns_ += ns;
    offset_ns_ += ns;
    if (real_sleeps_.load()) {
      std::this_thread::sleep_for(d);
    } else {
      std::this_thread::sleep_for(std::chrono::microseconds(100));
    }
  }

  // The fixed point this clock starts from.
  static time_point base() { return time_point(std::chrono::hours(1000)); }

  void advance(duration d) {
    offset_ns_ += std::chrono::duration_cast<std::chrono::nanoseconds>(d).count();
  }

  // From now on sleep_for also waits its whole time in real time.
  void use_real_sleeps() { real_sleeps_.store(true); }

  // Total time spent in sleep_for so far.
  std::chrono::milliseconds slept() const {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::nanoseconds(slept_ns_.load()));
  }

 private:
  std::atomic<long long> offset_ns_{0};
  std::atomic<long long> slept_ns_{0};
  std::atomic<bool> real_sleeps_{false};
};

}  // namespace tavo::test
