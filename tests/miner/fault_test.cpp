// The miner on CPU stand-in devices with an injected fault plan (platform/README.md): kernel
// families that compute wrong lanes, launches and executions that fail, a failing allocation.
// Each test sets its own device count and plan before any device is touched.
#include <gtest/gtest.h>

#include <string>

#include "miner/miner.h"
#include "miner/tune.h"
#include "miner_fixture.h"
#include "platform/cuda_stub_debug.h"

namespace tavo {
namespace {

using test::RecordingPool;
using test::Share;
using test::StatusLog;
using test::wait_until;

const Target kShareTarget = test::target_with_top_byte(0x00);

// One timed benchmark launch per profile, so the launches made while tuning are few and fixed.
TuneSettings quick_tune(std::uint32_t profile_mask) {
  TuneSettings s;
  s.bench_blocks = 8;
  s.bench_seconds = 0.0;
  s.profile_mask = profile_mask;
  return s;
}

std::size_t shares_of_worker(const RecordingPool& pool, const std::string& byte0) {
  std::size_t n = 0;
  for (const Share& s : pool.shares()) n += s.extranonce2.rfind(byte0, 0) == 0 ? 1 : 0;
  return n;
}

bool starts_with(const std::string& s, const std::string& prefix) {
  return s.rfind(prefix, 0) == 0;
}

TEST(MinerFaultTest, WrongInterleavedFamilyFallsBackToAPlainProfile) {
  ASSERT_TRUE(tavo_cpu::configure(1, "wrong=il"));
  RecordingPool pool;
  StatusLog log;
  const Job job = test::make_job(1, 1, 1, kShareTarget);
  {
    Miner miner(&pool, {0});
    miner.on_status = log.callback();
    miner.tune = quick_tune(0x3F);
    miner.start();
    miner.set_job(job);
    ASSERT_TRUE(wait_until([&] { return pool.count() >= 3 * 63; }));
    miner.stop();
  }
  const std::vector<std::string> lines = log.of(0);
  ASSERT_EQ(lines.size(), 1u);
  const bool plain = starts_with(lines[0], "auto-tuned: profile 1, ") ||
                     starts_with(lines[0], "auto-tuned: profile 2, ") ||
                     starts_with(lines[0], "auto-tuned: profile 3, ");
  EXPECT_TRUE(plain) << lines[0];
  test::expect_valid_shares(pool.shares(), {{job.job_id, job}});
}

// Only the interleaved family is exact, and only profile 6 of it is tried besides the plain ones:
// the worker mines with it and names it from 1.
TEST(MinerFaultTest, OnlyProfileSixExact) {
  ASSERT_TRUE(tavo_cpu::configure(1, "wrong=plain"));
  RecordingPool pool;
  StatusLog log;
  const Job job = test::make_job(1, 1, 1, kShareTarget);
  {
    Miner miner(&pool, {0});
    miner.on_status = log.callback();
    miner.tune = quick_tune(0x07 | 1u << 5);
    miner.start();
    miner.set_job(job);
    ASSERT_TRUE(wait_until([&] { return pool.count() >= 63; }));
    miner.stop();
  }
  ASSERT_EQ(log.of(0).size(), 1u);
  EXPECT_TRUE(starts_with(log.of(0)[0], "auto-tuned: profile 6, ")) << log.of(0)[0];
  test::expect_valid_shares(pool.shares(), {{job.job_id, job}});
}

TEST(MinerFaultTest, NoExactProfileStopsOnlyThatWorker) {
  ASSERT_TRUE(tavo_cpu::configure(2, "wrong@1=plain,wrong@1=il"));
  RecordingPool pool;
  StatusLog log;
  const Job job = test::make_job(1, 1, 1, kShareTarget);
  Miner miner(&pool, {0, 1});
  miner.on_status = log.callback();
  miner.tune = quick_tune(0x3F);
  miner.start();
  miner.set_job(job);
  ASSERT_TRUE(wait_until([&] { return miner.workers[1]->failed.load(); }));
  ASSERT_TRUE(wait_until([&] { return shares_of_worker(pool, "00") >= 2 * 63; }));
  EXPECT_FALSE(miner.all_failed());
  EXPECT_TRUE(miner.any_mining());
  miner.stop();

  EXPECT_EQ(log.of(1),
            std::vector<std::string>{
                "stopped: no kernel profile passed the exactness check on this card"});
  EXPECT_FALSE(miner.workers[1]->mining.load());
  EXPECT_EQ(miner.workers[1]->hashes.load(), 0u);
  EXPECT_EQ(shares_of_worker(pool, "01"), 0u);
  ASSERT_EQ(log.of(0).size(), 1u);
  EXPECT_TRUE(starts_with(log.of(0)[0], "auto-tuned: "));
  test::expect_valid_shares(pool.shares(), {{job.job_id, job}});
}

TEST(MinerFaultTest, EveryWorkerFailedIsAllFailed) {
  ASSERT_TRUE(tavo_cpu::configure(2, "wrong=plain,wrong=il"));
  RecordingPool pool;
  Miner miner(&pool, {0, 1});
  miner.tune = quick_tune(0x3F);
  miner.start();
  EXPECT_FALSE(miner.all_failed());
  miner.set_job(test::make_job(1, 1, 1, kShareTarget));
  ASSERT_TRUE(wait_until([&] { return miner.all_failed(); }));
  EXPECT_FALSE(miner.any_mining());
  miner.stop();
}

// A device call that fails while mining: one "stopped: " line with the runtime's text for that
// worker, `mining` cleared and `failed` set; the other worker keeps mining.
class MiningFaultTest : public ::testing::TestWithParam<const char*> {};

TEST_P(MiningFaultTest, OneStoppedLineAndTheOtherWorkerGoesOn) {
  // Tuning one profile takes three launches (check, warm-up, one timed launch).
  ASSERT_TRUE(tavo_cpu::configure(2, GetParam()));
  RecordingPool pool;
  StatusLog log;
  Miner miner(&pool, {0, 1});
  miner.on_status = log.callback();
  miner.tune = quick_tune(1u << 0);
  miner.start();
  miner.set_job(test::make_job(1, 1, 1, kShareTarget));
  ASSERT_TRUE(wait_until([&] { return miner.workers[1]->failed.load(); }));
  const std::uint64_t h0 = miner.workers[0]->hashes.load();
  ASSERT_TRUE(wait_until([&] { return miner.workers[0]->hashes.load() > h0; }));
  EXPECT_FALSE(miner.all_failed());
  miner.stop();

  const std::vector<std::string> lines = log.of(1);
  ASSERT_EQ(lines.size(), 2u);
  EXPECT_TRUE(starts_with(lines[0], "auto-tuned: profile 1, ")) << lines[0];
  EXPECT_TRUE(starts_with(lines[1], "stopped: ")) << lines[1];
  EXPECT_GT(lines[1].size(), std::string("stopped: ").size());
  EXPECT_FALSE(miner.workers[1]->mining.load());
  EXPECT_GT(miner.workers[1]->hashes.load(), 0u);   // it did mine before the fault
  EXPECT_EQ(log.of(0).size(), 1u);
}

INSTANTIATE_TEST_SUITE_P(Faults, MiningFaultTest,
                         ::testing::Values("launch@1=12",   // launch refused after 9 batches
                                           "exec@1=12"),    // kernel fails, seen at collect
                         [](const auto& info) {
                           return std::string(info.param).substr(0, 4) == "laun" ? "Launch"
                                                                                 : "Execution";
                         });

// The check buffer's allocation fails: the device error stops the worker during the self-check.
TEST(MinerFaultTest, DeviceErrorDuringSelfCheck) {
  // Slot buffers take the first two device allocations; the check buffer is the third.
  ASSERT_TRUE(tavo_cpu::configure(1, "malloc@0=2"));
  RecordingPool pool;
  StatusLog log;
  Miner miner(&pool, {0});
  miner.on_status = log.callback();
  miner.tune = quick_tune(0x3F);
  miner.start();
  miner.set_job(test::make_job(1, 1, 1, kShareTarget));
  ASSERT_TRUE(wait_until([&] { return miner.all_failed(); }));
  miner.stop();
  ASSERT_EQ(log.of(0).size(), 1u);
  EXPECT_TRUE(starts_with(log.of(0)[0], "stopped: ")) << log.of(0)[0];
  EXPECT_NE(log.of(0)[0], std::string("stopped: ") + kNoExactProfile);
  EXPECT_FALSE(miner.workers[0]->mining.load());
}

}  // namespace
}  // namespace tavo
