#include "miner/tune.h"

#include <chrono>
#include <cmath>
#include <cstdio>

#include "gpu/device_context.h"
#include "gpu/profiles.h"
#include "work/pow.h"

namespace tavo {

namespace {

// Sampling every 37th index keeps the CPU's share of a check small while the samples still reach
// both ends of the run and the wrap of the index through 0.
constexpr std::uint32_t kCheckStride = 37;
constexpr std::uint32_t kCheckGranules = 4;
constexpr double kBatchSeconds = 0.1;
constexpr double kMinBatchGranules = 256.0;
constexpr double kMaxBatch = 2147483648.0;   // 2^31

double monotonic_seconds() {
  const auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(
      std::chrono::steady_clock::now().time_since_epoch());
  return static_cast<double>(ns.count()) / 1e9;
}

// Benchmark launch size: granularity x settings.bench_blocks, kept to a 32-bit multiple of the
// granularity even for oversized settings.
std::uint32_t bench_launch(std::uint32_t g, const TuneSettings& settings) {
  std::uint64_t blocks = settings.bench_blocks == 0 ? 1 : settings.bench_blocks;
  const std::uint64_t max_blocks = (std::uint64_t{1} << 31) / g;
  if (blocks > max_blocks) blocks = max_blocks;
  return static_cast<std::uint32_t>(blocks * g);
}

}  // namespace

Header tune_test_header() {
  Header h{};
  for (std::size_t k = 0; k < h.size(); ++k) h[k] = static_cast<std::uint8_t>((11 + 37 * k) % 256);
  return h;
}

CheckEnd self_check(DeviceContext& ctx, int profile, std::vector<std::uint64_t>& lanes) {
  const std::uint32_t count = kCheckGranules * granularity(profile);
  lanes.assign(count, 0);
  // 2^32 - count/2: the run covers count/2 indices on either side of 0.
  const std::uint32_t base = 0u - count / 2;
  Header header = tune_test_header();
  const DJob job = make_djob(header, 0, base);
  if (!ctx.check(profile, job, count, lanes.data())) return CheckEnd::DeviceError;

  for (std::uint32_t j = 0; j < count; j += kCheckStride) {
    set_header_nonce(header, nonce_map(profile, base + j));
    if (digest_lane3(pow_hash(header)) != lanes[j]) return CheckEnd::Inexact;
  }
  return CheckEnd::Exact;
}

BenchEnd benchmark(DeviceContext& ctx, int profile, const std::atomic<bool>& running,
                   const TuneSettings& settings, double& rate) {
  const std::uint32_t r = bench_launch(granularity(profile), settings);
  DJob job = make_djob(tune_test_header(), 0, 0);
  DRes res;
  // The first launch pays for start-up costs (kernel look-up, clocks ramping up) and is not timed.
  if (!ctx.launch_and_collect(profile, job, r, res)) return BenchEnd::DeviceError;

  const double t0 = monotonic_seconds();
  double hashes = 0.0;
  double elapsed = 0.0;
  for (;;) {
    if (!running.load()) return BenchEnd::Stopped;
    if (!ctx.launch_and_collect(profile, job, r, res)) return BenchEnd::DeviceError;
    job.nonce_base += r;
    hashes += r;
    elapsed = monotonic_seconds() - t0;
    if (elapsed >= settings.bench_seconds) break;
  }
  rate = hashes / elapsed;
  return BenchEnd::Done;
}

TuneResult auto_tune(DeviceContext& ctx, const std::atomic<bool>& running,
                     const TuneSettings& settings) {
  TuneResult result;
  ProfileRanking ranking;
  std::vector<std::uint64_t> lanes;
  for (int p = 0; p < kProfileCount && running.load(); ++p) {
    if ((settings.profile_mask >> p & 1u) == 0) continue;
    const CheckEnd check = self_check(ctx, p, lanes);
    if (check == CheckEnd::DeviceError) {
      result.end = TuneEnd::DeviceError;
      return result;
    }
    if (check == CheckEnd::Inexact) continue;

    double rate = 0.0;
    const BenchEnd bench = benchmark(ctx, p, running, settings, rate);
    if (bench != BenchEnd::Done) {
      result.end = bench == BenchEnd::Stopped ? TuneEnd::Stopped : TuneEnd::DeviceError;
      return result;
    }
    ranking.consider(p, rate);
  }

  if (!running.load()) {
    result.end = TuneEnd::Stopped;
    return result;
  }
  if (ranking.best_profile() < 0) {
    result.end = TuneEnd::NoExactProfile;
    return result;
  }
  result.end = TuneEnd::Tuned;
  result.profile = ranking.best_profile();
  result.rate = ranking.best_rate();
  result.batch_size = batch_size_for(result.rate, granularity(result.profile));
  return result;
}

std::uint32_t batch_size_for(double rate, std::uint32_t granularity) {
  const double g = granularity;
  double batch = g * std::floor(std::floor(rate * kBatchSeconds) / g);
  // Written so that a NaN rate also lands on the floor.
  if (!(batch >= kMinBatchGranules * g)) batch = kMinBatchGranules * g;
  const double cap = g * std::floor(kMaxBatch / g);
  if (batch > cap) batch = cap;
  return static_cast<std::uint32_t>(batch);
}

std::string tuned_status(int profile, double rate) {
  char line[256];
  std::snprintf(line, sizeof line, "auto-tuned: profile %d, %.2f MH/s", profile + 1, rate / 1e6);
  return line;
}

}  // namespace tavo
