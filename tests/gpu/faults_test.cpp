// Faults injected through the CPU stand-in's fault plan reach the device context as false plus
// the runtime's text, and leave the context consistent: what was in flight can still be collected
// or is still owed, and destruction still releases exactly what was created.
#include <gtest/gtest.h>

#include <thread>
#include <vector>

#include "gpu/device_context.h"
#include "gpu/profiles.h"
#include "platform/cuda_stub_debug.h"
#include "tests/gpu/backend_fixture.h"

namespace {

using tavo::DeviceContext;
using tavo::granularity;
using tavo::testing::random_header;
using tavo::testing::reference_lane3;
using tavo::testing::reference_nonce;

constexpr std::uint64_t kEverything = ~std::uint64_t{0};

class FaultTest : public ::testing::Test {
 protected:
  void TearDown() override { EXPECT_TRUE(tavo_cpu::configure(1, "")); }

  static DJob job(std::uint64_t target64, std::uint32_t base) {
    return make_djob(random_header(31), target64, base);
  }
};

TEST_F(FaultTest, RefusedLaunchReportsTheRuntimeTextAndKeepsEarlierBatches) {
  ASSERT_TRUE(tavo_cpu::configure(1, "launch@0=1"));
  DeviceContext context(0);
  DRes res;
  ASSERT_TRUE(context.launch(0, job(kEverything, 0), 1024)) << context.last_error();
  EXPECT_FALSE(context.launch(0, job(kEverything, 1024), 1024));
  EXPECT_EQ(context.last_error(), "unspecified launch failure");
  ASSERT_TRUE(context.collect(res)) << context.last_error();
  EXPECT_EQ(res.count, 1024u);
  EXPECT_LT(res.nonce[0], 1024u);
  EXPECT_FALSE(context.collect(res));
  EXPECT_EQ(context.last_error(), "nothing in flight");
  std::vector<std::uint64_t> lanes(1024);
  EXPECT_FALSE(context.check(0, job(0, 0), 1024, lanes.data()));
  EXPECT_EQ(context.last_error(), "unspecified launch failure");
}

TEST_F(FaultTest, KernelFailingWhileRunningSurfacesAtCollect) {
  const tavo_cpu::LiveObjects before = tavo_cpu::live_objects();
  ASSERT_TRUE(tavo_cpu::configure(1, "exec@0=0"));
  {
    DeviceContext context(0);
    DRes res;
    ASSERT_TRUE(context.launch(0, job(kEverything, 0), 1024)) << context.last_error();
    EXPECT_FALSE(context.collect(res));
    EXPECT_EQ(context.last_error(), "unspecified launch failure");
    // The batch is still owed: the same failure again, never "nothing in flight".
    EXPECT_FALSE(context.collect(res));
    EXPECT_EQ(context.last_error(), "unspecified launch failure");
  }
  EXPECT_EQ(tavo_cpu::live_objects().total(), before.total());
}

// A failing allocation anywhere in the lazy set-up leaves nothing behind, and the next operation
// tries the whole set-up again.
TEST_F(FaultTest, FailedSetUpLeavesNothingBehind) {
  const char* const plans[] = {"malloc@0=0", "malloc@0=1", "hostalloc@0=0", "hostalloc@0=1"};
  for (const char* plan : plans) {
    ASSERT_TRUE(tavo_cpu::configure(1, plan));
    const tavo_cpu::LiveObjects before = tavo_cpu::live_objects();
    DeviceContext context(0);
    EXPECT_FALSE(context.launch(0, job(0, 0), 1024)) << plan;
    EXPECT_EQ(context.last_error(), "out of memory") << plan;
    EXPECT_EQ(tavo_cpu::live_objects().total(), before.total()) << plan;
    ASSERT_TRUE(tavo_cpu::configure(1, ""));
    DRes res;
    EXPECT_TRUE(context.launch_and_collect(0, job(kEverything, 0), 1024, res)) << plan;
  }
}

// The check buffer's allocation fails: no check buffer is held, and batches still work.
TEST_F(FaultTest, FailedCheckBufferIsNotHeld) {
  ASSERT_TRUE(tavo_cpu::configure(1, "malloc@0=2"));   // the two result slots still succeed
  const tavo_cpu::LiveObjects before = tavo_cpu::live_objects();
  DeviceContext context(0);
  std::vector<std::uint64_t> lanes(2048);
  EXPECT_FALSE(context.check(0, job(0, 0), 2048, lanes.data()));
  EXPECT_EQ(context.last_error(), "out of memory");
  EXPECT_EQ(tavo_cpu::live_objects().device_buffers, before.device_buffers + 2);
  DRes res;
  EXPECT_TRUE(context.launch_and_collect(0, job(kEverything, 0), 1024, res))
      << context.last_error();
  ASSERT_TRUE(tavo_cpu::configure(1, ""));
  EXPECT_TRUE(context.check(0, job(0, 0), 2048, lanes.data())) << context.last_error();
}

TEST_F(FaultTest, FailingPropertyQueryGivesTheQueryDefaults) {
  ASSERT_TRUE(tavo_cpu::configure(2, "props@1"));
  EXPECT_EQ(tavo::device_count(), 2);
  EXPECT_NE(tavo::device_name(0), "?");
  EXPECT_EQ(tavo::device_name(1), "?");
  EXPECT_EQ(tavo::device_memory(1), 0u);
  ASSERT_TRUE(tavo_cpu::configure(0, ""));
  EXPECT_EQ(tavo::device_count(), 0);
}

// One kernel family computing wrong lanes: exactly that family's profiles fail the comparison
// the self-check makes.
TEST_F(FaultTest, WrongFamilyFailsOnlyItsOwnProfiles) {
  const tavo::Header header = random_header(41);
  for (const char* family : {"plain", "il"}) {
    ASSERT_TRUE(tavo_cpu::configure(1, (std::string("wrong=") + family).c_str()));
    DeviceContext context(0);
    for (int profile = 0; profile < tavo::kProfileCount; ++profile) {
      const std::uint32_t count = granularity(profile);
      std::vector<std::uint64_t> lanes(count);
      ASSERT_TRUE(context.check(profile, make_djob(header, 0, 0), count, lanes.data()));
      std::uint32_t matching = 0;
      for (std::uint32_t j = 0; j < count; j += 37) {
        matching += lanes[j] == reference_lane3(header, reference_nonce(profile, j)) ? 1 : 0;
      }
      const bool broken = (profile >= 3) == (std::string(family) == "il");
      EXPECT_EQ(matching == 0, broken) << family << " profile " << profile;
      EXPECT_EQ(matching == (count + 36) / 37, !broken) << family << " profile " << profile;
    }
  }
}

// Two devices served by two threads at once: each context stays on its own device.
TEST_F(FaultTest, TwoDevicesRunSideBySide) {
  ASSERT_TRUE(tavo_cpu::configure(2, "launch@1=3"));
  bool ok[2] = {false, false};
  std::string errors[2];
  std::vector<std::thread> workers;
  for (int device = 0; device < 2; ++device) {
    workers.emplace_back([device, &ok, &errors] {
      DeviceContext context(device);
      DRes res;
      int batches = 0;
      while (batches < 5 && context.launch_and_collect(3, job(kEverything, 0), 8192, res)) {
        ++batches;
      }
      ok[device] = batches == 5;
      errors[device] = context.last_error();
    });
  }
  for (auto& worker : workers) worker.join();
  EXPECT_TRUE(ok[0]) << errors[0];
  EXPECT_FALSE(ok[1]);
  EXPECT_EQ(errors[1], "unspecified launch failure");
}

}  // namespace
