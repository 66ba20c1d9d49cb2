// The one place where the two build flavours of the device code differ. The kernel sources are
// written once, in CUDA's dialect; this header gives them what they need on either side:
//  - with nvcc (cuda flavour): launches are `<<<grid, block, 0, stream>>>`, so nvcc emits the
//    registration and launch glue, and a block's threads are real GPU threads;
//  - as host C++ (cpu flavour): the CUDA keywords become plain C++, the atomic and funnel-shift
//    intrinsics get host definitions, a kernel call runs one whole block, and a launch goes to
//    the CPU stand-in of the CUDA runtime (platform/cuda_runtime_cpu.h), which spreads the grid's
//    blocks over its worker threads.
//
// Kernel bodies hand the per-thread work to run_threads<N>() as a small "thread program": its
// member `hash` computes the 64-bit result for value index j (a pure device function: the whole
// Keccak), and consume(j, v) stores and appends. On the GPU each thread runs its N indices in
// turn. On the CPU a block runs as N passes of a vectorised loop over its threads (hash inlined
// into a `#pragma omp simd` loop) followed by a scalar loop that consumes, so candidate appends
// stay scalar. The vectorised loop is compiled three times (AVX-512, AVX2, baseline x86-64)
// through per-function target attributes and picked once per process from what the CPU offers
// (target_clones would do the picking for us, but clang 14 refuses it on templates); the rest of
// the binary stays baseline x86-64.
//
// Threading: everything here is stateless except the CPU flavour's per-thread block coordinates,
// which the stand-in's worker threads set before each block.
#pragma once

#include <cstdint>

#if defined(__CUDACC__)

#define TAVO_PRAGMA(x) _Pragma(#x)
#define TAVO_UNROLL TAVO_PRAGMA(unroll)
#define TAVO_UNROLL_N(n) TAVO_PRAGMA(unroll n)

// Launches `kernel` on `grid` blocks of `block` threads, no shared memory, on `stream`.
#define TAVO_LAUNCH(kernel, grid, block, stream) kernel<<<(grid), (block), 0, (stream)>>>

namespace tavo_device {

__device__ __forceinline__ std::uint32_t rotl32(std::uint32_t v, int n) {
  return __funnelshift_l(v, v, n);
}

// a ^ b ^ c, and chi's a ^ (~b & c), each as one three-input logic instruction (LOP3). Written in
// PTX because the compiler, left to itself, shares the XOR of the two theta words between the
// five lanes of a column (one more instruction per column and word), and fuses chi less well
// when some of its inputs come straight from the kernel's parameters.
__device__ __forceinline__ std::uint32_t xor3(std::uint32_t a, std::uint32_t b, std::uint32_t c) {
  std::uint32_t r;
  asm("lop3.b32 %0, %1, %2, %3, 0x96;" : "=r"(r) : "r"(a), "r"(b), "r"(c));
  return r;
}
__device__ __forceinline__ std::uint64_t xor3(std::uint64_t a, std::uint64_t b, std::uint64_t c) {
  std::uint64_t r;
  asm("{\n\t.reg .b32 al, ah, bl, bh, cl, ch, rl, rh;\n\t"
      "mov.b64 {al, ah}, %1;\n\tmov.b64 {bl, bh}, %2;\n\tmov.b64 {cl, ch}, %3;\n\t"
      "lop3.b32 rl, al, bl, cl, 0x96;\n\tlop3.b32 rh, ah, bh, ch, 0x96;\n\t"
      "mov.b64 %0, {rl, rh};\n\t}"
      : "=l"(r)
      : "l"(a), "l"(b), "l"(c));
  return r;
}
__device__ __forceinline__ std::uint32_t chi3(std::uint32_t a, std::uint32_t b, std::uint32_t c) {
  std::uint32_t r;
  asm("lop3.b32 %0, %1, %2, %3, 0xD2;" : "=r"(r) : "r"(a), "r"(b), "r"(c));
  return r;
}

// How far a thread's loop over its N values is unrolled: not at all (a hash is thousands of
// instructions already); bench/device-report builds 2 to tell the loop body from the set-up.
#ifndef TAVO_VALUES_UNROLL
#define TAVO_VALUES_UNROLL 1
#endif

// Thread g = blockIdx.x * blockDim.x + threadIdx.x runs value indices g*N .. g*N + N - 1 through
// program.consume(j, program.hash(j)).
template <int N, class Program>
__device__ __forceinline__ void run_threads(const Program& program) {
  const std::uint32_t g = blockIdx.x * blockDim.x + threadIdx.x;
  TAVO_UNROLL_N(TAVO_VALUES_UNROLL)
  for (int i = 0; i < N; ++i) {
    const std::uint32_t j = g * N + i;
    program.consume(j, program.hash(j));
  }
}

// One value per thread, for the threads with g < limit only.
template <class Program>
__device__ __forceinline__ void run_threads_below(const Program& program, std::uint32_t limit) {
  const std::uint32_t g = blockIdx.x * blockDim.x + threadIdx.x;
  if (g < limit) program.consume(g, program.hash(g));
}

}  // namespace tavo_device

