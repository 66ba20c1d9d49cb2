// DeviceContext: everything one worker thread needs on its GPU. It owns a stream, two result
// slots (a 256-byte DRes in device memory, a page-locked host copy and a completion event each)
// and a check buffer for the self-check, all created on first use; destruction releases exactly
// what was created. It offers an asynchronous `launch` of a search batch, `collect` of the oldest
// batch, the synchronous `launch_and_collect`, and the synchronous `check` of digest lanes.
// Up to two batches are in flight; they are collected strictly in launch order.
//
// Every operation selects the context's device first, returns false on failure and leaves the
// reason in last_error() ("bad request", "nothing in flight" or the runtime's error text); on
// success the text keeps whatever it held. This header shows no CUDA type.
//
// Threading: a context belongs to one thread (the worker that serves its device) and holds no
// lock; contexts of different devices run side by side. The free query functions below may be
// called from any thread.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "gpu/djob.h"

namespace tavo {

class DeviceContext {
 public:
  // Makes no runtime call; the device is first touched by the first operation.
  explicit DeviceContext(int device);
  ~DeviceContext();

  DeviceContext(const DeviceContext&) = delete;
  DeviceContext& operator=(const DeviceContext&) = delete;

  // Starts a search batch of `count` values from job.nonce_base with `profile`'s kernel. The job
  // is copied; the caller may reuse its record at once. "bad request" (nothing changes) for an
  // unknown profile, a count that is 0 or no multiple of granularity(profile), or two batches
  // already in flight.
  bool launch(int profile, const DJob& job, std::uint32_t count);

  // Waits for the oldest batch in flight and copies its result into `out`, with the first
  // min(count, 63) nonces as header nonces for every profile. "nothing in flight" when no batch
  // is in flight; `out` is then untouched.
  bool collect(DRes& out);

  // launch, then (when it succeeded) collect: with nothing else in flight, the batch just
  // launched.
  bool launch_and_collect(int profile, const DJob& job, std::uint32_t count, DRes& out);

  // Writes lanes_out[j] = digest_lane3 of header nonce nonce_map(profile, job.nonce_base + j)
  // for j < count (wrapping at 2^32); lanes_out must hold count entries. Synchronous. Same
  // request rules as launch, and "bad request" while any batch is in flight. Records no
  // candidates and leaves the batch counters alone.
  bool check(int profile, const DJob& job, std::uint32_t count, std::uint64_t* lanes_out);

  const std::string& last_error() const { return error_; }

 private:
  struct Device;   // the device record: CUDA handles and the batch counters

  bool initialise();
  bool request_ok(int profile, std::uint32_t count, unsigned max_in_flight);

  std::unique_ptr<Device> dev_;
  std::string error_;
};

// Number of devices; 0 when the runtime query fails.
int device_count();
// The device's name; "?" when its properties cannot be read.
std::string device_name(int device);
// The device's total global memory in bytes; 0 when its properties cannot be read.
std::uint64_t device_memory(int device);

}  // namespace tavo
