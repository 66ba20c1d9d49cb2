// Speed of the device code on the CPU stand-in, per profile, next to OpenSSL's SHA3-256 on the
// same 88-byte messages in the same run. Each profile reports M nonces/s of wall time for the
// whole stand-in, M nonces per CPU second ("per core": the process's CPU time, so that other load
// on the machine does not distort it), and `x_openssl`: that per-core rate over OpenSSL's, also
// per CPU second of its thread. (On the cuda flavour the profiles run on GPU 0 instead and only
// the wall-time rate means something.) The static instruction counts of the GPU builds come from
// bench/device-report.
#include <benchmark/benchmark.h>
#include <openssl/evp.h>

#include <time.h>

#include <chrono>
#include <cstdint>
#include <cstring>

#include "gpu/device_context.h"
#include "gpu/djob.h"
#include "gpu/profiles.h"

namespace {

constexpr char kPrefix[] = "QRBPOW01";

DJob bench_job() {
  std::array<std::uint8_t, 80> header{};
  for (int k = 0; k < 80; ++k) header[k] = static_cast<std::uint8_t>(11 + 37 * k);
  return make_djob(header, 0, 0);
}

double cpu_seconds(clockid_t clock) {
  timespec ts{};
  clock_gettime(clock, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

// SHA3-256 of 88-byte messages through OpenSSL on this thread: digests per CPU second.
double openssl_rate() {
  static const double rate = [] {
    std::uint8_t msg[88] = {};
    std::memcpy(msg, kPrefix, 8);
    std::uint8_t digest[32];
    unsigned size = 0;
    const double start = cpu_seconds(CLOCK_THREAD_CPUTIME_ID);
    std::uint64_t hashes = 0;
    double elapsed = 0;
    do {
      for (int i = 0; i < 1000; ++i, ++hashes) {
        std::memcpy(msg + 84, &hashes, 4);
        EVP_Digest(msg, sizeof(msg), digest, &size, EVP_sha3_256(), nullptr);
      }
      elapsed = cpu_seconds(CLOCK_THREAD_CPUTIME_ID) - start;
    } while (elapsed < 0.5);
    return static_cast<double>(hashes) / elapsed;
  }();
  return rate;
}

void BM_OpenSslSha3(benchmark::State& state) {
  std::uint8_t msg[88] = {};
  std::memcpy(msg, kPrefix, 8);
  std::uint8_t digest[32];
  unsigned size = 0;
  std::uint32_t nonce = 0;
  for (auto _ : state) {
    std::memcpy(msg + 84, &nonce, 4);
    ++nonce;
    EVP_Digest(msg, sizeof(msg), digest, &size, EVP_sha3_256(), nullptr);
    benchmark::DoNotOptimize(digest);
  }
  state.counters["MH/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()) / 1e6, benchmark::Counter::kIsRate);
}
BENCHMARK(BM_OpenSslSha3);

// One synchronous batch per iteration, as the self-check's benchmark runs them.
void BM_Profile(benchmark::State& state) {
  const int profile = static_cast<int>(state.range(0));
  const std::uint32_t count = tavo::granularity(profile) * 64;
  tavo::DeviceContext context(0);
  DJob job = bench_job();
  DRes res;
  if (!context.launch_and_collect(profile, job, count, res)) {
    state.SkipWithError(context.last_error().c_str());
    return;
  }
  const double reference = openssl_rate();
  const auto start = std::chrono::steady_clock::now();
  const double cpu_start = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID);
  std::uint64_t hashes = 0;
  for (auto _ : state) {
    job.nonce_base += count;
    if (!context.launch_and_collect(profile, job, count, res)) {
      state.SkipWithError(context.last_error().c_str());
      return;
    }
    hashes += count;
  }
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID) - cpu_start;
  const double per_core = static_cast<double>(hashes) / cpu;
  state.counters["MH/s"] = static_cast<double>(hashes) / seconds / 1e6;
  state.counters["MH/s/core"] = per_core / 1e6;
  state.counters["openssl_MH/s/core"] = reference / 1e6;
  state.counters["x_openssl"] = per_core / reference;
}
BENCHMARK(BM_Profile)->DenseRange(0, tavo::kProfileCount - 1)->Unit(benchmark::kMillisecond)->UseRealTime();

}  // namespace

BENCHMARK_MAIN();
