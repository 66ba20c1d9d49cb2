// Worker is the body of one worker thread: it owns the device context of its GPU and everything
// the thread keeps between passes (local job copy, extranonce2 counter, current Work, the batches
// in flight). It proves and tunes the device on the first usable job, then keeps two batches in
// flight, credits each completed batch to its WorkerState and hands its results to verification.
//
// Threading: a Worker is made, run and destroyed on its own thread. It reads the miner's job only
// under the miner's mutex, in short sections that never span a GPU call, a hash, a submit or a
// callback; its WorkerState is written with atomic operations only.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "gpu/device_context.h"
#include "miner/miner.h"
#include "miner/work.h"

namespace tavo {

// Idle workers re-test the job at least this often, so a wake-up sent without the lock (as stop
// sends it) is never lost for longer.
inline constexpr std::chrono::milliseconds kIdleWait{200};

// A launched, not yet collected batch: the Work it searches and its number of indices.
struct Batch {
  std::shared_ptr<const Work> work;
  std::uint32_t count = 0;
};

// The in-flight list: first in, first out, never longer than two.
class BatchQueue {
 public:
  static constexpr std::size_t kCapacity = 2;
  bool empty() const { return size_ == 0; }
  bool full() const { return size_ == kCapacity; }
  std::size_t size() const { return size_; }
  void push(Batch b) { slots_[(head_ + size_++) % kCapacity] = std::move(b); }
  Batch pop() {
    Batch b = std::move(slots_[head_]);
    head_ = (head_ + 1) % kCapacity;
    --size_;
    return b;
  }
  void clear() {
    while (!empty()) pop();
  }

 private:
  std::array<Batch, kCapacity> slots_;
  std::size_t head_ = 0;
  std::size_t size_ = 0;
};

class Worker {
 public:
  Worker(Miner& miner, int index);
  Worker(const Worker&) = delete;
  Worker& operator=(const Worker&) = delete;

  // Passes until the miner stops or the device fails.
  void run();

 private:
  // One pass of the loop; false when the thread must end.
  bool pass();
  // Collects what is in flight without crediting or verifying it (the miner is stopping).
  void drain();
  // Self-check and auto-tune; false when the thread must end.
  bool tune_device();
  // A new Work from the local job, made current; the nonce range starts again at 0.
  void new_work();
  // Launches batches of the current Work until two are in flight.
  bool fill_pipeline();
  // Collects the oldest batch into `batch` and `res`.
  bool collect_oldest(Batch& batch, DRes& res);
  // Reports "stopped: " + text, marks the worker failed and releases what it holds; returns
  // false so that callers can end the pass with it.
  bool fail(const std::string& text);

  Miner& miner_;
  const int index_;
  WorkerState& state_;
  DeviceContext ctx_;

  Job local_job_;
  std::uint64_t last_seq_ = 0;
  std::uint32_t extranonce2_counter_ = 0;
  NonceCursor cursor_;
  std::uint32_t batch_size_ = 0;
  int profile_ = -1;
  bool tuned_ = false;
  std::shared_ptr<const Work> current_;
  BatchQueue in_flight_;
};

}  // namespace tavo
