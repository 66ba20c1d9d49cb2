// Internals of the CPU stand-in of the CUDA runtime, shared by its source files: the process-wide
// state (configuration, fault plan and counters, live objects, call counts), the per-thread
// current device and last error, and the stream executor. Not for use outside platform/.
//
// Locking: Runtime::mutex guards the fault counters, the device error states and the object
// registries; each Stream has its own mutex for its queue; the block pool has its own. No code
// holds two of them at once, and no lock is held while an operation or a kernel block runs.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "platform/cuda_runtime_cpu.h"
#include "platform/cuda_stub_debug.h"

namespace tavo_cpu {

inline constexpr int kMaxDevices = 64;

// ---- Fault plan ---------------------------------------------------------------------------------

enum class FaultKind { kLaunch, kExec, kMalloc, kHostAlloc, kProps, kWrong };
enum class KernelFamily { kPlain, kInterleaved };

struct FaultRule {
  FaultKind kind;
  int device = -1;              // -1: every device
  std::uint64_t after = 0;      // launch, exec, malloc, hostalloc: calls that still succeed
  KernelFamily family = KernelFamily::kPlain;   // wrong
};

// Parses "kind[@device][=value],..." into rules; false (with `error` set) on any bad rule.
bool parse_fault_plan(const std::string& text, std::vector<FaultRule>* rules, std::string* error);

// ---- Streams ------------------------------------------------------------------------------------

}  // namespace tavo_cpu

// The object behind a cudaStream_t: a queue of operations run in order by its executor thread.
struct tavo_cpu::Stream {
  Stream(int dev, unsigned stream_flags);
  ~Stream();   // runs what is queued, then joins the executor
  Stream(const Stream&) = delete;
  Stream& operator=(const Stream&) = delete;

  // Queues `op`; returns the sequence number the stream reaches once `op` has run.
  std::uint64_t enqueue(std::function<void()> op);
  // Sequence number of the last queued operation (0: none yet).
  std::uint64_t last_enqueued();
  // Sleeps until every operation up to `sequence` has run.
  void wait_for(std::uint64_t sequence);

  const int device;
  const unsigned flags;

 private:
  void run();

  std::mutex mutex_;
  std::condition_variable changed_;
  std::deque<std::function<void()>> ops_;   // guarded by mutex_
  std::uint64_t enqueued_ = 0;              // guarded by mutex_
  std::uint64_t completed_ = 0;             // guarded by mutex_
  bool closing_ = false;                    // guarded by mutex_
  std::thread executor_;
};

// The object behind a cudaEvent_t: the stream and sequence number of its last record.
struct tavo_cpu::Event {
  explicit Event(unsigned event_flags) : flags(event_flags) {}

  const unsigned flags;
  std::mutex mutex;
  std::shared_ptr<Stream> stream;   // guarded by mutex; null until recorded
  std::uint64_t sequence = 0;       // guarded by mutex
};

struct tavo_cpu::KernelHandle {
  std::string name;
  KernelFamily family;
};

namespace tavo_cpu {

// ---- Process-wide state -------------------------------------------------------------------------

enum class Entry {
  kGetDeviceCount, kGetDeviceProperties, kSetDevice, kGetDevice, kSetDeviceFlags,
  kDeviceSynchronize, kMalloc, kFree, kHostAlloc, kFreeHost, kMemsetAsync, kMemcpyAsync, kMemcpy,
  kStreamCreateWithFlags, kStreamSynchronize, kStreamDestroy, kEventCreateWithFlags,
  kEventRecord, kEventSynchronize, kEventDestroy, kGetLastError, kPeekAtLastError,
  kGetErrorString, kLaunch, kCount
};
const char* entry_name(Entry entry);

enum class BufferKind { kDevice, kHost };

class Runtime {
 public:
  // The one instance, configured from the environment on first use; never destroyed, so that
  // executor and pool threads may still be parked when the process exits.
  static Runtime& get();

  void count(Entry entry);
  std::uint64_t calls(int entry_index) const;

  int device_count();
  bool valid_device(int device);

  // Fault plan. Each returns whether the call it names must fail (or misbehave), counting the
  // call where the rule counts calls.
  bool props_fault(int device);
  bool alloc_fault(BufferKind kind, int device);
  bool launch_fault(int device);
  bool exec_fault(int device);
  bool wrong_fault(int device, KernelFamily family);

  // A device's sticky error (cudaSuccess when healthy): set by a failing kernel, reported by
  // every later synchronisation and launch on the device.
  cudaError_t device_error(int device);
  void set_device_error(int device, cudaError_t error);

  // Buffer registry. `find` gives the device of the allocation holding [ptr, ptr + size) and its
  // kind; false when no live allocation holds the whole range.
  void add_buffer(void* ptr, std::size_t size, BufferKind kind, int device);
  bool remove_buffer(void* ptr, BufferKind kind, int* device);
  bool find_buffer(const void* ptr, std::size_t size, BufferKind* kind, int* device);

  // Stream and event registries (handles given out and not yet destroyed).
  void add_stream(std::shared_ptr<Stream> stream);
  std::shared_ptr<Stream> find_stream(const Stream* handle);
  std::shared_ptr<Stream> take_stream(const Stream* handle);
  std::shared_ptr<Stream> default_stream(int device);
  std::vector<std::shared_ptr<Stream>> device_streams(int device);
  void add_event(std::unique_ptr<Event> event);
  bool has_event(const Event* handle);
  std::unique_ptr<Event> take_event(const Event* handle);

  LiveObjects live();
  bool configure(int devices, const std::string& plan, std::string* error);

 private:
  Runtime();

  struct DeviceState {
    std::uint64_t mallocs = 0;
    std::uint64_t host_allocs = 0;
    std::uint64_t launches = 0;
    std::uint64_t executions = 0;
    cudaError_t error = cudaSuccess;
    std::shared_ptr<Stream> default_stream;
  };
  struct Buffer {
    std::size_t size;
    BufferKind kind;
    int device;
  };
  const FaultRule* rule_for(FaultKind kind, int device) const;   // caller holds mutex_

  std::atomic<std::uint64_t> calls_[static_cast<int>(Entry::kCount)] = {};
  mutable std::mutex mutex_;
  int device_count_ = 1;                                          // guarded by mutex_
  std::vector<FaultRule> rules_;                                  // guarded by mutex_
  std::vector<DeviceState> devices_;                              // guarded by mutex_
  std::map<std::uintptr_t, Buffer> buffers_;                      // guarded by mutex_
  std::map<const Stream*, std::shared_ptr<Stream>> streams_;      // guarded by mutex_
  std::map<const Event*, std::unique_ptr<Event>> events_;         // guarded by mutex_
};

// The calling thread's current device (0 until cudaSetDevice).
int& current_device();
// Records `error` as the calling thread's last error and returns it.
cudaError_t fail(cudaError_t error);
// The stream a call addresses: `handle`, or the current device's default stream for null.
// Null result, with the error recorded and stored in `error`, when the handle is unknown or the
// current device unusable.
std::shared_ptr<Stream> resolve_stream(cudaStream_t handle, cudaError_t* error);

// Runs every block of a grid on the shared pool; returns when all have run.
void run_grid(dim3 grid, const std::function<void(dim3)>& run_block);
// Number of threads in the block pool.
int pool_threads();

}  // namespace tavo_cpu
