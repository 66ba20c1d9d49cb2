// Streams and events of the CPU stand-in. A stream is an in-order queue with an executor thread
// of its own; an event remembers the stream and the sequence number of its last record, and
// waiting on it sleeps until the stream's executor has passed that point.
#include "platform/cuda_runtime_cpu_internal.h"

using tavo_cpu::Entry;
using tavo_cpu::Event;
using tavo_cpu::Runtime;
using tavo_cpu::Stream;
using tavo_cpu::current_device;
using tavo_cpu::fail;

Stream::Stream(int dev, unsigned stream_flags)
    : device(dev), flags(stream_flags), executor_([this] { run(); }) {}

Stream::~Stream() {
  {
    std::lock_guard<std::mutex> lock(mutex_);
    closing_ = true;
  }
  changed_.notify_all();
  executor_.join();
}

std::uint64_t Stream::enqueue(std::function<void()> op) {
  std::uint64_t sequence;
  {
    std::lock_guard<std::mutex> lock(mutex_);
    ops_.push_back(std::move(op));
    sequence = ++enqueued_;
  }
  changed_.notify_all();
  return sequence;
}

std::uint64_t Stream::last_enqueued() {
  std::lock_guard<std::mutex> lock(mutex_);
  return enqueued_;
}

void Stream::wait_for(std::uint64_t sequence) {
  std::unique_lock<std::mutex> lock(mutex_);
  changed_.wait(lock, [&] { return completed_ >= sequence; });
}

void Stream::run() {
  for (;;) {
    std::function<void()> op;
    {
      std::unique_lock<std::mutex> lock(mutex_);
      changed_.wait(lock, [&] { return !ops_.empty() || closing_; });
      if (ops_.empty()) return;   // closing, and everything queued has run
      op = std::move(ops_.front());
      ops_.pop_front();
    }
    op();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      ++completed_;
    }
    changed_.notify_all();
  }
}

cudaError_t cudaStreamCreateWithFlags(cudaStream_t* stream, unsigned flags) {
  Runtime& rt = Runtime::get();
  rt.count(Entry::kStreamCreateWithFlags);
  if (stream == nullptr || (flags & ~cudaStreamNonBlocking) != 0) {
    return fail(cudaErrorInvalidValue);
  }
  const int device = current_device();
  if (!rt.valid_device(device)) {
    return fail(rt.device_count() == 0 ? cudaErrorNoDevice : cudaErrorInvalidDevice);
  }
  if (const cudaError_t error = rt.device_error(device); error != cudaSuccess) return fail(error);
  auto created = std::make_shared<Stream>(device, flags);
  *stream = created.get();
  rt.add_stream(std::move(created));
  return cudaSuccess;
}

cudaError_t cudaStreamSynchronize(cudaStream_t stream) {
  Runtime& rt = Runtime::get();
  rt.count(Entry::kStreamSynchronize);
  cudaError_t error = cudaSuccess;
  const auto target = tavo_cpu::resolve_stream(stream, &error);
  if (!target) return error;
  target->wait_for(target->last_enqueued());
  return fail(rt.device_error(target->device));
}

cudaError_t cudaStreamDestroy(cudaStream_t stream) {
  Runtime& rt = Runtime::get();
  rt.count(Entry::kStreamDestroy);
  if (stream == nullptr) return fail(cudaErrorInvalidResourceHandle);
  std::shared_ptr<Stream> taken = rt.take_stream(stream);
  if (!taken) return fail(cudaErrorInvalidResourceHandle);
  // The queued work still runs; the executor is joined when the last holder (this call, or an
  // event recorded on the stream) lets go.
  return cudaSuccess;
}

cudaError_t cudaEventCreateWithFlags(cudaEvent_t* event, unsigned flags) {
  Runtime& rt = Runtime::get();
  rt.count(Entry::kEventCreateWithFlags);
  if (event == nullptr || (flags & ~(cudaEventBlockingSync | cudaEventDisableTiming)) != 0) {
    return fail(cudaErrorInvalidValue);
  }
  if (!rt.valid_device(current_device())) {
    return fail(rt.device_count() == 0 ? cudaErrorNoDevice : cudaErrorInvalidDevice);
  }
  auto created = std::make_unique<Event>(flags);
  *event = created.get();
  rt.add_event(std::move(created));
  return cudaSuccess;
}

cudaError_t cudaEventRecord(cudaEvent_t event, cudaStream_t stream) {
  Runtime& rt = Runtime::get();
  rt.count(Entry::kEventRecord);
  if (event == nullptr || !rt.has_event(event)) return fail(cudaErrorInvalidResourceHandle);
  cudaError_t error = cudaSuccess;
  auto target = tavo_cpu::resolve_stream(stream, &error);
  if (!target) return error;
  const std::uint64_t sequence = target->last_enqueued();
  std::lock_guard<std::mutex> lock(event->mutex);
  event->stream = std::move(target);
  event->sequence = sequence;
  return cudaSuccess;
}

cudaError_t cudaEventSynchronize(cudaEvent_t event) {
  Runtime& rt = Runtime::get();
  rt.count(Entry::kEventSynchronize);
  if (event == nullptr || !rt.has_event(event)) return fail(cudaErrorInvalidResourceHandle);
  std::shared_ptr<Stream> stream;
  std::uint64_t sequence;
  {
    std::lock_guard<std::mutex> lock(event->mutex);
    stream = event->stream;
    sequence = event->sequence;
  }
  if (!stream) return cudaSuccess;   // never recorded: nothing to wait for
  stream->wait_for(sequence);
  return fail(rt.device_error(stream->device));
}

cudaError_t cudaEventDestroy(cudaEvent_t event) {
  Runtime& rt = Runtime::get();
  rt.count(Entry::kEventDestroy);
  if (event == nullptr || !rt.take_event(event)) return fail(cudaErrorInvalidResourceHandle);
  return cudaSuccess;
}
