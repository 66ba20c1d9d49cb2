#include "pool/clock.h"

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

}  // namespace tavo
