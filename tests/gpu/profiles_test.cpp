#include "gpu/profiles.h"

#include <gtest/gtest.h>

#include <random>

#include "tests/gpu/backend_fixture.h"

namespace {

using tavo::granularity;
using tavo::nonce_map;

TEST(Profiles, GranularityIsValuesPerThreadTimesTheBlock) {
  const std::uint32_t expected[] = {1024, 2048, 4096, 8192, 16384, 32768};
  for (int p = 0; p < tavo::kProfileCount; ++p) EXPECT_EQ(granularity(p), expected[p]) << p;
  EXPECT_EQ(granularity(-1), 0u);
  EXPECT_EQ(granularity(6), 0u);
}

TEST(Profiles, NonceMapWorkedExamples) {
  struct Case {
    int profile;
    std::uint32_t k, nonce;
  } const cases[] = {
      {3, 1, 1},
      {3, 0x10000, 2},
      {4, 0xFFFF, 0x55555555},
      {5, 0xFFFF0000, 0xAAAAAAAA},
      {3, 0x12345678, 0x131C1F60},
      {2, 0x12345678, 0x12345678},
      {0, 0xFFFFFFFF, 0xFFFFFFFF},
  };
  for (const Case& c : cases) EXPECT_EQ(nonce_map(c.profile, c.k), c.nonce) << c.profile << " " << c.k;
}

TEST(Profiles, NonceMapSpreadsEveryBitOnce) {
  std::mt19937 rng(7);
  for (int i = 0; i < 10000; ++i) {
    const std::uint32_t k = static_cast<std::uint32_t>(rng());
    for (int p = 0; p < tavo::kProfileCount; ++p) {
      ASSERT_EQ(nonce_map(p, k), tavo::testing::reference_nonce(p, k)) << p << " " << k;
    }
  }
}

// The worker's largest batch (2^31 nonces, a multiple of every granularity) must launch as one
// one-dimensional grid on every supported architecture (at most 2^31 - 1 blocks).
TEST(Profiles, LargestBatchFitsOneGrid) {
  constexpr std::uint64_t kLargestBatch = std::uint64_t{1} << 31;
  for (int p = 0; p < tavo::kProfileCount; ++p) {
    EXPECT_EQ(kLargestBatch % granularity(p), 0u) << p;
    EXPECT_LE(kLargestBatch / granularity(p), 2147483647u) << p;
  }
}

}  // namespace
