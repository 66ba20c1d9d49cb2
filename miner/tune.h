// Self-check and auto-tune of one device: every kernel profile is proved against the CPU
// reference hash on a fixed test header, the exact ones are timed, and the fastest becomes the
// worker's profile with a batch size of about a tenth of a second of its work.
//
// Everything here runs on the calling worker's thread with that worker's device context and takes
// no lock; `running` is read to notice a stop between profiles and inside the benchmark loop.
// The helpers at the end are pure functions.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "gpu/djob.h"
#include "miner/tune_settings.h"
#include "work/job.h"

namespace tavo {

class DeviceContext;

inline constexpr char kNoExactProfile[] =
    "no kernel profile passed the exactness check on this card";

enum class TuneEnd {
  Tuned,            // profile, rate and batch_size are set
  Stopped,          // `running` was cleared; nothing is in flight
  NoExactProfile,   // every profile differed from the CPU
  DeviceError,      // a device call failed; its text is the context's last_error
};

struct TuneResult {
  TuneEnd end = TuneEnd::Stopped;
  int profile = -1;
  double rate = 0.0;              // hashes per second of `profile`
  std::uint32_t batch_size = 0;
};

// Proves and times every profile in order. Leaves nothing in flight on the context.
TuneResult auto_tune(DeviceContext& ctx, const std::atomic<bool>& running,
                     const TuneSettings& settings);

enum class CheckEnd { Exact, Inexact, DeviceError };

// One check run of 4 x granularity indices centred on index 0, with every 37th index compared to
// the CPU. `lanes` is scratch space, resized as needed.
CheckEnd self_check(DeviceContext& ctx, int profile, std::vector<std::uint64_t>& lanes);

enum class BenchEnd { Done, Stopped, DeviceError };

// One untimed warm-up launch, then timed launches until `settings.bench_seconds` have passed.
// On Done, `rate` holds hashes per second; otherwise it is left alone.
BenchEnd benchmark(DeviceContext& ctx, int profile, const std::atomic<bool>& running,
                   const TuneSettings& settings, double& rate);

// The best profile so far: a later profile wins only with a strictly higher rate, so ties keep
// the lower-numbered one.
class ProfileRanking {
 public:
  void consider(int profile, double rate) {
    if (rate > best_rate_) {
      best_profile_ = profile;
      best_rate_ = rate;
    }
  }
  int best_profile() const { return best_profile_; }   // -1: none yet
  double best_rate() const { return best_rate_; }

 private:
  int best_profile_ = -1;
  double best_rate_ = 0.0;
};

// The fixed header of the self-check and benchmark: byte k is (11 + 37k) mod 256.
Header tune_test_header();

// Whole nonces of 0.1 s at `rate`, rounded down to a multiple of `granularity`, at least 256
// granules and at most the largest multiple of `granularity` not above 2^31.
std::uint32_t batch_size_for(double rate, std::uint32_t granularity);

// The status line of a tuned worker: profile shown from 1, rate in MH/s with two decimals.
std::string tuned_status(int profile, double rate);

}  // namespace tavo
