// The supervision loop of the main thread: once per second, until a stop is requested, it runs the
// duties of one pass in a fixed order (health check and hash sample, contribution step, and every
// tenth wake-up the report while a GPU mines). Time comes through LoopClock so tests can drive the
// loop without sleeping; the program uses the real monotonic clock and nanosleep. Runs on the main
// thread only.
#pragma once

#include <atomic>
#include <cstdint>

namespace tavo {

class LoopClock {
 public:
  virtual ~LoopClock() = default;
  // Sleeps one whole second; a signal does not cut it short.
  virtual void sleep_one_second() = 0;
  // Monotonic time in nanoseconds.
  virtual std::int64_t now_ns() = 0;
};

// nanosleep on the monotonic clock, resumed after EINTR with the time that was left.
class SystemLoopClock final : public LoopClock {
 public:
  void sleep_one_second() override;
  std::int64_t now_ns() override;
};

// What one pass does besides sleeping; the run assembly provides it.
class PassDuties {
 public:
  virtual ~PassDuties() = default;
  // Health check and hash sample; returns true when the loop must end (every GPU lost).
  virtual bool health_and_sample() = 0;
  virtual void contribution_step(std::int64_t elapsed_s) = 0;
  virtual bool any_mining() = 0;
  // Status report and stats file.
  virtual void report(std::int64_t elapsed_s) = 0;
};

struct LoopResult {
  std::uint32_t ticks = 0;       // wake-ups completed
  bool all_lost = false;         // left because every GPU failed
};

// Runs passes while `stop_requested` is false (tested at the top of every pass).
LoopResult supervise(const std::atomic<bool>& stop_requested, LoopClock& clock, PassDuties& duties);

}  // namespace tavo
