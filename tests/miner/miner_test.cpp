// The miner with real devices of the build's back end (the CPU stand-in here) and a recording
// double of the pool client's submit.
#include "miner/miner.h"

#include <gtest/gtest.h>

#include <map>
#include <set>
#include <string>
#include <utility>

#include "miner_fixture.h"

namespace tavo {
namespace {

using test::RecordingPool;
using test::Share;
using test::StatusLog;
using test::wait_until;

// Share target: about 1 digest in 256, so every batch of 262,144 nonces or more reports far more
// than 63 candidates and each completed batch yields exactly 63 shares.
const Target kShareTarget = test::target_with_top_byte(0x00);

TuneSettings quick_tune(std::uint32_t profile_mask) {
  TuneSettings s;
  s.bench_blocks = 8;
  s.bench_seconds = 0.03;
  s.profile_mask = profile_mask;
  return s;
}

std::map<std::string, std::size_t> count_by_job(const std::vector<Share>& shares) {
  std::map<std::string, std::size_t> n;
  for (const Share& s : shares) ++n[s.job_id];
  return n;
}

TEST(MinerTest, EmptyDeviceList) {
  RecordingPool pool;
  Miner miner(&pool, {});
  EXPECT_TRUE(miner.all_failed());
  EXPECT_FALSE(miner.any_mining());
  miner.start();
  miner.set_job(test::make_job(1, 1, 1, kShareTarget));
  miner.stop();
  EXPECT_TRUE(miner.all_failed());
  EXPECT_EQ(pool.count(), 0u);
}

TEST(MinerTest, StartAndStopAreIdempotent) {
  RecordingPool pool;
  StatusLog log;
  Miner miner(&pool, {0, 0});
  miner.on_status = log.callback();
  miner.tune = quick_tune(1u << 0);
  miner.stop();   // before start: nothing
  EXPECT_FALSE(miner.all_failed());
  EXPECT_FALSE(miner.any_mining());

  miner.start();
  miner.start();
  miner.set_job(test::make_job(1, 1, 1, kShareTarget));
  ASSERT_TRUE(wait_until([&] { return pool.count() >= 4 * 63; }));
  EXPECT_TRUE(miner.any_mining());
  miner.stop();
  miner.stop();
  // A second set of threads would have tuned each device a second time.
  EXPECT_EQ(log.of(0).size(), 1u);
  EXPECT_EQ(log.of(1).size(), 1u);
  EXPECT_EQ(log.of(0).at(0).rfind("auto-tuned: profile 1, ", 0), 0u) << log.of(0).at(0);
  EXPECT_FALSE(miner.all_failed());
  EXPECT_TRUE(miner.any_mining());   // mining stays set after a stop; only a failure clears it
}

// Each profile family once: the plain family submits header nonces as searched, the interleaved
// one counter values translated by the device context.
class MinerSharesTest : public ::testing::TestWithParam<int> {};

TEST_P(MinerSharesTest, EverySubmittedShareVerifiesIndependently) {
  RecordingPool pool;
  StatusLog log;
  const Job job = test::make_job(7, 3, 1, kShareTarget);
  {
    Miner miner(&pool, {0, 0});
    miner.on_status = log.callback();
    miner.tune = quick_tune(1u << GetParam());
    miner.start();
    miner.set_job(job);
    ASSERT_TRUE(wait_until([&] {
      std::set<std::string> workers;
      for (const Share& s : pool.shares()) workers.insert(s.extranonce2.substr(0, 2));
      return pool.count() >= 6 * 63 && workers.size() == 2;
    }));
    miner.stop();
    EXPECT_GT(miner.workers[0]->hashes.load(), 0u);
    EXPECT_GT(miner.workers[1]->hashes.load(), 0u);
  }
  const std::vector<Share> shares = pool.shares();
  test::expect_valid_shares(shares, {{job.job_id, job}});

  std::map<std::string, std::size_t> per_worker;
  std::set<std::pair<std::string, std::uint32_t>> seen;
  for (const Share& s : shares) {
    EXPECT_TRUE(seen.insert({s.extranonce2, s.nonce}).second) << "duplicate " << s.extranonce2;
    ++per_worker[s.extranonce2.substr(0, 2)];
  }
  ASSERT_EQ(per_worker.size(), 2u);
  for (const auto& [worker, n] : per_worker) {
    EXPECT_TRUE(worker == "00" || worker == "01") << worker;
    // Verification is never cut short, so every completed batch gave its full 63.
    EXPECT_EQ(n % 63, 0u) << worker << " " << n;
  }
  const std::string shown = "auto-tuned: profile " + std::to_string(GetParam() + 1) + ", ";
  EXPECT_EQ(log.of(0).at(0).rfind(shown, 0), 0u) << log.of(0).at(0);
}

INSTANTIATE_TEST_SUITE_P(Families, MinerSharesTest, ::testing::Values(0, 3),
                         [](const auto& info) { return "profile" + std::to_string(info.param); });

// The worker is held inside the first submit of its first batch, with the second batch in
// flight behind it, while the pool's job changes. The held batch was compared before the change;
// the in-flight one is compared after it.
class JobChangeTest : public ::testing::TestWithParam<bool> {};

TEST_P(JobChangeTest, OldBatchesFollowThePrevHashRule) {
  const bool same_block = GetParam();
  RecordingPool pool;
  const Job a = test::make_job(1, 1, 1, kShareTarget);
  const Job b = test::make_job(2, 2, same_block ? 1 : 2, kShareTarget);
  {
    Miner miner(&pool, {0});
    miner.tune = quick_tune(1u << 0);
    pool.hold_from(1);
    miner.start();
    miner.set_job(a);
    const bool held = wait_until([&] { return pool.count() == 1; });
    miner.set_job(b);
    pool.release();
    ASSERT_TRUE(held);
    ASSERT_TRUE(wait_until([&] { return count_by_job(pool.shares())[b.job_id] >= 2 * 63; }));
    miner.stop();
  }
  const std::vector<Share> shares = pool.shares();
  test::expect_valid_shares(shares, {{a.job_id, a}, {b.job_id, b}});
  const std::size_t old_shares = count_by_job(shares)[a.job_id];
  EXPECT_EQ(old_shares, same_block ? 2u * 63 : 63u);
  // Old shares come first and all from the first coinbase; the new job has a coinbase of its own.
  for (std::size_t i = 0; i < shares.size(); ++i) {
    EXPECT_EQ(shares[i].job_id, i < old_shares ? a.job_id : b.job_id) << i;
    if (i < old_shares) {
      EXPECT_EQ(shares[i].extranonce2, shares[0].extranonce2);
    } else {
      EXPECT_NE(shares[i].extranonce2, shares[0].extranonce2);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(PrevHash, JobChangeTest, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "SameBlock" : "NewBlock"; });

TEST(MinerTest, BlankJobCreditsInFlightBatchesAndSubmitsNothing) {
  RecordingPool pool;
  StatusLog log;
  const Job a = test::make_job(1, 1, 1, kShareTarget);
  const Job c = test::make_job(2, 3, 1, kShareTarget);
  Miner miner(&pool, {0});
  miner.on_status = log.callback();
  miner.tune = quick_tune(1u << 0);
  WorkerState& state = *miner.workers[0];

  pool.hold_from(1);
  miner.start();
  miner.set_job(a);
  const bool held = wait_until([&] { return pool.count() == 1; });
  // Held in the first batch's verification: that batch is credited, the second is in flight.
  const std::uint64_t batch = state.hashes.load();
  miner.set_job(Job{});
  pool.release();
  ASSERT_TRUE(held);
  ASSERT_GT(batch, 0u);

  ASSERT_TRUE(wait_until([&] { return state.hashes.load() == 2 * batch; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(300));   // an idle worker stays idle
  EXPECT_EQ(state.hashes.load(), 2 * batch);
  EXPECT_EQ(pool.count(), 63u);
  EXPECT_TRUE(miner.any_mining());
  EXPECT_FALSE(miner.all_failed());

  // Resuming builds a new coinbase for the new job without tuning again.
  miner.set_job(c);
  ASSERT_TRUE(wait_until([&] { return count_by_job(pool.shares())[c.job_id] >= 63; }));
  miner.stop();
  EXPECT_EQ(log.of(0).size(), 1u);
  test::expect_valid_shares(pool.shares(), {{a.job_id, a}, {c.job_id, c}});
}

TEST(MinerTest, StopDuringTuningEndsQuietly) {
  RecordingPool pool;
  StatusLog log;
  Miner miner(&pool, {0});
  miner.on_status = log.callback();   // the program's own settings: tuning takes many seconds
  miner.start();
  miner.set_job(test::make_job(1, 1, 1, kShareTarget));
  std::this_thread::sleep_for(std::chrono::milliseconds(400));
  miner.stop();
  EXPECT_EQ(log.size(), 0u);
  EXPECT_FALSE(miner.workers[0]->failed.load());
  EXPECT_FALSE(miner.workers[0]->mining.load());
  EXPECT_EQ(miner.workers[0]->hashes.load(), 0u);   // tuning runs are not counted
  EXPECT_EQ(pool.count(), 0u);
}

}  // namespace
}  // namespace tavo
