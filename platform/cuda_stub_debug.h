// Test hooks of the CPU stand-in of the CUDA runtime: what it holds alive, how often its entry
// points were called, and a way to replace the device count and fault plan that it otherwise
// reads once from TAVO_CPU_DEVICES and TAVO_CPU_FAULTS. Tests only; the program never calls
// these. Thread-safe, but `configure` must not race with other runtime calls.
#pragma once

#include <cstdint>

namespace tavo_cpu {

struct LiveObjects {
  int device_buffers = 0;   // cudaMalloc without cudaFree
  int host_buffers = 0;     // cudaHostAlloc without cudaFreeHost
  int streams = 0;
  int events = 0;

  int total() const { return device_buffers + host_buffers + streams + events; }
};

// What is currently allocated or created, over all devices.
LiveObjects live_objects();

// Number of runtime calls made so far by any thread: all entry points, or the one named (e.g.
// "cudaSetDevice"; unknown names count 0). The launch path counts as "launch".
std::uint64_t runtime_calls();
std::uint64_t runtime_calls(const char* entry_point);

// Replaces the device count and the fault plan (same text as TAVO_CPU_FAULTS; null or empty:
// no faults) and restarts every fault counter and device error state. Returns false, changing
// nothing, when the plan does not parse or the count is outside 0..64.
bool configure(int device_count, const char* fault_plan);

}  // namespace tavo_cpu
