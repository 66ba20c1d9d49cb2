// The CPU stand-in of the CUDA runtime on its own: launch configuration errors per thread, error
// texts, stream order, events that wait, pointer checks on copies, handle checks, the fault plan
// parser, and the block pool spreading a grid over its threads.
#include "platform/cuda_runtime_cpu.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/cuda_stub_debug.h"

namespace {

void dummy_kernel() {}

// Launches `run_block` as a kernel over `grid` blocks of `block` threads on `stream`.
void launch(dim3 grid, dim3 block, cudaStream_t stream, std::function<void(dim3)> run_block) {
  static const tavo_cpu::KernelHandle* const handle =
      tavo_cpu::register_kernel(reinterpret_cast<const void*>(&dummy_kernel), "dummy");
  tavo_cpu::KernelLaunch launch;
  launch.run_block = std::move(run_block);
  tavo_cpu::launch_kernel(handle, grid, block, 0, stream, std::move(launch));
}

class StandInTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(tavo_cpu::configure(1, ""));
    ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
    ASSERT_EQ(cudaStreamCreateWithFlags(&stream_, cudaStreamNonBlocking), cudaSuccess);
  }
  void TearDown() override {
    EXPECT_EQ(cudaStreamDestroy(stream_), cudaSuccess);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  }

  cudaStream_t stream_ = nullptr;
};

TEST_F(StandInTest, BadLaunchConfigurationIsReportedToTheLaunchingThreadOnly) {
  struct Case {
    dim3 grid, block;
  } const refused[] = {
      {dim3(1), dim3(1025)},          {dim3(0), dim3(256)},          {dim3(1), dim3(0)},
      {dim3(1), dim3(32, 32, 2)},     {dim3(1u << 31), dim3(256)},   {dim3(1, 65536), dim3(1)},
  };
  std::atomic<int> blocks_run{0};
  for (const Case& c : refused) {
    launch(c.grid, c.block, stream_, [&](dim3) { ++blocks_run; });
    std::thread([] { EXPECT_EQ(cudaGetLastError(), cudaSuccess); }).join();
    EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidConfiguration);
    EXPECT_EQ(cudaGetLastError(), cudaSuccess);   // read and cleared
  }
  launch(dim3(3), dim3(1024), stream_, [&](dim3) { ++blocks_run; });
  EXPECT_EQ(cudaGetLastError(), cudaSuccess);
  ASSERT_EQ(cudaStreamSynchronize(stream_), cudaSuccess);
  EXPECT_EQ(blocks_run.load(), 3);
}

TEST_F(StandInTest, EveryErrorCodeHasAText) {
  const cudaError_t codes[] = {cudaErrorInvalidValue,         cudaErrorMemoryAllocation,
                               cudaErrorInitializationError,  cudaErrorInvalidConfiguration,
                               cudaErrorNoDevice,             cudaErrorInvalidDevice,
                               cudaErrorInvalidResourceHandle, cudaErrorLaunchFailure,
                               cudaErrorUnknown};
  std::set<std::string> texts;
  for (cudaError_t code : codes) texts.insert(cudaGetErrorString(code));
  EXPECT_EQ(texts.size(), std::size(codes));
  EXPECT_EQ(texts.count("unrecognized error code"), 0u);
  EXPECT_STREQ(cudaGetErrorString(cudaSuccess), "no error");
  EXPECT_STREQ(cudaGetErrorString(static_cast<cudaError_t>(12345)), "unrecognized error code");
}

