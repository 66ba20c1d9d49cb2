// Kernel registration and launch in the CPU stand-in, and the block pool: one worker thread per
// core, shared by every stream, taking grid blocks one at a time from the grids queued on it
// (round robin between grids, so that several devices progress side by side).
#include <cstdlib>
#include <cstring>

#include "platform/cuda_runtime_cpu_internal.h"

namespace tavo_cpu {
namespace {

class BlockPool {
 public:
  BlockPool() {
    unsigned n = std::thread::hardware_concurrency();
    if (const char* env = std::getenv("TAVO_CPU_THREADS"); env != nullptr) {
      const int requested = std::atoi(env);
      if (requested > 0 && requested <= 1024) n = static_cast<unsigned>(requested);
    }
    if (n == 0) n = 1;
    for (unsigned i = 0; i < n; ++i) workers_.emplace_back([this] { work(); });
  }

  int size() const { return static_cast<int>(workers_.size()); }

  void run(dim3 grid, const std::function<void(dim3)>& run_block) {
    auto job = std::make_shared<Grid>();
    job->grid = grid;
    job->total = std::uint64_t{grid.x} * grid.y * grid.z;
    job->run_block = &run_block;
    if (job->total == 0) return;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      queue_.push_back(job);
    }
    work_ready_.notify_all();
    std::unique_lock<std::mutex> lock(mutex_);
    job->done.wait(lock, [&] { return job->finished == job->total; });
  }

 private:
  struct Grid {
    dim3 grid;
    std::uint64_t total = 0;
    const std::function<void(dim3)>* run_block = nullptr;
    std::uint64_t next = 0;       // guarded by BlockPool::mutex_
    std::uint64_t finished = 0;   // guarded by BlockPool::mutex_
    std::condition_variable done;
  };

  void work() {
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
      work_ready_.wait(lock, [&] { return !queue_.empty(); });
      std::shared_ptr<Grid> job = queue_.front();
      queue_.pop_front();
      const std::uint64_t index = job->next++;
      if (job->next < job->total) queue_.push_back(job);
      lock.unlock();
      const std::uint64_t plane = std::uint64_t{job->grid.x} * job->grid.y;
      const dim3 block_index(static_cast<unsigned>(index % job->grid.x),
                             static_cast<unsigned>((index / job->grid.x) % job->grid.y),
                             static_cast<unsigned>(index / plane));
      (*job->run_block)(block_index);
      lock.lock();
      if (++job->finished == job->total) job->done.notify_all();
    }
  }

  std::mutex mutex_;
  std::condition_variable work_ready_;
  std::deque<std::shared_ptr<Grid>> queue_;   // guarded by mutex_
  std::vector<std::thread> workers_;          // fixed after construction
};

BlockPool& pool() {
  static BlockPool* const instance = new BlockPool();   // never destroyed: workers stay parked
  return *instance;
}

bool valid_configuration(dim3 grid, dim3 block, std::size_t shared_bytes) {
  const std::uint64_t threads = std::uint64_t{block.x} * block.y * block.z;
  return grid.x >= 1 && grid.y >= 1 && grid.z >= 1 && grid.x <= 2147483647u &&
         grid.y <= 65535 && grid.z <= 65535 && block.x >= 1 && block.y >= 1 && block.z >= 1 &&
         block.x <= 1024 && block.y <= 1024 && block.z <= 64 && threads <= kMaxThreadsPerBlock &&
         shared_bytes <= 48 * 1024;
}

}  // namespace

void run_grid(dim3 grid, const std::function<void(dim3)>& run_block) { pool().run(grid, run_block); }

int pool_threads() { return pool().size(); }

const KernelHandle* register_kernel(const void* fn, const char* name) {
  static std::mutex mutex;
  static auto* const kernels = new std::map<const void*, std::unique_ptr<KernelHandle>>();
  std::lock_guard<std::mutex> lock(mutex);
  auto& slot = (*kernels)[fn];
  if (!slot) {
    const bool interleaved = std::strncmp(name, "il::", 4) == 0;
    slot = std::make_unique<KernelHandle>(
        KernelHandle{name, interleaved ? KernelFamily::kInterleaved : KernelFamily::kPlain});
  }
  return slot.get();
}

void launch_kernel(const KernelHandle* kernel, dim3 grid, dim3 block, std::size_t shared_bytes,
                   cudaStream_t stream, KernelLaunch launch) {
  Runtime& rt = Runtime::get();
  rt.count(Entry::kLaunch);
  // Pushing the configuration: a refused one launches nothing.
  if (kernel == nullptr || !launch.run_block || !valid_configuration(grid, block, shared_bytes)) {
    fail(cudaErrorInvalidConfiguration);
    return;
  }
  cudaError_t error = cudaSuccess;
  const auto target = resolve_stream(stream, &error);
  if (!target) return;
  const int device = target->device;
  if (device != current_device()) {
    fail(cudaErrorInvalidResourceHandle);
    return;
  }
  if (const cudaError_t sticky = rt.device_error(device); sticky != cudaSuccess) {
    fail(sticky);
    return;
  }
  if (rt.launch_fault(device)) {
    fail(cudaErrorLaunchFailure);
    return;
  }
  if (rt.wrong_fault(device, kernel->family) && launch.first_param != nullptr &&
      launch.first_param_size > 0) {
    // A kernel family that computes wrong results: it sees its job with one bit flipped.
    static_cast<unsigned char*>(launch.first_param)[0] ^= 0x01;
  }
  target->enqueue([device, grid, run_block = std::move(launch.run_block)] {
    Runtime& runtime = Runtime::get();
    if (runtime.device_error(device) != cudaSuccess) return;
    if (runtime.exec_fault(device)) {
      runtime.set_device_error(device, cudaErrorLaunchFailure);
      return;
    }
    run_grid(grid, run_block);
  });
}

VectorIsa vector_isa() {
  static const VectorIsa isa = [] {
#if defined(__x86_64__)
    __builtin_cpu_init();
    const bool avx2 = __builtin_cpu_supports("avx2") && __builtin_cpu_supports("bmi2") &&
                      __builtin_cpu_supports("fma");
    const bool avx512 = avx2 && __builtin_cpu_supports("avx512f") &&
                        __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512bw") &&
                        __builtin_cpu_supports("avx512dq");
    VectorIsa best = avx512 ? VectorIsa::kAvx512 : avx2 ? VectorIsa::kAvx2 : VectorIsa::kBaseline;
    if (const char* env = std::getenv("TAVO_CPU_ISA"); env != nullptr) {
      if (std::strcmp(env, "baseline") == 0) best = VectorIsa::kBaseline;
      if (std::strcmp(env, "avx2") == 0 && avx2) best = VectorIsa::kAvx2;
      if (std::strcmp(env, "avx512") == 0 && avx512) best = VectorIsa::kAvx512;
    }
    return best;
#else
    return VectorIsa::kBaseline;
#endif
  }();
  return isa;
}

}  // namespace tavo_cpu
