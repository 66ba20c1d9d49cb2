// Device enumeration, properties and selection of the CPU stand-in.
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/cuda_runtime_cpu_internal.h"

using tavo_cpu::Entry;
using tavo_cpu::Runtime;
using tavo_cpu::current_device;
using tavo_cpu::fail;

namespace {

// The error for a call that needs a device and finds the ordinal unusable.
cudaError_t device_missing(Runtime& rt) {
  return fail(rt.device_count() == 0 ? cudaErrorNoDevice : cudaErrorInvalidDevice);
}

std::size_t host_memory() {
  const long pages = sysconf(_SC_PHYS_PAGES);
  const long page_size = sysconf(_SC_PAGE_SIZE);
  if (pages <= 0 || page_size <= 0) return 0;
  return static_cast<std::size_t>(pages) * static_cast<std::size_t>(page_size);
}

}  // namespace

cudaError_t cudaGetDeviceCount(int* count) {
  Runtime& rt = Runtime::get();
  rt.count(Entry::kGetDeviceCount);
  if (count == nullptr) return fail(cudaErrorInvalidValue);
  *count = rt.device_count();
  return *count == 0 ? fail(cudaErrorNoDevice) : cudaSuccess;
}

cudaError_t cudaGetDeviceProperties(cudaDeviceProp* prop, int device) {
  Runtime& rt = Runtime::get();
  rt.count(Entry::kGetDeviceProperties);
  if (prop == nullptr) return fail(cudaErrorInvalidValue);
  if (!rt.valid_device(device)) return device_missing(rt);
  if (rt.props_fault(device)) return fail(cudaErrorInitializationError);
  std::memset(prop, 0, sizeof(*prop));
  const int threads = tavo_cpu::pool_threads();
  std::snprintf(prop->name, sizeof(prop->name), "Tavo CPU stand-in (%d thread%s)", threads,
                threads == 1 ? "" : "s");
  prop->totalGlobalMem = host_memory();
  prop->multiProcessorCount = threads;
  prop->warpSize = 1;
  prop->maxThreadsPerBlock = static_cast<int>(tavo_cpu::kMaxThreadsPerBlock);
  prop->maxThreadsDim[0] = 1024;
  prop->maxThreadsDim[1] = 1024;
  prop->maxThreadsDim[2] = 64;
  prop->maxGridSize[0] = 2147483647;
  prop->maxGridSize[1] = 65535;
  prop->maxGridSize[2] = 65535;
  return cudaSuccess;
}

cudaError_t cudaSetDevice(int device) {
  Runtime& rt = Runtime::get();
  rt.count(Entry::kSetDevice);
  if (!rt.valid_device(device)) return device_missing(rt);
  current_device() = device;
  return cudaSuccess;
}

cudaError_t cudaGetDevice(int* device) {
  Runtime& rt = Runtime::get();
  rt.count(Entry::kGetDevice);
  if (device == nullptr) return fail(cudaErrorInvalidValue);
  if (rt.device_count() == 0) return fail(cudaErrorNoDevice);
  *device = current_device();
  return cudaSuccess;
}

cudaError_t cudaSetDeviceFlags(unsigned flags) {
  Runtime& rt = Runtime::get();
  rt.count(Entry::kSetDeviceFlags);
  // Scheduling (0, spin 1, yield 2, blocking 4), mapped host memory 8, local memory resize 16.
  constexpr unsigned kScheduleMask = 0x07;
  constexpr unsigned kKnownFlags = 0x1F;
  const unsigned schedule = flags & kScheduleMask;
  if ((flags & ~kKnownFlags) != 0 || schedule == 3 || schedule > 4) {
    return fail(cudaErrorInvalidValue);
  }
  if (!rt.valid_device(current_device())) return device_missing(rt);
  // Waiting always sleeps on a condition variable here, whatever the scheduling flag asks.
  return cudaSuccess;
}

cudaError_t cudaDeviceSynchronize() {
  Runtime& rt = Runtime::get();
  rt.count(Entry::kDeviceSynchronize);
  const int device = current_device();
  if (!rt.valid_device(device)) return device_missing(rt);
  for (const auto& stream : rt.device_streams(device)) stream->wait_for(stream->last_enqueued());
  return fail(rt.device_error(device));
}