#else  // host C++: the cpu flavour

#include <algorithm>
#include <cstddef>
#include <memory>
#include <tuple>
#include <type_traits>
#include <utility>

#include "platform/cuda_runtime_cpu.h"

#define TAVO_PRAGMA(x) _Pragma(#x)
#if defined(__clang__)
#define TAVO_UNROLL TAVO_PRAGMA(clang loop unroll(full))
#define TAVO_UNROLL_N(n) TAVO_PRAGMA(clang loop unroll_count(n))
#else
#define TAVO_UNROLL TAVO_PRAGMA(GCC unroll 64)
#define TAVO_UNROLL_N(n) TAVO_PRAGMA(GCC unroll n)
#endif

#define __global__
#define __device__
#define __host__
#define __constant__
#define __forceinline__ inline __attribute__((always_inline))
#define __launch_bounds__(...)

// The coordinates of the block the calling worker thread is running (set by the launch below).
inline thread_local dim3 blockIdx;
inline thread_local dim3 blockDim;
inline thread_local dim3 gridDim;

inline unsigned atomicAdd(unsigned* address, unsigned value) {
  return __atomic_fetch_add(address, value, __ATOMIC_RELAXED);
}
inline unsigned __funnelshift_l(unsigned lo, unsigned hi, unsigned shift) {
  const std::uint64_t joined = (std::uint64_t{hi} << 32) | lo;
  return static_cast<unsigned>((joined << (shift & 31u)) >> 32);
}

