#include "gpu/device_context.h"

#include <cstring>

#include "gpu/cuda_api.h"
#include "gpu/dispatch.h"
#include "gpu/profiles.h"

namespace tavo {

namespace {

constexpr char kBadRequest[] = "bad request";
constexpr char kNothingInFlight[] = "nothing in flight";

// The one check every runtime call goes through: true on success; otherwise the runtime's text
// becomes the context's error. The thread's pending error is read off as well, so that a failure
// here is not reported a second time by the cudaGetLastError after a later launch.
bool succeeded(cudaError_t code, std::string& error) {
  if (code == cudaSuccess) return true;
  error = cudaGetErrorString(code);
  (void)cudaGetLastError();
  return false;
}

// For calls whose result does not matter (releases, the scheduling hint): a failure must still
// not linger as the thread's pending error.
void ignore_result(cudaError_t code) {
  if (code != cudaSuccess) (void)cudaGetLastError();
}

}  // namespace

// The device record. Pointers and handles are null until created; `stream` is set only once
// initialisation has completed, so a set stream means every slot resource exists.
struct DeviceContext::Device {
  int device;
  std::uint64_t* lanes_buf = nullptr;
  std::uint32_t lanes_cap = 0;
  DRes* d_res[2] = {nullptr, nullptr};
  DRes* h_res[2] = {nullptr, nullptr};
  int slot_profile[2] = {0, 0};
  cudaEvent_t done[2] = {nullptr, nullptr};
  cudaStream_t stream = nullptr;
  std::uint64_t launched = 0;
  std::uint64_t collected = 0;

  std::uint64_t in_flight() const { return launched - collected; }

