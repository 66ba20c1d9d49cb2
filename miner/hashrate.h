// HashrateHistory keeps the driver's once-a-second snapshots of every worker's cumulative hash
// counter (at most 901, oldest dropped first) and turns them into rates over a window of W
// seconds, for one worker or for all together. The interval between two snapshots counts as one
// second. It belongs to the driver's thread alone: no locking, not safe for concurrent use.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <vector>

namespace tavo {

class Miner;

class HashrateHistory {
 public:
  // 900 one-second intervals: the longest window the report shows is 15 minutes.
  static constexpr std::size_t kMaxSnapshots = 901;

  // Appends `snapshot` (one counter per worker, in worker order) and drops the oldest snapshot
  // when more than kMaxSnapshots are held.
  void push(std::vector<std::uint64_t> snapshot);

  // Reads every worker's `hashes` in order (atomic loads) and pushes the result.
  void sample(const Miner& miner);

  // Hashes per second of worker `worker` over the last `window` seconds, or over the whole
  // history when it is shorter. 0 with fewer than two snapshots, or for a worker that the
  // snapshots do not cover.
  double rate(std::size_t worker, std::size_t window) const;

  // The same for the sum of all workers.
  double rate_all(std::size_t window) const;

  std::size_t size() const { return snapshots_.size(); }

 private:
  // The snapshot `window` intervals before the newest (clamped to the oldest held) and the number
  // of intervals between them; null when there are fewer than two snapshots or window is 0.
  const std::vector<std::uint64_t>* base(std::size_t window, std::size_t& intervals) const;

  std::deque<std::vector<std::uint64_t>> snapshots_;
};

}  // namespace tavo
