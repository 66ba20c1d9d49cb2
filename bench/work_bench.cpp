// Costs of the CPU-side work per call: the proof-of-work hash (run for every GPU candidate and
// during the self-check), header assembly (once per Work) and the interleaved job block (once per
// interleaved batch), plus the readable interleaved reference for comparison with the kernels.
#include <benchmark/benchmark.h>

#include <random>

#include "gpu/djob.h"
#include "work/job.h"
#include "work/pow.h"

namespace {

tavo::Header random_header(std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  tavo::Header h{};
  for (auto& b : h) b = static_cast<std::uint8_t>(rng());
  return h;
}

void BM_PowHash(benchmark::State& state) {
  tavo::Header header = random_header(1);
  std::uint32_t nonce = 0;
  for (auto _ : state) {
    tavo::set_header_nonce(header, nonce++);
    benchmark::DoNotOptimize(tavo::pow_hash(header));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_PowHash);

void BM_BuildHeader(benchmark::State& state) {
  tavo::Job job;
  job.job_id = "bench";
  job.coinb1.assign(64, 0x11);
  job.coinb2.assign(120, 0x22);
  job.extranonce1.assign(4, 0x33);
  job.merkle_branches.resize(static_cast<std::size_t>(state.range(0)));
  for (std::size_t i = 0; i < job.merkle_branches.size(); ++i) {
    job.merkle_branches[i].fill(static_cast<std::uint8_t>(i));
  }
  std::uint32_t counter = 0;
  for (auto _ : state) {
    const tavo::Bytes e2 = tavo::make_extranonce2(4, 0, counter);
    benchmark::DoNotOptimize(tavo::build_header(job, e2));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_BuildHeader)->Arg(0)->Arg(12);

void BM_MakeDJobIL(benchmark::State& state) {
  DJob job = make_djob(random_header(2), 0x00000000FFFFFFFFULL, 0);
  for (auto _ : state) {
    job.nonce_base += 1u << 20;
    benchmark::DoNotOptimize(make_djob_il(job));
  }
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_MakeDJobIL);

void BM_IlLane3Reference(benchmark::State& state) {
  const il::DJobIL job = make_djob_il(make_djob(random_header(3), 0, 0));
  std::uint32_t k = 0;
  for (auto _ : state) benchmark::DoNotOptimize(il_lane3_reference(job, k++));
  state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_IlLane3Reference);

}  // namespace

BENCHMARK_MAIN();
