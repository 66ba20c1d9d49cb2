// The device context's bookkeeping: request rules, slots and their order, lazy creation, the
// check buffer's growth, and releasing exactly what was created. The cpu flavour counts the CPU
// stand-in's runtime calls and live objects; on the cuda flavour those cases are left out and the
// rest needs a GPU.
#include "gpu/device_context.h"

#include <gtest/gtest.h>

#include <set>
#include <vector>

#include "gpu/profiles.h"
#include "tests/gpu/backend_fixture.h"

#if defined(TAVO_CUDA_CPU)
#include "platform/cuda_stub_debug.h"
#endif

namespace {

using tavo::DeviceContext;
using tavo::granularity;
using tavo::testing::random_header;
using tavo::testing::reference_nonce;

constexpr std::uint64_t kEverything = ~std::uint64_t{0};

class DeviceContextTest : public ::testing::Test {
 protected:
  void SetUp() override {
#if defined(TAVO_CUDA_CPU)
    ASSERT_TRUE(tavo_cpu::configure(1, ""));
#endif
    if (tavo::device_count() == 0) GTEST_SKIP() << "no device";
  }

  DJob job(std::uint64_t target64, std::uint32_t base) const {
    return make_djob(random_header(21), target64, base);
  }
};

// Nothing a refused request asks for may happen: no batch in flight afterwards, no counter moved.
TEST_F(DeviceContextTest, BadRequestsChangeNothing) {
  DeviceContext context(0);
  struct Case {
    int profile;
    std::uint32_t count;
  } const refused[] = {{0, 0}, {0, 1000}, {3, 4096}, {5, 32768 + 1024}, {-1, 1024}, {6, 1024}};
  std::vector<std::uint64_t> lanes(40000);
  for (const Case& c : refused) {
    EXPECT_FALSE(context.launch(c.profile, job(0, 0), c.count)) << c.profile << " " << c.count;
    EXPECT_EQ(context.last_error(), "bad request");
    EXPECT_FALSE(context.check(c.profile, job(0, 0), c.count, lanes.data()));
    EXPECT_EQ(context.last_error(), "bad request");
  }
  DRes res;
  EXPECT_FALSE(context.collect(res));
  EXPECT_EQ(context.last_error(), "nothing in flight");

  // Two in flight: a third launch and any check are refused; one collect makes room again.
  ASSERT_TRUE(context.launch(0, job(kEverything, 0), 1024)) << context.last_error();
  ASSERT_TRUE(context.launch(0, job(kEverything, 1024), 1024)) << context.last_error();
  EXPECT_FALSE(context.launch(0, job(kEverything, 2048), 1024));
  EXPECT_EQ(context.last_error(), "bad request");
  EXPECT_FALSE(context.check(0, job(0, 0), 1024, lanes.data()));
  EXPECT_EQ(context.last_error(), "bad request");
  ASSERT_TRUE(context.collect(res)) << context.last_error();
  EXPECT_LT(res.nonce[0], 1024u);
  ASSERT_TRUE(context.launch(0, job(kEverything, 4096), 1024)) << context.last_error();
  ASSERT_TRUE(context.collect(res));
  EXPECT_GE(res.nonce[0], 1024u);
  EXPECT_LT(res.nonce[0], 2048u);
  ASSERT_TRUE(context.collect(res));
  EXPECT_GE(res.nonce[0], 4096u);
  EXPECT_FALSE(context.collect(res));
  EXPECT_EQ(context.last_error(), "nothing in flight");
  // A success leaves the last error text as it was.
  ASSERT_TRUE(context.launch_and_collect(0, job(kEverything, 0), 1024, res));
  EXPECT_EQ(context.last_error(), "nothing in flight");
}

// Two batches of different families in flight: each comes back from its own slot, in launch
// order, with the interleaved one's counter values turned into header nonces.
TEST_F(DeviceContextTest, BatchesComeBackInLaunchOrder) {
  DeviceContext context(0);
  const std::uint32_t il_count = granularity(3);
  const std::uint32_t il_base = 0x00010000u;
  ASSERT_TRUE(context.launch(3, job(kEverything, il_base), il_count)) << context.last_error();
  ASSERT_TRUE(context.launch(1, job(kEverything, 0x80000000u), 2048)) << context.last_error();
  std::set<std::uint32_t> il_nonces;
  for (std::uint32_t j = 0; j < il_count; ++j) il_nonces.insert(reference_nonce(3, il_base + j));

  DRes first;
  DRes second;
  ASSERT_TRUE(context.collect(first)) << context.last_error();
  ASSERT_TRUE(context.collect(second)) << context.last_error();
  EXPECT_EQ(first.count, il_count);
  EXPECT_EQ(second.count, 2048u);
  for (std::uint32_t i = 0; i < kResultSlots; ++i) {
    EXPECT_EQ(il_nonces.count(first.nonce[i]), 1u) << first.nonce[i];
    EXPECT_GE(second.nonce[i], 0x80000000u);
    EXPECT_LT(second.nonce[i], 0x80000000u + 2048);
  }
}

TEST_F(DeviceContextTest, DeviceQueriesNeverFail) {
  EXPECT_GE(tavo::device_count(), 1);
  EXPECT_NE(tavo::device_name(0), "?");
  EXPECT_GT(tavo::device_memory(0), 0u);
  for (int device : {-1, 64, 1000}) {
    EXPECT_EQ(tavo::device_name(device), "?");
    EXPECT_EQ(tavo::device_memory(device), 0u);
  }
}

TEST_F(DeviceContextTest, AContextOnAMissingDeviceFailsWithTheRuntimeText) {
  DeviceContext context(tavo::device_count());
  DRes res;
  EXPECT_FALSE(context.launch(0, job(0, 0), 1024));
  EXPECT_FALSE(context.last_error().empty());
  EXPECT_NE(context.last_error(), "bad request");
  EXPECT_FALSE(context.collect(res));
  EXPECT_NE(context.last_error(), "nothing in flight");
}

#if defined(TAVO_CUDA_CPU)

TEST_F(DeviceContextTest, CollectOnAFreshContextOnlySelectsTheDevice) {
  DeviceContext context(0);
  const std::uint64_t calls = tavo_cpu::runtime_calls();
  const std::uint64_t selects = tavo_cpu::runtime_calls("cudaSetDevice");
  DRes res;
  res.count = 12345;
  EXPECT_FALSE(context.collect(res));
  EXPECT_EQ(context.last_error(), "nothing in flight");
  EXPECT_EQ(res.count, 12345u);
  EXPECT_EQ(tavo_cpu::runtime_calls("cudaSetDevice"), selects + 1);
  EXPECT_EQ(tavo_cpu::runtime_calls(), calls + 1);
}

TEST_F(DeviceContextTest, AContextNeverUsedCreatesAndReleasesNothing) {
  const tavo_cpu::LiveObjects before = tavo_cpu::live_objects();
  const std::uint64_t creating = tavo_cpu::runtime_calls("cudaMalloc") +
                                 tavo_cpu::runtime_calls("cudaStreamCreateWithFlags");
  const std::uint64_t releasing = tavo_cpu::runtime_calls("cudaFree") +
                                  tavo_cpu::runtime_calls("cudaStreamDestroy");
  { DeviceContext context(0); }
  EXPECT_EQ(tavo_cpu::live_objects().total(), before.total());
  EXPECT_EQ(tavo_cpu::runtime_calls("cudaMalloc") +
                tavo_cpu::runtime_calls("cudaStreamCreateWithFlags"),
            creating);
  EXPECT_EQ(tavo_cpu::runtime_calls("cudaFree") + tavo_cpu::runtime_calls("cudaStreamDestroy"),
            releasing);
}

// Destroyed with a batch still in flight and a check buffer held: everything created goes.
TEST_F(DeviceContextTest, DestructionReleasesEverythingItCreated) {
  const tavo_cpu::LiveObjects before = tavo_cpu::live_objects();
  {
    DeviceContext context(0);
    std::vector<std::uint64_t> lanes(1024);
    ASSERT_TRUE(context.check(0, job(0, 0), 1024, lanes.data())) << context.last_error();
    ASSERT_TRUE(context.launch(2, job(kEverything, 0), 4096 * 4)) << context.last_error();
    const tavo_cpu::LiveObjects during = tavo_cpu::live_objects();
    EXPECT_EQ(during.device_buffers, before.device_buffers + 3);   // two slots, the check buffer
    EXPECT_EQ(during.host_buffers, before.host_buffers + 2);
    EXPECT_EQ(during.events, before.events + 2);
    EXPECT_EQ(during.streams, before.streams + 1);
  }
  const tavo_cpu::LiveObjects after = tavo_cpu::live_objects();
  EXPECT_EQ(after.device_buffers, before.device_buffers);
  EXPECT_EQ(after.host_buffers, before.host_buffers);
  EXPECT_EQ(after.events, before.events);
  EXPECT_EQ(after.streams, before.streams);
}

// The check buffer is allocated on the first check, reused for smaller ones, and replaced only
// when a larger check comes.
TEST_F(DeviceContextTest, CheckBufferGrowsOnlyWhenNeeded) {
  DeviceContext context(0);
  std::vector<std::uint64_t> lanes(8192);
  DRes res;
  ASSERT_TRUE(context.launch_and_collect(0, job(0, 0), 1024, res)) << context.last_error();
  const auto allocations = [] { return tavo_cpu::runtime_calls("cudaMalloc"); };
  const auto frees = [] { return tavo_cpu::runtime_calls("cudaFree"); };
  struct Step {
    std::uint32_t count;
    std::uint64_t new_allocations, new_frees;
  } const steps[] = {{2048, 1, 0}, {1024, 0, 0}, {2048, 0, 0}, {8192, 1, 1}, {4096, 0, 0}};
  for (const Step& step : steps) {
    const std::uint64_t a = allocations();
    const std::uint64_t f = frees();
    ASSERT_TRUE(context.check(0, job(0, 0), step.count, lanes.data())) << context.last_error();
    EXPECT_EQ(allocations() - a, step.new_allocations) << step.count;
    EXPECT_EQ(frees() - f, step.new_frees) << step.count;
  }
}

#endif  // TAVO_CUDA_CPU

}  // namespace