// memset, kernel, copy, kernel, copy on one stream: each sees the one before.
TEST_F(StandInTest, StreamRunsItsOperationsInOrder) {
  void* device = nullptr;
  ASSERT_EQ(cudaMalloc(&device, 64 * sizeof(int)), cudaSuccess);
  int* cells = static_cast<int*>(device);
  void* host = nullptr;
  ASSERT_EQ(cudaHostAlloc(&host, 2 * 64 * sizeof(int), cudaHostAllocDefault), cudaSuccess);
  int* copies = static_cast<int*>(host);
  ASSERT_EQ(cudaMemsetAsync(cells, 0, 64 * sizeof(int), stream_), cudaSuccess);
  launch(dim3(64), dim3(1), stream_, [cells](dim3 b) {
    std::this_thread::sleep_for(std::chrono::microseconds(200));
    cells[b.x] += static_cast<int>(b.x);
  });
  ASSERT_EQ(cudaMemcpyAsync(copies, cells, 64 * sizeof(int), cudaMemcpyDeviceToHost, stream_),
            cudaSuccess);
  launch(dim3(64), dim3(1), stream_, [cells](dim3 b) { cells[b.x] *= 10; });
  ASSERT_EQ(cudaMemcpyAsync(copies + 64, cells, 64 * sizeof(int), cudaMemcpyDeviceToHost, stream_),
            cudaSuccess);
  ASSERT_EQ(cudaStreamSynchronize(stream_), cudaSuccess);
  for (int i = 0; i < 64; ++i) {
    EXPECT_EQ(copies[i], i);
    EXPECT_EQ(copies[64 + i], 10 * i);
  }
  EXPECT_EQ(cudaFree(device), cudaSuccess);
  EXPECT_EQ(cudaFreeHost(host), cudaSuccess);
}

TEST_F(StandInTest, EventSynchronizeWaitsForTheRecordedPoint) {
  cudaEvent_t event = nullptr;
  ASSERT_EQ(cudaEventCreateWithFlags(&event, cudaEventBlockingSync | cudaEventDisableTiming),
            cudaSuccess);
  EXPECT_EQ(cudaEventSynchronize(event), cudaSuccess);   // never recorded: nothing to wait for
  std::atomic<bool> before{false};
  std::atomic<bool> after{false};
  launch(dim3(1), dim3(1), stream_, [&](dim3) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    before = true;
  });
  ASSERT_EQ(cudaEventRecord(event, stream_), cudaSuccess);
  launch(dim3(1), dim3(1), stream_, [&](dim3) {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    after = true;
  });
  ASSERT_EQ(cudaEventSynchronize(event), cudaSuccess);
  EXPECT_TRUE(before.load());
  EXPECT_FALSE(after.load());
  ASSERT_EQ(cudaStreamSynchronize(stream_), cudaSuccess);
  EXPECT_TRUE(after.load());
  EXPECT_EQ(cudaEventDestroy(event), cudaSuccess);
  EXPECT_EQ(cudaEventDestroy(event), cudaErrorInvalidResourceHandle);
  (void)cudaGetLastError();
}

TEST_F(StandInTest, CopiesAndReleasesAreCheckedAgainstLiveAllocations) {
  void* device = nullptr;
  ASSERT_EQ(cudaMalloc(&device, 256), cudaSuccess);
  void* pinned = nullptr;
  ASSERT_EQ(cudaHostAlloc(&pinned, 256, 0), cudaSuccess);
  char host[512];
  char* d = static_cast<char*>(device);
  EXPECT_EQ(cudaMemsetAsync(host, 0, 16, stream_), cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemsetAsync(d + 128, 0, 129, stream_), cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemcpyAsync(host, d, 257, cudaMemcpyDeviceToHost, stream_), cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemcpyAsync(d, host, 16, cudaMemcpyDeviceToHost, stream_), cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemcpy(host, d + 1, 256, cudaMemcpyDeviceToHost), cudaErrorInvalidValue);
  EXPECT_EQ(cudaMemcpyAsync(pinned, d, 256, cudaMemcpyDeviceToHost, stream_), cudaSuccess);
  EXPECT_EQ(cudaFree(host), cudaErrorInvalidValue);
  EXPECT_EQ(cudaFree(d + 8), cudaErrorInvalidValue);
  EXPECT_EQ(cudaFreeHost(device), cudaErrorInvalidValue);
  EXPECT_EQ(cudaFree(pinned), cudaErrorInvalidValue);
  EXPECT_EQ(cudaGetLastError(), cudaErrorInvalidValue);
  EXPECT_EQ(cudaFree(device), cudaSuccess);
  EXPECT_EQ(cudaFreeHost(pinned), cudaSuccess);
  EXPECT_EQ(cudaFree(nullptr), cudaSuccess);
}

