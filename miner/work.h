// A Work is one coinbase: a copy of the job, one extranonce2, the block header built from them and
// the device job block every batch of that coinbase is launched from. It is immutable once built
// and shared by reference count between the worker's current-work slot and its in-flight batches,
// so a batch keeps the coinbase it was searched on alive until it has been verified.
//
// NonceCursor walks the 32-bit index space of one Work in equal batches. Both belong to one worker
// thread; a built Work may be read from any thread.
#pragma once

#include <cstdint>
#include <memory>

#include "gpu/djob.h"
#include "work/job.h"

namespace tavo {

struct Work {
  Job job;              // the job it was built from
  Bytes extranonce2;    // this coinbase's extranonce2
  Header header;        // nonce 0
  DJob djob;            // "QRBPOW01" + header, target64 from the job's targets, nonce base 0
};

// Builds the Work of `job` with the next extranonce2 of worker `worker_index`, advancing
// `counter` by one. Precondition: the job is usable.
std::shared_ptr<const Work> make_work(const Job& job, int worker_index, std::uint32_t& counter);

// Position of the next batch inside the current Work. Batches cover [0, b), [b, 2b), ... and a
// batch is launched only while it ends below 2^32, so the range that would end exactly at
// 2^32 - 1 goes unsearched and the next batch moves to a fresh coinbase instead.
class NonceCursor {
 public:
  static constexpr std::uint64_t kIndexSpace = std::uint64_t{1} << 32;

  // True when a batch of `count` indices does not fit: a new Work is due.
  bool exhausted(std::uint32_t count) const {
    return std::uint64_t{base_} + count >= kIndexSpace;
  }

  // First index of the next batch.
  std::uint32_t base() const { return base_; }

  // Moves past a launched batch of `count` indices (32-bit arithmetic).
  void advance(std::uint32_t count) { base_ += count; }

  // Back to index 0, for a new Work.
  void reset() { base_ = 0; }

 private:
  std::uint32_t base_ = 0;
};

}  // namespace tavo