  // Releases the slot resources that exist, in the order they were created.
  void release_slots() {
    for (int slot = 0; slot < 2; ++slot) {
      if (d_res[slot] != nullptr) ignore_result(cudaFree(d_res[slot]));
      if (h_res[slot] != nullptr) ignore_result(cudaFreeHost(h_res[slot]));
      if (done[slot] != nullptr) ignore_result(cudaEventDestroy(done[slot]));
      d_res[slot] = nullptr;
      h_res[slot] = nullptr;
      done[slot] = nullptr;
    }
  }
};

DeviceContext::DeviceContext(int device) : dev_(std::make_unique<Device>()) {
  dev_->device = device;
}

DeviceContext::~DeviceContext() {
  Device& d = *dev_;
  ignore_result(cudaSetDevice(d.device));
  if (d.stream != nullptr) {
    ignore_result(cudaStreamSynchronize(d.stream));
    d.release_slots();
    ignore_result(cudaStreamDestroy(d.stream));
  }
  if (d.lanes_buf != nullptr) ignore_result(cudaFree(d.lanes_buf));
}

bool DeviceContext::initialise() {
  Device& d = *dev_;
  if (d.stream != nullptr) return true;
  ignore_result(cudaSetDeviceFlags(cudaDeviceScheduleBlockingSync));
  cudaStream_t stream = nullptr;
  if (!succeeded(cudaStreamCreateWithFlags(&stream, cudaStreamNonBlocking), error_)) return false;
  const auto create_slot = [&](int slot) {
    void* device_buffer = nullptr;
    if (!succeeded(cudaMalloc(&device_buffer, sizeof(DRes)), error_)) return false;
    d.d_res[slot] = static_cast<DRes*>(device_buffer);
    void* host_buffer = nullptr;
    if (!succeeded(cudaHostAlloc(&host_buffer, sizeof(DRes), cudaHostAllocDefault), error_)) {
      return false;
    }
    d.h_res[slot] = static_cast<DRes*>(host_buffer);
    cudaEvent_t event = nullptr;
    if (!succeeded(cudaEventCreateWithFlags(&event, cudaEventBlockingSync | cudaEventDisableTiming),
                   error_)) {
      return false;
    }
    d.done[slot] = event;
    return true;
  };
  if (!create_slot(0) || !create_slot(1)) {
    // Undo the partial set-up: the context stays uninitialised and a later call starts over.
    d.release_slots();
    ignore_result(cudaStreamDestroy(stream));
    return false;
  }
  d.stream = stream;
  return true;
}

bool DeviceContext::request_ok(int profile, std::uint32_t count, unsigned max_in_flight) {
  if (!valid_profile(profile) || count == 0 || count % granularity(profile) != 0 ||
      dev_->in_flight() > max_in_flight) {
    error_ = kBadRequest;
    return false;
  }
  return true;
}

bool DeviceContext::launch(int profile, const DJob& job, std::uint32_t count) {
  Device& d = *dev_;
  if (!succeeded(cudaSetDevice(d.device), error_) || !initialise() ||
      !request_ok(profile, count, 1)) {
    return false;
  }
  const int slot = static_cast<int>(d.launched % 2);
  d.slot_profile[slot] = profile;
  if (!succeeded(cudaMemsetAsync(d.d_res[slot], 0, sizeof(DRes), d.stream), error_)) return false;
  dispatch(profile, job, d.d_res[slot], nullptr, count, d.stream);
  if (!succeeded(cudaGetLastError(), error_) ||
      !succeeded(cudaMemcpyAsync(d.h_res[slot], d.d_res[slot], sizeof(DRes),
                                 cudaMemcpyDeviceToHost, d.stream),
                 error_) ||
      !succeeded(cudaEventRecord(d.done[slot], d.stream), error_)) {
    return false;
  }
  ++d.launched;
  return true;
}

bool DeviceContext::collect(DRes& out) {
  Device& d = *dev_;
  if (!succeeded(cudaSetDevice(d.device), error_)) return false;
  if (d.launched == d.collected) {
    error_ = kNothingInFlight;
    return false;
  }
  const int slot = static_cast<int>(d.collected % 2);
  if (!succeeded(cudaEventSynchronize(d.done[slot]), error_)) return false;
  std::memcpy(&out, d.h_res[slot], sizeof(DRes));
  if (out.count != 0 && interleaved_profile(d.slot_profile[slot])) {
    const std::uint32_t stored = out.count < kResultSlots ? out.count : kResultSlots;
    for (std::uint32_t i = 0; i < stored; ++i) {
      out.nonce[i] = nonce_map(d.slot_profile[slot], out.nonce[i]);
    }
  }
  ++d.collected;
  return true;
}

bool DeviceContext::launch_and_collect(int profile, const DJob& job, std::uint32_t count,
                                       DRes& out) {
  return launch(profile, job, count) && collect(out);
}

bool DeviceContext::check(int profile, const DJob& job, std::uint32_t count,
                          std::uint64_t* lanes_out) {
  Device& d = *dev_;
  if (!succeeded(cudaSetDevice(d.device), error_) || !initialise() ||
      !request_ok(profile, count, 0)) {
    return false;
  }
  if (lanes_out == nullptr) {
    error_ = kBadRequest;
    return false;
  }
  const std::size_t bytes = sizeof(std::uint64_t) * count;
  if (d.lanes_cap < count) {
    if (d.lanes_buf != nullptr) ignore_result(cudaFree(d.lanes_buf));
    d.lanes_buf = nullptr;
    d.lanes_cap = 0;
    void* buffer = nullptr;
    if (!succeeded(cudaMalloc(&buffer, bytes), error_)) return false;
    d.lanes_buf = static_cast<std::uint64_t*>(buffer);
    d.lanes_cap = count;
  }
  DJob quiet = job;
  quiet.target64 = 0;   // the run is about lanes, not candidates
  if (!succeeded(cudaMemsetAsync(d.d_res[0], 0, sizeof(DRes), d.stream), error_)) return false;
  const bool interleaved = interleaved_profile(profile);
  if (interleaved) {
    dispatch_lanes3(quiet, d.lanes_buf, count, d.stream);
  } else {
    dispatch(profile, quiet, d.d_res[0], d.lanes_buf, count, d.stream);
  }
  if (!succeeded(cudaGetLastError(), error_) ||
      !succeeded(cudaStreamSynchronize(d.stream), error_) ||
      !succeeded(cudaMemcpy(lanes_out, d.lanes_buf, bytes, cudaMemcpyDeviceToHost), error_)) {
    return false;
  }
  if (interleaved) {
    for (std::uint32_t j = 0; j < count; ++j) lanes_out[j] = deinterleave(lanes_out[j]);
  }
  return true;
}

int device_count() {
  int count = 0;
  if (cudaGetDeviceCount(&count) != cudaSuccess) {
    (void)cudaGetLastError();
    return 0;
  }
  return count;
}

namespace {

bool read_properties(int device, cudaDeviceProp& prop) {
  if (cudaGetDeviceProperties(&prop, device) != cudaSuccess) {
    (void)cudaGetLastError();
    return false;
  }
  return true;
}

}  // namespace

std::string device_name(int device) {
  cudaDeviceProp prop{};
  if (!read_properties(device, prop)) return "?";
  prop.name[sizeof(prop.name) - 1] = '\0';
  return prop.name;
}

std::uint64_t device_memory(int device) {
  cudaDeviceProp prop{};
  if (!read_properties(device, prop)) return 0;
  return static_cast<std::uint64_t>(prop.totalGlobalMem);
}

}  // namespace tavo
