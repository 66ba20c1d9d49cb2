#include "app/supervisor.h"

#include <cerrno>
#include <ctime>

namespace tavo {

void SystemLoopClock::sleep_one_second() {
  timespec want{1, 0};
  timespec left{};
  while (nanosleep(&want, &left) == -1 && errno == EINTR) want = left;
}

std::int64_t SystemLoopClock::now_ns() {
  timespec now{};
  clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

LoopResult supervise(const std::atomic<bool>& stop_requested, LoopClock& clock, PassDuties& duties) {
  LoopResult result;
  const std::int64_t t0 = clock.now_ns();
  while (!stop_requested.load()) {
    clock.sleep_one_second();
    if (duties.health_and_sample()) {
      result.all_lost = true;
      break;
    }
    const std::int64_t elapsed_s = (clock.now_ns() - t0) / 1'000'000'000;
    duties.contribution_step(elapsed_s);
    ++result.ticks;
    if (result.ticks % 10 == 0 && duties.any_mining()) duties.report(elapsed_s);
  }
  return result;
}

}  // namespace tavo
