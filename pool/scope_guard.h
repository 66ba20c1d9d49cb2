// Runs a cleanup action when the scope ends, on every path out of it, unless released first.
// Owned by the scope that declares it; not shared between threads.
#pragma once

#include <utility>

namespace tavo {

template <typename F>
class ScopeGuard {
 public:
  explicit ScopeGuard(F action) : action_(std::move(action)) {}
  ScopeGuard(const ScopeGuard&) = delete;
  ScopeGuard& operator=(const ScopeGuard&) = delete;
  ~ScopeGuard() {
    if (armed_) action_();
  }

  // The resource found a new owner: do not run the action.
  void release() { armed_ = false; }

 private:
  F action_;
  bool armed_ = true;
};

}  // namespace tavo
