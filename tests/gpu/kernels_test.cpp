// The device code against the CPU reference, through the device context: every profile's lanes
// for every index of runs that wrap through 2^32, and every profile's candidate reports at the
// edges of the candidate test. On the cpu flavour this runs the kernels on the CPU stand-in; on
// the cuda flavour it needs a GPU and skips without one.
#include <gtest/gtest.h>

#include <algorithm>
#include <bit>
#include <cstdint>
#include <set>
#include <vector>

#include "gpu/device_context.h"
#include "gpu/djob.h"
#include "gpu/kernels/launch.h"
#include "gpu/profiles.h"
#include "tests/gpu/backend_fixture.h"

namespace {

using tavo::DeviceContext;
using tavo::granularity;
using tavo::testing::random_header;
using tavo::testing::reference_lane3;
using tavo::testing::reference_nonce;

class ProfileTest : public ::testing::TestWithParam<int> {
 protected:
  void SetUp() override {
    if (tavo::device_count() == 0) GTEST_SKIP() << "no device";
  }
};

std::string profile_name(const ::testing::TestParamInfo<int>& info) {
  return "profile" + std::to_string(info.param);
}

// Lane 3 for every index of a run that wraps through 0, over several headers; the job's own nonce
// bytes are garbage in one of them and must not matter.
TEST_P(ProfileTest, CheckLanesMatchTheProofOfWorkHash) {
  const int profile = GetParam();
  const std::uint32_t count = 2 * granularity(profile);
  const std::uint32_t base = 0u - granularity(profile);
  DeviceContext context(0);
  std::vector<std::uint64_t> lanes(count);
  for (std::uint64_t seed : {1u, 2u, 3u}) {
    const tavo::Header header = random_header(seed * 1000 + profile);
    DJob job = make_djob(header, 0, base);
    if (seed == 3) {
      for (int i = 84; i < 88; ++i) job.msg[i] = static_cast<std::uint8_t>(0xA5 + i);
    }
    ASSERT_TRUE(context.check(profile, job, count, lanes.data())) << context.last_error();
    for (std::uint32_t j = 0; j < count; ++j) {
      const std::uint32_t nonce = reference_nonce(profile, base + j);
      ASSERT_EQ(lanes[j], reference_lane3(header, nonce))
          << "seed " << seed << " index " << j << " nonce " << nonce;
    }
  }
}

// What the candidate test must pass for `lane3`: plain profiles lane 3 <= target64; interleaved
// ones at least as many leading zero bits as target64.
bool passes(int profile, std::uint64_t lane3, std::uint64_t target64) {
  if (profile < 3) return lane3 <= target64;
  const int z = std::countl_zero(target64);
  return z == 0 || (z < 64 ? (lane3 >> (64 - z)) == 0 : lane3 == 0);
}

struct Batch {
  tavo::Header header;
  std::uint32_t base;
  std::vector<std::uint32_t> nonces;   // header nonce of each index
  std::vector<std::uint64_t> lanes;    // reference lane 3 of each index
};

Batch reference_batch(int profile, std::uint64_t seed, std::uint32_t base, std::uint32_t count) {
  Batch batch{random_header(seed), base, {}, {}};
  for (std::uint32_t j = 0; j < count; ++j) {
    batch.nonces.push_back(reference_nonce(profile, base + j));
    batch.lanes.push_back(reference_lane3(batch.header, batch.nonces.back()));
  }
  return batch;
}

// A batch whose candidates fit the 63 slots must report exactly the nonces that pass, once each:
// at target64 = the 20th smallest lane of the batch (equality passes) and at target64 = 0.
TEST_P(ProfileTest, SearchReportsExactlyThePassingNonces) {
  const int profile = GetParam();
  const std::uint32_t count = granularity(profile);
  const Batch batch = reference_batch(profile, 77 + profile, 0u - count / 2, count);
  std::vector<std::uint64_t> sorted = batch.lanes;
  std::sort(sorted.begin(), sorted.end());
  DeviceContext context(0);
  for (std::uint64_t target64 : {sorted[19], std::uint64_t{0}}) {
    std::multiset<std::uint32_t> expected;
    for (std::uint32_t j = 0; j < count; ++j) {
      if (passes(profile, batch.lanes[j], target64)) expected.insert(batch.nonces[j]);
    }
    ASSERT_LE(expected.size(), 63u) << "choose another seed: too many candidates to compare";
    if (profile < 3 && target64 != 0) {
      ASSERT_EQ(expected.size(), 20u);
    }

    DRes res;
    ASSERT_TRUE(context.launch_and_collect(profile, make_djob(batch.header, target64, batch.base),
                                           count, res))
        << context.last_error();
    ASSERT_EQ(res.count, expected.size()) << "target64 " << target64;
    const std::multiset<std::uint32_t> reported(res.nonce, res.nonce + res.count);
    EXPECT_EQ(reported, expected);
    for (std::uint32_t i = res.count; i < kResultSlots; ++i) EXPECT_EQ(res.nonce[i], 0u);
  }
}

// With target64 = 2^64 - 1 every value is a candidate: count is the batch size, the 63 slots hold
// distinct header nonces of the batch.
TEST_P(ProfileTest, SearchAtTheWidestTargetFillsEverySlot) {
  const int profile = GetParam();
  const std::uint32_t count = 2 * granularity(profile);
  const std::uint32_t base = 0u - granularity(profile) / 2;
  std::set<std::uint32_t> batch_nonces;
  for (std::uint32_t j = 0; j < count; ++j) batch_nonces.insert(reference_nonce(profile, base + j));
  DeviceContext context(0);
  DRes res;
  ASSERT_TRUE(context.launch_and_collect(profile, make_djob(random_header(5), ~0ull, base), count,
                                         res))
      << context.last_error();
  EXPECT_EQ(res.count, count);
  const std::set<std::uint32_t> slots(res.nonce, res.nonce + kResultSlots);
  EXPECT_EQ(slots.size(), kResultSlots);
  for (std::uint32_t nonce : slots) EXPECT_EQ(batch_nonces.count(nonce), 1u) << nonce;
}

INSTANTIATE_TEST_SUITE_P(AllProfiles, ProfileTest, ::testing::Range(0, tavo::kProfileCount),
                         profile_name);

#if defined(TAVO_CUDA_CPU)
// il::lanes3 on a grid of 2 blocks with count 300: out[0..299] filled, nothing beyond touched.
TEST(InterleavedLanes3, WritesOnlyTheIndicesBelowCount) {
  const tavo::Header header = random_header(11);
  const il::DJobIL job = make_djob_il(make_djob(header, 0, 0xFFFFFF00u));
  constexpr std::uint32_t kCount = 300;
  constexpr std::uint64_t kCanary = 0x5A5A5A5A5A5A5A5Aull;
  std::vector<std::uint64_t> host(512, kCanary);
  void* device = nullptr;
  ASSERT_EQ(cudaMalloc(&device, host.size() * 8), cudaSuccess);
  ASSERT_EQ(cudaMemcpy(device, host.data(), host.size() * 8, cudaMemcpyHostToDevice), cudaSuccess);
  cudaStream_t stream = nullptr;
  ASSERT_EQ(cudaStreamCreateWithFlags(&stream, cudaStreamNonBlocking), cudaSuccess);
  tavo::kernels::launch_il_lanes3(job, static_cast<std::uint64_t*>(device), kCount, 2, stream);
  ASSERT_EQ(cudaGetLastError(), cudaSuccess);
  ASSERT_EQ(cudaStreamSynchronize(stream), cudaSuccess);
  ASSERT_EQ(cudaMemcpy(host.data(), device, host.size() * 8, cudaMemcpyDeviceToHost), cudaSuccess);
  for (std::uint32_t j = 0; j < kCount; ++j) {
    ASSERT_EQ(deinterleave(host[j]),
              reference_lane3(header, reference_nonce(5, job.nonce_base + j)))
        << j;
  }
  for (std::size_t j = kCount; j < host.size(); ++j) ASSERT_EQ(host[j], kCanary) << j;
  EXPECT_EQ(cudaStreamDestroy(stream), cudaSuccess);
  EXPECT_EQ(cudaFree(device), cudaSuccess);
}
#endif

}  // namespace
