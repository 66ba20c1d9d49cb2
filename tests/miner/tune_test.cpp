#include "miner/tune.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <limits>
#include <thread>

#include "gpu/device_context.h"
#include "gpu/profiles.h"

#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
#define TAVO_SANITIZED_BUILD 1
#elif defined(__has_feature)
#if __has_feature(thread_sanitizer) || __has_feature(address_sanitizer)
#define TAVO_SANITIZED_BUILD 1
#endif
#endif

namespace tavo {
namespace {

TEST(TuneTest, TestHeaderBytes) {
  const Header h = tune_test_header();
  const std::uint8_t head[] = {0x0B, 0x30, 0x55, 0x7A, 0x9F, 0xC4, 0xE9, 0x0E};
  const std::uint8_t tail[] = {0x73, 0x98, 0xBD, 0xE2, 0x07, 0x2C, 0x51, 0x76};
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(h[static_cast<std::size_t>(i)], head[i]) << i;
    EXPECT_EQ(h[static_cast<std::size_t>(72 + i)], tail[i]) << 72 + i;
  }
}

TEST(TuneTest, BatchSizeFromRate) {
  struct Case {
    double rate;
    std::uint32_t granularity;
    std::uint32_t batch;
  };
  const Case cases[] = {
      {1e6, 1024, 262144},               // slow card: 0.1 s is below 256 granules
      {0.0, 32768, 8388608},             // the floor of profile 6
      {1e9, 1024, 99999744},             // 10^8 nonces rounded down to a multiple of 1024
      {1e8, 32768, 9994240},             // 305 granules of 32768
      {2.1e10, 8192, 2099994624},        // just below the cap: 256347 granules
      {1e12, 1024, 2147483648u},         // a very fast card is capped at 2^31
      {1e12, 32768, 2147483648u},
      {std::numeric_limits<double>::infinity(), 2048, 2147483648u},
      {std::nan(""), 4096, 1048576},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(batch_size_for(c.rate, c.granularity), c.batch) << c.rate << " " << c.granularity;
  }
}

TEST(TuneTest, StatusLineShowsProfileFromOneAndMegahashes) {
  EXPECT_EQ(tuned_status(2, 1.5e9), "auto-tuned: profile 3, 1500.00 MH/s");
  EXPECT_EQ(tuned_status(5, 12345678.9), "auto-tuned: profile 6, 12.35 MH/s");
  EXPECT_EQ(tuned_status(0, 0.0), "auto-tuned: profile 1, 0.00 MH/s");
}

TEST(TuneTest, RankingKeepsLowerProfileOnTies) {
  ProfileRanking r;
  EXPECT_EQ(r.best_profile(), -1);
  r.consider(1, 5e7);
  r.consider(2, 5e7);       // equal: the lower-numbered one stays
  EXPECT_EQ(r.best_profile(), 1);
  r.consider(3, 4e7);
  EXPECT_EQ(r.best_profile(), 1);
  r.consider(4, 5.0000001e7);
  EXPECT_EQ(r.best_profile(), 4);
  EXPECT_DOUBLE_EQ(r.best_rate(), 5.0000001e7);
}

// The checks below run on device 0 of the build's back end (the CPU stand-in here).
TEST(TuneDeviceTest, EveryProfileIsExactOnAHealthyDevice) {
  DeviceContext ctx(0);
  std::vector<std::uint64_t> lanes;
  for (int p = 0; p < 6; ++p) {
    EXPECT_EQ(self_check(ctx, p, lanes), CheckEnd::Exact) << "profile " << p << ": "
                                                          << ctx.last_error();
    EXPECT_EQ(lanes.size(), 4u * granularity(p));
  }
}

TEST(TuneDeviceTest, QuickTuneLeavesNothingInFlight) {
  DeviceContext ctx(0);
  std::atomic<bool> running{true};
  TuneSettings quick;
  quick.bench_blocks = 16;
  quick.bench_seconds = 0.05;
  const TuneResult r = auto_tune(ctx, running, quick);
  ASSERT_EQ(r.end, TuneEnd::Tuned) << ctx.last_error();
  ASSERT_GE(r.profile, 0);
  ASSERT_LE(r.profile, 5);
  EXPECT_GT(r.rate, 0.0);
  EXPECT_EQ(r.batch_size, batch_size_for(r.rate, granularity(r.profile)));
  DRes res;
  EXPECT_FALSE(ctx.collect(res));
  EXPECT_EQ(ctx.last_error(), "nothing in flight");
}

TEST(TuneDeviceTest, MaskLimitsTheProfilesTried) {
  DeviceContext ctx(0);
  std::atomic<bool> running{true};
  TuneSettings only_five;
  only_five.bench_blocks = 2;
  only_five.bench_seconds = 0.02;
  only_five.profile_mask = 1u << 5;
  const TuneResult r = auto_tune(ctx, running, only_five);
  ASSERT_EQ(r.end, TuneEnd::Tuned) << ctx.last_error();
  EXPECT_EQ(r.profile, 5);
  EXPECT_GE(r.batch_size, 256u * 32768u);

  only_five.profile_mask = 0;
  EXPECT_EQ(auto_tune(ctx, running, only_five).end, TuneEnd::NoExactProfile);
}

TEST(TuneDeviceTest, StopIsNoticedBeforeAndInsideTheBenchmark) {
  DeviceContext ctx(0);
  std::atomic<bool> running{false};
  EXPECT_EQ(auto_tune(ctx, running, TuneSettings{}).end, TuneEnd::Stopped);

  // With the real window, only a stop noticed inside the loop can end the benchmark early.
  running = true;
  std::thread stopper([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    running = false;
  });
  double rate = -1.0;
  const BenchEnd end = benchmark(ctx, 0, running, TuneSettings{}, rate);
  stopper.join();
  EXPECT_EQ(end, BenchEnd::Stopped);
  EXPECT_EQ(rate, -1.0);
}

// The program's own settings: six checks and six benchmarks of at least 0.6 s each.
TEST(TuneDeviceTest, FullTuneWithDefaults) {
#if defined(TAVO_SANITIZED_BUILD)
  GTEST_SKIP() << "instrumented kernels need many minutes for the full-size benchmark launches; "
                  "the optimised build runs this test";
#endif
  DeviceContext ctx(0);
  std::atomic<bool> running{true};
  const auto t0 = std::chrono::steady_clock::now();
  const TuneResult r = auto_tune(ctx, running, TuneSettings{});
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  ASSERT_EQ(r.end, TuneEnd::Tuned) << ctx.last_error();
  EXPECT_GE(seconds, 6 * 0.6);
  EXPECT_EQ(r.batch_size, batch_size_for(r.rate, granularity(r.profile)));
  std::printf("full tune: %.1f s, %s, batch %u\n", seconds, tuned_status(r.profile, r.rate).c_str(),
              r.batch_size);
}

}  // namespace
}  // namespace tavo
