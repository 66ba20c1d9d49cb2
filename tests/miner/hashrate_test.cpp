#include "miner/hashrate.h"

#include <gtest/gtest.h>

#include "miner/miner.h"

namespace tavo {
namespace {

TEST(HashrateHistoryTest, FewerThanTwoSnapshotsGiveZero) {
  HashrateHistory h;
  EXPECT_EQ(h.rate(0, 10), 0.0);
  EXPECT_EQ(h.rate_all(10), 0.0);
  h.push({1000, 2000});
  EXPECT_EQ(h.rate(0, 10), 0.0);
  EXPECT_EQ(h.rate(1, 900), 0.0);
  EXPECT_EQ(h.rate_all(60), 0.0);
}

TEST(HashrateHistoryTest, WindowsOverShortAndLongHistories) {
  HashrateHistory h;
  // Worker 0 speeds up over time so that every window gives a different answer.
  const std::uint64_t w0[] = {0, 100, 300, 600, 1000};
  const std::uint64_t w1[] = {50, 60, 70, 80, 90};
  for (int i = 0; i < 5; ++i) h.push({w0[i], w1[i]});

  // Five snapshots: a 10 s window covers what there is, (newest - oldest) / 4.
  EXPECT_DOUBLE_EQ(h.rate(0, 10), 1000.0 / 4);
  EXPECT_DOUBLE_EQ(h.rate(1, 10), 40.0 / 4);
  EXPECT_DOUBLE_EQ(h.rate_all(10), 1040.0 / 4);
  // A window shorter than the history takes the snapshot W places back.
  EXPECT_DOUBLE_EQ(h.rate(0, 2), (1000.0 - 300.0) / 2);
  EXPECT_DOUBLE_EQ(h.rate(0, 1), 400.0);
  EXPECT_DOUBLE_EQ(h.rate_all(2), (1000.0 - 300.0 + 90.0 - 70.0) / 2);
  // A worker outside the snapshots and an empty window have no rate.
  EXPECT_EQ(h.rate(2, 10), 0.0);
  EXPECT_EQ(h.rate(0, 0), 0.0);
}

TEST(HashrateHistoryTest, KeepsAtMost901Snapshots) {
  HashrateHistory h;
  for (std::uint64_t i = 0; i < 1000; ++i) h.push({i * i});
  EXPECT_EQ(h.size(), HashrateHistory::kMaxSnapshots);
  // The 900 s window spans exactly 900 intervals: from snapshot 99 to snapshot 999.
  EXPECT_DOUBLE_EQ(h.rate(0, 900), (999.0 * 999.0 - 99.0 * 99.0) / 900);
  // A longer window cannot reach further back than what is held.
  EXPECT_DOUBLE_EQ(h.rate(0, 5000), (999.0 * 999.0 - 99.0 * 99.0) / 900);
  EXPECT_DOUBLE_EQ(h.rate(0, 10), (999.0 * 999.0 - 989.0 * 989.0) / 10);
}

// Counters compare in unsigned 64-bit arithmetic, so a counter that wrapped still gives its step.
TEST(HashrateHistoryTest, UnsignedDifferenceAcrossWrap) {
  HashrateHistory h;
  h.push({~std::uint64_t{0} - 99});
  h.push({100});
  EXPECT_DOUBLE_EQ(h.rate(0, 10), 200.0);
}

TEST(HashrateHistoryTest, SampleReadsEveryWorkerInOrder) {
  Miner miner(nullptr, {0, 0, 0});   // never started: no thread, no device use
  HashrateHistory h;
  h.sample(miner);
  miner.workers[0]->hashes.store(10);
  miner.workers[2]->hashes.store(300);
  h.sample(miner);
  EXPECT_DOUBLE_EQ(h.rate(0, 10), 10.0);
  EXPECT_DOUBLE_EQ(h.rate(1, 10), 0.0);
  EXPECT_DOUBLE_EQ(h.rate(2, 10), 300.0);
  EXPECT_DOUBLE_EQ(h.rate_all(10), 310.0);
}

}  // namespace
}  // namespace tavo