// Launches `kernel` through the CPU stand-in: same arguments as the `<<<>>>` form.
#define TAVO_LAUNCH(kernel, grid, block, stream) \
  ::tavo_device::Launch<&kernel>(#kernel, (grid), (block), (stream))

namespace tavo_device {

// Written as shifts so that the vectoriser maps it to vector rotations.
__forceinline__ std::uint32_t rotl32(std::uint32_t v, int n) {
  return (v << (n & 31)) | (v >> ((32 - n) & 31));
}

template <class T>
__forceinline__ T xor3(T a, T b, T c) {
  return a ^ b ^ c;
}
template <class T>
__forceinline__ T chi3(T a, T b, T c) {
  return a ^ (~b & c);
}

// out[t] = hash(start + t * stride) for t < count: the vectorised pass over a block's threads.
template <class Hash>
__forceinline__ void hash_values(const Hash& hash, std::uint32_t start, std::uint32_t stride,
                                 std::uint32_t count, std::uint64_t* out) {
#pragma omp simd
  for (std::uint32_t t = 0; t < count; ++t) out[t] = hash(start + t * stride);
}

#if defined(__x86_64__)
#define TAVO_TARGET_AVX512 __attribute__((target("avx512f,avx512vl,avx512bw,avx512dq,avx2,bmi2,fma")))
#define TAVO_TARGET_AVX2 __attribute__((target("avx2,bmi2,fma")))
template <class Hash>
TAVO_TARGET_AVX512 void hash_values_avx512(const Hash& hash, std::uint32_t start,
                                           std::uint32_t stride, std::uint32_t count,
                                           std::uint64_t* out) {
  hash_values(hash, start, stride, count, out);
}
template <class Hash>
TAVO_TARGET_AVX2 void hash_values_avx2(const Hash& hash, std::uint32_t start, std::uint32_t stride,
                                       std::uint32_t count, std::uint64_t* out) {
  hash_values(hash, start, stride, count, out);
}
#endif
template <class Hash>
void hash_values_baseline(const Hash& hash, std::uint32_t start, std::uint32_t stride,
                          std::uint32_t count, std::uint64_t* out) {
  hash_values(hash, start, stride, count, out);
}

template <class Hash>
void hash_values_best(const Hash& hash, std::uint32_t start, std::uint32_t stride,
                      std::uint32_t count, std::uint64_t* out) {
#if defined(__x86_64__)
  switch (tavo_cpu::vector_isa()) {
    case tavo_cpu::VectorIsa::kAvx512: return hash_values_avx512(hash, start, stride, count, out);
    case tavo_cpu::VectorIsa::kAvx2: return hash_values_avx2(hash, start, stride, count, out);
    case tavo_cpu::VectorIsa::kBaseline: break;
  }
#endif
  hash_values_baseline(hash, start, stride, count, out);
}

// Runs the calling block (the stand-in calls a kernel once per block): N passes, each a
// vectorised hash of one value per thread followed by a scalar consume of the results, so that
// thread g still handles g*N .. g*N + N - 1. Threads with g >= limit do nothing.
template <int N, class Program>
void run_block(const Program& program, std::uint32_t limit) {
  alignas(64) std::uint64_t values[tavo_cpu::kMaxThreadsPerBlock];
  const std::uint32_t first = blockIdx.x * blockDim.x;
  const std::uint32_t active = first >= limit ? 0u : std::min(blockDim.x, limit - first);
  for (int i = 0; i < N; ++i) {
    const std::uint32_t start = first * N + i;
    hash_values_best(program.hash, start, N, active, values);
    for (std::uint32_t t = 0; t < active; ++t) program.consume(start + t * N, values[t]);
  }
}

template <int N, class Program>
void run_threads(const Program& program) {
  run_block<N>(program, 0xFFFFFFFFu);
}

template <class Program>
void run_threads_below(const Program& program, std::uint32_t limit) {
  run_block<1>(program, limit);
}

template <class F>
struct KernelParams;
template <class... P>
struct KernelParams<void (*)(P...)> {
  using Tuple = std::tuple<std::decay_t<P>...>;
};

// The kernel's handle, registered with the stand-in on the first launch, once per process.
template <auto Kernel>
const tavo_cpu::KernelHandle* kernel_handle(const char* name) {
  static const tavo_cpu::KernelHandle* const handle =
      tavo_cpu::register_kernel(reinterpret_cast<const void*>(Kernel), name);
  return handle;
}

// The cpu flavour's `<<<grid, block, 0, stream>>>(args...)`: the arguments are copied, as a real
// launch copies its parameter block, and every block of the grid calls the kernel once.
template <auto Kernel>
class Launch {
 public:
  Launch(const char* name, dim3 grid, dim3 block, cudaStream_t stream)
      : name_(name), grid_(grid), block_(block), stream_(stream) {}

  template <class... Args>
  void operator()(Args&&... args) const {
    using Tuple = typename KernelParams<decltype(Kernel)>::Tuple;
    auto params = std::make_shared<Tuple>(std::forward<Args>(args)...);
    tavo_cpu::KernelLaunch launch;
    launch.first_param = &std::get<0>(*params);
    launch.first_param_size = sizeof(std::get<0>(*params));
    launch.run_block = [params, grid = grid_, block = block_](dim3 block_index) {
      blockIdx = block_index;
      blockDim = block;
      gridDim = grid;
      std::apply(Kernel, *params);
    };
    tavo_cpu::launch_kernel(kernel_handle<Kernel>(name_), grid_, block_, 0, stream_,
                            std::move(launch));
  }

 private:
  const char* name_;
  dim3 grid_;
  dim3 block_;
  cudaStream_t stream_;
};

}  // namespace tavo_device

#endif  // __CUDACC__
