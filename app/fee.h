// ContributionSchedule: the developer contribution. Once in every 100-minute cycle the pool client
// logs in again under the developers' payout address, mines for 120 counted wake-ups (authorised
// and some GPU mining; at most 360 wake-ups in all), then logs in under the user's address again.
// Only the login changes; host, port, TLS and agent stay. step() runs once per wake-up on the main
// thread; dev_active is the only state another thread reads (the share-result callback).
#pragma once

#include <atomic>
#include <cstdint>

#include "app/console.h"
#include "app/options.h"
#include "pool/stratum.h"

namespace tavo {

inline constexpr const char* kDeveloperAddress = "vx1qt6mz0am9k9k8eswgqrw4g60eh6xvrasayxknhd";

// What a switch acts on; the run provides the live miner and pool client, tests a recorder.
class ContributionHooks {
 public:
  virtual ~ContributionHooks() = default;
  virtual bool authorized() = 0;        // the pool accepts shares on the current login
  virtual bool any_mining() = 0;
  virtual void pause_miner() = 0;       // hand the miner a blank job
  virtual void stop_client() = 0;
  virtual void start_client(const Stratum::Config& config) = 0;
};

class ContributionSchedule {
 public:
  static constexpr std::int64_t kCycleSeconds = 6000;
  static constexpr std::int64_t kPhaseStart = 5880;      // position in the cycle
  static constexpr std::int64_t kTargetTicks = 120;      // counted wake-ups
  static constexpr std::int64_t kCapTicks = 360;         // wake-ups in all

  // `config` is the run's client configuration, rewritten at every switch.
  ContributionSchedule(const Options& options, Stratum::Config& config,
                       std::atomic<bool>& dev_active, ContributionHooks& hooks, Console& console,
                       const Palette& palette)
      : options_(options), config_(config), dev_active_(dev_active), hooks_(hooks),
        console_(console), palette_(palette) {}

  void step(std::int64_t elapsed_s);

 private:
  void switch_to(bool developer);

  const Options& options_;
  Stratum::Config& config_;
  std::atomic<bool>& dev_active_;
  ContributionHooks& hooks_;
  Console& console_;
  const Palette& palette_;
  std::int64_t dev_ticks_ = 0;
  std::int64_t dev_active_ticks_ = 0;
};

}  // namespace tavo
