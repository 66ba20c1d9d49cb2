// Per-message costs of the pool client on the session thread (a notification parsed, checked and
// turned into a job with both targets) and on the miner threads (a submit message built).
#include <benchmark/benchmark.h>

#include <string>

#include "pool/json.h"
#include "pool/messages.h"
#include "pool/stratum.h"
#include "pool/targets.h"

namespace {

std::string notify_line(int branches) {
  std::string line = R"({"id":null,"method":"mining.notify","params":["1a2b",")" + std::string(64, '3') +
                     R"(",")" + std::string(84, '0') + "0340420f" + std::string(40, 'a') + R"(",")" +
                     std::string(120, 'b') + R"(",[)";
  for (int i = 0; i < branches; ++i) line += (i ? ",\"" : "\"") + std::string(64, 'c') + "\"";
  return line + R"(],"20000000","1b00ffff","6650a1f3",true]})";
}

void BM_JsonParseNotify(benchmark::State& state) {
  const std::string line = notify_line(static_cast<int>(state.range(0)));
  for (auto _ : state) {
    tavo::JsonValue v;
    benchmark::DoNotOptimize(tavo::json_parse(line, v));
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * line.size()));
}
BENCHMARK(BM_JsonParseNotify)->Arg(0)->Arg(12);

void BM_HandleNotify(benchmark::State& state) {
  const std::string line = notify_line(static_cast<int>(state.range(0)));
  tavo::Stratum client;
  std::uint64_t seq = 0;
  client.on_job = [&seq](const tavo::Job& job) { seq = job.seq; };
  for (auto _ : state) {
    client.handle_line(line);
    benchmark::DoNotOptimize(seq);
  }
  state.counters["lines/s"] =
      benchmark::Counter(static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_HandleNotify)->Arg(0)->Arg(12);

void BM_SubmitMessage(benchmark::State& state) {
  std::uint32_t nonce = 0;
  for (auto _ : state) {
    benchmark::DoNotOptimize(tavo::submit_message(100 + nonce, "vx1qaddressaddressaddress.rig1", "1a2b",
                                                  "02000007", 0x6650a1f3, nonce));
    ++nonce;
  }
}
BENCHMARK(BM_SubmitMessage);

// The strings that pass through the escaper: a login and a pool's job id.
void BM_JsonEscape(benchmark::State& state) {
  const std::string text = state.range(0) == 0 ? "vx1qt6mz0am9k9k8eswgqrw4g60eh6xvrasayxknhd.rig1"
                                               : "job \"7\"\t\\ with \x01 controls";
  for (auto _ : state) benchmark::DoNotOptimize(tavo::json_escape(text));
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_JsonEscape)->Arg(0)->Arg(1);

void BM_DifficultyToTarget(benchmark::State& state) {
  double d = 0.001;
  for (auto _ : state) {
    benchmark::DoNotOptimize(tavo::difficulty_to_target(d));
    d *= 1.0001;
  }
}
BENCHMARK(BM_DifficultyToTarget);

}  // namespace

BENCHMARK_MAIN();
