#include "miner/hashrate.h"

#include <algorithm>
#include <utility>

#include "miner/miner.h"

namespace tavo {

void HashrateHistory::push(std::vector<std::uint64_t> snapshot) {
  snapshots_.push_back(std::move(snapshot));
  while (snapshots_.size() > kMaxSnapshots) snapshots_.pop_front();
}

void HashrateHistory::sample(const Miner& miner) {
  std::vector<std::uint64_t> snapshot;
  snapshot.reserve(miner.workers.size());
  for (const auto& w : miner.workers) snapshot.push_back(w->hashes.load());
  push(std::move(snapshot));
}

const std::vector<std::uint64_t>* HashrateHistory::base(std::size_t window,
                                                          std::size_t& intervals) const {
  const std::size_t n = snapshots_.size();
  if (n < 2 || window == 0) return nullptr;
  const std::size_t a = std::min(window + 1, n);
  intervals = a - 1;
  return &snapshots_[n - a];
}

double HashrateHistory::rate(std::size_t worker, std::size_t window) const {
  std::size_t intervals = 0;
  const std::vector<std::uint64_t>* old = base(window, intervals);
  if (old == nullptr) return 0.0;
  const std::vector<std::uint64_t>& now = snapshots_.back();
  if (worker >= old->size() || worker >= now.size()) return 0.0;
  const std::uint64_t d = now[worker] - (*old)[worker];
  return static_cast<double>(d) / static_cast<double>(intervals);
}

double HashrateHistory::rate_all(std::size_t window) const {
  std::size_t intervals = 0;
  const std::vector<std::uint64_t>* old = base(window, intervals);
  if (old == nullptr) return 0.0;
  const std::vector<std::uint64_t>& now = snapshots_.back();
  // Snapshots of one miner all have the same length; a shorter one must not be read past its end.
  const std::size_t k_end = std::min(old->size(), now.size());
  std::uint64_t d = 0;
  for (std::size_t k = 0; k < k_end; ++k) d += now[k] - (*old)[k];
  return static_cast<double>(d) / static_cast<double>(intervals);
}

}  // namespace tavo
