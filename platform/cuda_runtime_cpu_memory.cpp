// Memory of the CPU stand-in: device and page-locked host buffers (host memory, registered so
// that every copy and memset can be checked against them), and the copy and memset calls.
#include <cstring>
#include <new>

#include "platform/cuda_runtime_cpu_internal.h"

using tavo_cpu::BufferKind;
using tavo_cpu::Entry;
using tavo_cpu::Runtime;
using tavo_cpu::current_device;
using tavo_cpu::fail;

namespace {

constexpr std::align_val_t kAlignment{256};
// Fresh device memory holds this pattern rather than zeros, as a GPU's does not come cleared.
constexpr int kFreshByte = 0xCD;

cudaError_t allocate(void** ptr, std::size_t size, BufferKind kind) {
  Runtime& rt = Runtime::get();
  if (ptr == nullptr) return fail(cudaErrorInvalidValue);
  const int device = current_device();
  if (!rt.valid_device(device)) {
    return fail(rt.device_count() == 0 ? cudaErrorNoDevice : cudaErrorInvalidDevice);
  }
  if (rt.device_error(device) != cudaSuccess) return fail(rt.device_error(device));
  if (rt.alloc_fault(kind, device)) return fail(cudaErrorMemoryAllocation);
  if (size == 0) {
    *ptr = nullptr;
    return cudaSuccess;
  }
  void* p = ::operator new(size, kAlignment, std::nothrow);
  if (p == nullptr) return fail(cudaErrorMemoryAllocation);
  std::memset(p, kFreshByte, size);
  rt.add_buffer(p, size, kind, device);
  *ptr = p;
  return cudaSuccess;
}

cudaError_t release(void* ptr, BufferKind kind) {
  Runtime& rt = Runtime::get();
  if (ptr == nullptr) return cudaSuccess;
  BufferKind found_kind;
  int device = 0;
  if (!rt.find_buffer(ptr, 0, &found_kind, &device) || found_kind != kind) {
    return fail(cudaErrorInvalidValue);
  }
  // Like the real call, freeing waits for the device's queued work, which may still use it.
  for (const auto& stream : rt.device_streams(device)) stream->wait_for(stream->last_enqueued());
  if (!rt.remove_buffer(ptr, kind, &device)) return fail(cudaErrorInvalidValue);
  ::operator delete(ptr, kAlignment);
  return cudaSuccess;
}

bool in_device_memory(const void* ptr, std::size_t size) {
  BufferKind kind;
  int device = 0;
  return Runtime::get().find_buffer(ptr, size, &kind, &device) && kind == BufferKind::kDevice;
}

bool touches_device_memory(const void* ptr) {
  BufferKind kind;
  int device = 0;
  return Runtime::get().find_buffer(ptr, 1, &kind, &device) && kind == BufferKind::kDevice;
}

// Checks the pointers of a copy against its direction.
cudaError_t check_copy(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind) {
  if (count == 0) return cudaSuccess;
  if (dst == nullptr || src == nullptr) return cudaErrorInvalidValue;
  bool ok = false;
  switch (kind) {
    case cudaMemcpyHostToHost:
      ok = !touches_device_memory(dst) && !touches_device_memory(src);
      break;
    case cudaMemcpyHostToDevice:
      ok = in_device_memory(dst, count) && !touches_device_memory(src);
      break;
    case cudaMemcpyDeviceToHost:
      ok = in_device_memory(src, count) && !touches_device_memory(dst);
      break;
    case cudaMemcpyDeviceToDevice:
      ok = in_device_memory(dst, count) && in_device_memory(src, count);
      break;
    case cudaMemcpyDefault:
      ok = true;
      break;
  }
  return ok ? cudaSuccess : cudaErrorInvalidValue;
}

}  // namespace

cudaError_t cudaMalloc(void** ptr, std::size_t size) {
  Runtime::get().count(Entry::kMalloc);
  return allocate(ptr, size, BufferKind::kDevice);
}

cudaError_t cudaFree(void* ptr) {
  Runtime::get().count(Entry::kFree);
  return release(ptr, BufferKind::kDevice);
}

cudaError_t cudaHostAlloc(void** ptr, std::size_t size, unsigned flags) {
  Runtime::get().count(Entry::kHostAlloc);
  if ((flags & ~0x0Fu) != 0) return fail(cudaErrorInvalidValue);
  return allocate(ptr, size, BufferKind::kHost);
}

cudaError_t cudaFreeHost(void* ptr) {
  Runtime::get().count(Entry::kFreeHost);
  return release(ptr, BufferKind::kHost);
}

cudaError_t cudaMemsetAsync(void* ptr, int value, std::size_t count, cudaStream_t stream) {
  Runtime& rt = Runtime::get();
  rt.count(Entry::kMemsetAsync);
  cudaError_t error = cudaSuccess;
  const auto target = tavo_cpu::resolve_stream(stream, &error);
  if (!target) return error;
  if (count == 0) return cudaSuccess;
  if (!in_device_memory(ptr, count)) return fail(cudaErrorInvalidValue);
  const int device = target->device;
  target->enqueue([ptr, value, count, device] {
    if (Runtime::get().device_error(device) == cudaSuccess) std::memset(ptr, value, count);
  });
  return cudaSuccess;
}

cudaError_t cudaMemcpyAsync(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind,
                            cudaStream_t stream) {
  Runtime& rt = Runtime::get();
  rt.count(Entry::kMemcpyAsync);
  cudaError_t error = cudaSuccess;
  const auto target = tavo_cpu::resolve_stream(stream, &error);
  if (!target) return error;
  if (error = check_copy(dst, src, count, kind); error != cudaSuccess) return fail(error);
  if (count == 0) return cudaSuccess;
  const int device = target->device;
  target->enqueue([dst, src, count, device] {
    if (Runtime::get().device_error(device) == cudaSuccess) std::memmove(dst, src, count);
  });
  return cudaSuccess;
}

cudaError_t cudaMemcpy(void* dst, const void* src, std::size_t count, cudaMemcpyKind kind) {
  Runtime& rt = Runtime::get();
  rt.count(Entry::kMemcpy);
  const int device = current_device();
  if (!rt.valid_device(device)) {
    return fail(rt.device_count() == 0 ? cudaErrorNoDevice : cudaErrorInvalidDevice);
  }
  if (const cudaError_t error = check_copy(dst, src, count, kind); error != cudaSuccess) {
    return fail(error);
  }
  // A synchronous copy runs after the work queued on the default stream; the streams the back
  // end creates are non-blocking and so are not waited for, as on a GPU.
  const auto stream = rt.default_stream(device);
  stream->wait_for(stream->last_enqueued());
  if (const cudaError_t error = rt.device_error(device); error != cudaSuccess) return fail(error);
  if (count != 0) std::memmove(dst, src, count);
  return cudaSuccess;
}
