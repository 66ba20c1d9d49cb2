#include "pool/clock.h"

#include <algorithm>
#include <cerrno>
#include <ctime>

namespace tavo {
namespace {

class SteadyClock final : public Clock {
 public:
  time_point now() override { return std::chrono::steady_clock::now(); }

  void sleep_for(duration d) override {
    if (d <= duration::zero()) return;
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(d);
    const auto nanos = std::chrono::duration_cast<std::chrono::nanoseconds>(d - secs);
    timespec want{};
    want.tv_sec = static_cast<time_t>(secs.count());
    want.tv_nsec = static_cast<long>(nanos.count());
    timespec left{};
    // A signal cuts nanosleep short; the slice still has to last its full length.
    while (nanosleep(&want, &left) != 0 && errno == EINTR) want = left;
  }
};

}  // namespace

Clock& Clock::steady() {
  static SteadyClock clock;
  return clock;
}

std::chrono::milliseconds Stopwatch::elapsed() const {
  using std::chrono::duration_cast;
  using std::chrono::milliseconds;
  const auto by_clock = duration_cast<milliseconds>(clock_.now() - clock_start_);
  const auto real = duration_cast<milliseconds>(std::chrono::steady_clock::now() - real_start_);
  return std::max(by_clock, real);
}

}  // namespace tavo