TEST_F(StandInTest, DestroyedHandlesAreRefused) {
  cudaStream_t other = nullptr;
  ASSERT_EQ(cudaStreamCreateWithFlags(&other, cudaStreamNonBlocking), cudaSuccess);
  const int streams = tavo_cpu::live_objects().streams;
  ASSERT_EQ(cudaStreamDestroy(other), cudaSuccess);
  EXPECT_EQ(tavo_cpu::live_objects().streams, streams - 1);
  EXPECT_EQ(cudaStreamSynchronize(other), cudaErrorInvalidResourceHandle);
  EXPECT_EQ(cudaStreamDestroy(other), cudaErrorInvalidResourceHandle);
  EXPECT_EQ(cudaStreamCreateWithFlags(&other, 2), cudaErrorInvalidValue);
  (void)cudaGetLastError();
}

TEST_F(StandInTest, DevicesFollowTheConfiguredCount) {
  int count = -1;
  ASSERT_TRUE(tavo_cpu::configure(3, ""));
  EXPECT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
  EXPECT_EQ(count, 3);
  EXPECT_EQ(cudaSetDevice(2), cudaSuccess);
  EXPECT_EQ(cudaSetDevice(3), cudaErrorInvalidDevice);
  cudaDeviceProp prop;
  ASSERT_EQ(cudaGetDeviceProperties(&prop, 2), cudaSuccess);
  EXPECT_NE(std::string(prop.name).find("CPU stand-in"), std::string::npos);
  EXPECT_NE(std::string(prop.name).find("thread"), std::string::npos);
  EXPECT_GT(prop.totalGlobalMem, 0u);
  ASSERT_TRUE(tavo_cpu::configure(0, ""));
  EXPECT_EQ(cudaGetDeviceCount(&count), cudaErrorNoDevice);
  EXPECT_EQ(count, 0);
  ASSERT_TRUE(tavo_cpu::configure(1, ""));
  ASSERT_EQ(cudaSetDevice(0), cudaSuccess);
  (void)cudaGetLastError();
}

TEST(StandInFaultPlan, AcceptsTheDocumentedRulesOnly) {
  const char* const good[] = {"",
                              "launch@0=3",
                              "exec=0, malloc@1=2 ,hostalloc=1",
                              "props@2,wrong=il",
                              "wrong@1=plain",
                              "launch"};
  for (const char* plan : good) EXPECT_TRUE(tavo_cpu::configure(2, plan)) << plan;
  const char* const bad[] = {"bogus",     "launch@x=1", "launch@0=-1", "wrong=blue", "wrong",
                             "props=3",   "malloc=abc", "launch@64=1", "exec@=1"};
  ASSERT_TRUE(tavo_cpu::configure(2, ""));
  for (const char* plan : bad) EXPECT_FALSE(tavo_cpu::configure(1, plan)) << plan;
  int count = 0;
  EXPECT_EQ(cudaGetDeviceCount(&count), cudaSuccess);
  EXPECT_EQ(count, 2);   // a refused plan changes nothing
  EXPECT_FALSE(tavo_cpu::configure(65, ""));
  EXPECT_TRUE(tavo_cpu::configure(1, ""));
}

// Blocks that take a while are shared between the pool's threads instead of queuing on one.
TEST_F(StandInTest, GridBlocksSpreadOverThePool) {
  cudaDeviceProp prop;
  ASSERT_EQ(cudaGetDeviceProperties(&prop, 0), cudaSuccess);
  std::mutex mutex;
  std::set<std::thread::id> threads;
  launch(dim3(4 * prop.multiProcessorCount), dim3(1), stream_, [&](dim3) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::lock_guard<std::mutex> lock(mutex);
    threads.insert(std::this_thread::get_id());
  });
  ASSERT_EQ(cudaStreamSynchronize(stream_), cudaSuccess);
  EXPECT_EQ(static_cast<int>(threads.size()), prop.multiProcessorCount);
}

}  // namespace
