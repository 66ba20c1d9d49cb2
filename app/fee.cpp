#include "app/fee.h"

#include <string>

namespace tavo {

void ContributionSchedule::step(std::int64_t elapsed_s) {
  if (!dev_active_.load()) {
    if (elapsed_s % kCycleSeconds >= kPhaseStart) {
      dev_ticks_ = 0;
      dev_active_ticks_ = 0;
      switch_to(true);
    }
    return;
  }
  const bool go_on = dev_active_ticks_ < kTargetTicks && dev_ticks_ < kCapTicks;
  ++dev_ticks_;
  if (hooks_.authorized() && hooks_.any_mining()) ++dev_active_ticks_;
  if (!go_on) switch_to(false);
}

void ContributionSchedule::switch_to(bool developer) {
  // From here on share results count for (or are ignored as) the new login.
  dev_active_.exchange(developer);
  hooks_.pause_miner();
  hooks_.stop_client();
  if (developer) {
    config_.user = kDeveloperAddress;
    config_.worker.clear();
  } else {
    config_.user = options_.user;
    config_.worker = options_.worker;
  }
  hooks_.start_client(config_);
  console_.log(palette_.grey, "fee",
               developer ? "2% dev contribution (" + std::to_string(kTargetTicks) + " s)"
                         : std::string("back to your wallet"));
}

}  // namespace tavo
