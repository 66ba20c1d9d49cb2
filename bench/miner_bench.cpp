// Mining engine benchmarks on the build's back end (the CPU stand-in on a machine without a GPU).
//
//   BM_TimeToMining     first job to `mining`: the whole self-check and auto-tune with the
//                       program's own settings.
//   BM_MiningCpuShare   CPU time of the worker thread (everything that is not kernel work: Work
//                       building, launch and collect calls, verification, submission) as a share of
//                       the process's CPU time while mining; once with a pool-like target and once
//                       with every nonce a candidate (63 CPU hashes and submits per batch).
//   BM_MakeWork, BM_VerifyFullBatch   the two CPU-side pieces on their own.
#include <benchmark/benchmark.h>
#include <pthread.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "miner/miner.h"
#include "miner/verify.h"
#include "miner/work.h"
#include "pool/stratum.h"
#include "work/pow.h"

namespace {

using namespace tavo;

class CountingPool : public Stratum {
 public:
  void submit(const std::string&, const std::string&, std::uint32_t, std::uint32_t) override {
    shares.fetch_add(1);
  }
  std::atomic<std::uint64_t> shares{0};
};

Job bench_job(std::uint8_t share_top_byte, std::size_t branches) {
  Job job;
  job.seq = 1;
  job.job_id = "bench";
  for (std::size_t i = 0; i < job.prev_hash.size(); ++i) job.prev_hash[i] = static_cast<std::uint8_t>(i);
  job.coinb1.assign(100, 0x11);
  job.coinb2.assign(60, 0x22);
  job.merkle_branches.assign(branches, Hash32{});
  job.version = 0x20000000;
  job.nbits = 0x1d00ffff;
  job.ntime = 0x65000000;
  job.extranonce1 = {1, 2, 3, 4};
  job.share_target.fill(0xFF);
  job.share_target[0] = share_top_byte;
  return job;
}

double cpu_seconds(clockid_t id) {
  timespec ts{};
  clock_gettime(id, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) / 1e9;
}

void wait_mining(const Miner& miner) {
  while (!miner.any_mining() && !miner.all_failed()) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

void BM_TimeToMining(benchmark::State& state) {
  for (auto _ : state) {
    CountingPool pool;
    Miner miner(&pool, {0});
    int profile = 0;
    miner.on_status = [&](int, const std::string& text) { profile = text[20] - '0'; };
    const auto t0 = std::chrono::steady_clock::now();
    miner.start();
    miner.set_job(bench_job(0x00, 12));
    wait_mining(miner);
    const double s = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    state.SetIterationTime(s);
    state.counters["profile"] = profile;
    miner.stop();
  }
}
BENCHMARK(BM_TimeToMining)->UseManualTime()->Iterations(1)->Unit(benchmark::kSecond);

// range(0): top byte of the share target (0x00: about 1 in 2^8 candidates, 63 per batch;
// 0xFF: everything). range(1): 1 for a pool-like target of about 1 candidate in 2^32 instead.
void BM_MiningCpuShare(benchmark::State& state) {
  for (auto _ : state) {
    CountingPool pool;
    Miner miner(&pool, {0});
    miner.tune.bench_blocks = 64;
    miner.tune.bench_seconds = 0.2;
    Job job = bench_job(static_cast<std::uint8_t>(state.range(0)), 12);
    if (state.range(1) == 1) {
      job.share_target.fill(0xFF);
      job.share_target[0] = 0;
      job.share_target[1] = 0;
      job.share_target[2] = 0;
      job.share_target[3] = 0;
    }
    miner.start();
    miner.set_job(job);
    wait_mining(miner);
    std::this_thread::sleep_for(std::chrono::milliseconds(500));   // pipeline in its steady state

    clockid_t worker_clock;
    pthread_getcpuclockid(miner.workers[0]->thread.native_handle(), &worker_clock);
    const double w0 = cpu_seconds(worker_clock);
    const double p0 = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID);
    const std::uint64_t h0 = miner.workers[0]->hashes.load();
    const std::uint64_t s0 = pool.shares.load();
    const auto t0 = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const double w1 = cpu_seconds(worker_clock);
    const double p1 = cpu_seconds(CLOCK_PROCESS_CPUTIME_ID);
    const double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    state.SetIterationTime(wall);
    state.counters["outside_kernels_%"] = 100.0 * (w1 - w0) / (p1 - p0);
    state.counters["MH/s"] = static_cast<double>(miner.workers[0]->hashes.load() - h0) / wall / 1e6;
    state.counters["shares/s"] = static_cast<double>(pool.shares.load() - s0) / wall;
    miner.stop();
  }
}
BENCHMARK(BM_MiningCpuShare)
    ->Args({0x00, 1})
    ->Args({0x00, 0})
    ->Args({0xFF, 0})
    ->UseManualTime()
    ->Iterations(1)
    ->Unit(benchmark::kSecond);

void BM_MakeWork(benchmark::State& state) {
  const Job job = bench_job(0x00, static_cast<std::size_t>(state.range(0)));
  std::uint32_t counter = 0;
  for (auto _ : state) benchmark::DoNotOptimize(make_work(job, 0, counter));
}
BENCHMARK(BM_MakeWork)->Arg(0)->Arg(12)->Unit(benchmark::kMicrosecond);

void BM_VerifyFullBatch(benchmark::State& state) {
  CountingPool pool;
  Miner miner(&pool, {});
  const Job job = bench_job(0xFF, 12);
  miner.set_job(job);
  std::uint32_t counter = 0;
  const auto work = make_work(job, 0, counter);
  DRes res{};
  res.count = 1000;
  for (std::uint32_t i = 0; i < kResultSlots; ++i) res.nonce[i] = i * 7919;
  for (auto _ : state) benchmark::DoNotOptimize(verify_batch(miner, *work, res));
  state.counters["submits"] = benchmark::Counter(static_cast<double>(pool.shares.load()),
                                                 benchmark::Counter::kIsRate);
}
BENCHMARK(BM_VerifyFullBatch)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
