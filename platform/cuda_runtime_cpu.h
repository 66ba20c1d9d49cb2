// CPU stand-in of the CUDA runtime, for machines without an NVIDIA GPU (the cpu build flavour).
// It offers the runtime calls the GPU back end makes, under the same names, with the same
// argument conventions and zero-on-success results, and runs the device code (compiled as host
// C++) on the host:
//  - devices: TAVO_CPU_DEVICES of them (default 1), all backed by the same host; a fault plan
//    (TAVO_CPU_FAULTS) makes chosen calls fail, for tests. See platform/README.md.
//  - device and page-locked host memory are host memory; pointers are checked against the live
//    allocations on every copy and memset.
//  - each stream runs its operations in order on an executor thread of its own; a kernel's grid
//    blocks are spread over one shared pool of worker threads (one per core).
//  - events mark points in a stream; cudaEventSynchronize and cudaStreamSynchronize sleep on a
//    condition variable until the stream has passed them.
//  - errors: every failing call records its code as the calling thread's last error, which
//    cudaGetLastError returns and clears; every code has a text (cudaGetErrorString).
// Threading: every call may be made from any thread; the current device is per thread, as in
// the real runtime. Objects (streams, events, buffers) may be used from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

enum cudaError : int {
  cudaSuccess = 0,
  cudaErrorInvalidValue = 1,
  cudaErrorMemoryAllocation = 2,
  cudaErrorInitializationError = 3,
  cudaErrorInvalidConfiguration = 9,
  cudaErrorNoDevice = 100,
  cudaErrorInvalidDevice = 101,
  cudaErrorInvalidResourceHandle = 400,
  cudaErrorLaunchFailure = 719,
  cudaErrorUnknown = 999,
};
using cudaError_t = cudaError;

enum cudaMemcpyKind {
  cudaMemcpyHostToHost = 0,
  cudaMemcpyHostToDevice = 1,
  cudaMemcpyDeviceToHost = 2,
  cudaMemcpyDeviceToDevice = 3,
  cudaMemcpyDefault = 4,
};

inline constexpr unsigned cudaDeviceScheduleAuto = 0;
inline constexpr unsigned cudaDeviceScheduleSpin = 1;
inline constexpr unsigned cudaDeviceScheduleYield = 2;
inline constexpr unsigned cudaDeviceScheduleBlockingSync = 4;
inline constexpr unsigned cudaStreamDefault = 0;
inline constexpr unsigned cudaStreamNonBlocking = 1;
inline constexpr unsigned cudaEventDefault = 0;
inline constexpr unsigned cudaEventBlockingSync = 1;
inline constexpr unsigned cudaEventDisableTiming = 2;
inline constexpr unsigned cudaHostAllocDefault = 0;

struct dim3 {
  unsigned x;
  unsigned y;
  unsigned z;
  constexpr dim3(unsigned vx = 1, unsigned vy = 1, unsigned vz = 1) : x(vx), y(vy), z(vz) {}
};

// Properties of a stand-in device. Only `name` and `totalGlobalMem` matter to the back end.
struct cudaDeviceProp {
  char name[256];                 // "Tavo CPU stand-in (N threads)"
  std::size_t totalGlobalMem;     // the host's physical memory
  int multiProcessorCount;        // worker threads of the block pool
  int warpSize;                   // 1: the threads of a block run as a vectorised loop
  int maxThreadsPerBlock;
  int maxThreadsDim[3];
  int maxGridSize[3];
  int major;
  int minor;
};

namespace tavo_cpu {
struct Stream;
struct Event;
}  // namespace tavo_cpu
using cudaStream_t = tavo_cpu::Stream*;   // null: the device's default stream
using cudaEvent_t = tavo_cpu::Event*;

cudaError_t cudaGetDeviceCount(int* count);
cudaError_t cudaGetDeviceProperties(cudaDeviceProp* prop, int device);
cudaError_t cudaSetDevice(int device);
cudaError_t cudaGetDevice(int* device);
cudaError_t cudaSetDeviceFlags(unsigned flags);
cudaError_t cudaDeviceSynchronize();

cudaError_t cudaMalloc(void** ptr, std::size_t size);
cudaError_t cudaFree(void* ptr);
cudaError_t cudaHostAlloc(void** ptr, std::size_t size, unsigned flags);
cudaError_t cudaFreeHost(void* ptr);
cudaError_t cudaMemsetAsync(void* ptr, int value, std::size_t count, cudaStream_t stream = nullptr);
cudaError_t cudaMemcpyAsync(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind,
                            cudaStream_t stream = nullptr);
cudaError_t cudaMemcpy(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind);

cudaError_t cudaStreamCreateWithFlags(cudaStream_t* stream, unsigned flags);
cudaError_t cudaStreamSynchronize(cudaStream_t stream);
cudaError_t cudaStreamDestroy(cudaStream_t stream);

cudaError_t cudaEventCreateWithFlags(cudaEvent_t* event, unsigned flags);
cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t stream = nullptr);
cudaError_t cudaEventSynchronize(cudaEvent_t event);
cudaError_t cudaEventDestroy(cudaEvent_t event);

cudaError_t cudaGetLastError();
cudaError_t cudaPeekAtLastError();
const char* cudaGetErrorString(cudaError_t error);

// ---- What the launch path of the device code needs (see gpu/kernels/device_compat.h) ----------
namespace tavo_cpu {

inline constexpr unsigned kMaxThreadsPerBlock = 1024;

// A registered kernel: its name as launched (e.g. "il::search<32>").
struct KernelHandle;

// Registers the kernel at `fn` under `name` (once; later calls return the same handle).
const KernelHandle* register_kernel(const void* fn, const char* name);

// One launch: `run_block` runs one block of the grid; it is called once per block, from the
// pool's threads, possibly concurrently. `first_param` points at the launch's own copy of the
// kernel's first parameter (the fault plan may alter it).
struct KernelLaunch {
  std::function<void(dim3 block_index)> run_block;
  void* first_param = nullptr;
  std::size_t first_param_size = 0;
};

// Checks the launch configuration, as pushing it does on a GPU (a refused one launches nothing),
// then queues the grid on `stream`. Errors go to the calling thread's last error only.
void launch_kernel(const KernelHandle* kernel, dim3 grid, dim3 block, std::size_t shared_bytes,
                   cudaStream_t stream, KernelLaunch launch);

// The vector instruction set the block loops use: chosen once per process from the CPU, or
// from TAVO_CPU_ISA (avx512, avx2, baseline) when set and supported.
enum class VectorIsa { kBaseline, kAvx2, kAvx512 };
VectorIsa vector_isa();

}  // namespace tavo_cpu
