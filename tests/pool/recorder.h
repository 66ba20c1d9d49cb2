// Recorder: collects what a tavo::Stratum reports through its three callbacks and lets the test
// thread wait, with a bound, for a given event. The callbacks run on the session thread; every
// member is guarded by one mutex.
#pragma once

#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "pool/clock.h"
#include "pool/stratum.h"

namespace tavo::test {

using namespace std::chrono_literals;

struct LogEntry {
  std::string text;
  std::chrono::milliseconds clock_slept{0};  // the test clock's slept total when logged
};

class Recorder {
 public:
  // Installs the callbacks. `slept`, when given, is sampled with every log line.
  void attach(Stratum& client, std::function<std::chrono::milliseconds()> slept = {}) {
    slept_ = std::move(slept);
    client.on_log = [this](const std::string& text) {
      std::lock_guard<std::mutex> lock(mutex_);
      logs_.push_back({text, slept_ ? slept_() : std::chrono::milliseconds(0)});
      cv_.notify_all();
    };
    client.on_job = [this](const Job& job) {
      std::lock_guard<std::mutex> lock(mutex_);
      jobs_.push_back(job);
      cv_.notify_all();
    };
    client.on_share = [this](bool accepted, const std::string& reason) {
      std::lock_guard<std::mutex> lock(mutex_);
      shares_.emplace_back(accepted, reason);
      cv_.notify_all();
    };
  }

  // Waits until at least `n` log lines equal `text`.
  bool wait_log(const std::string& text, std::chrono::milliseconds timeout = 5s, std::size_t n = 1) {
    return wait([&] { return count_locked(text) >= n; }, timeout);
  }
  // Waits until a log line satisfies `pred`.
  bool wait_log_if(const std::function<bool(const std::string&)>& pred,
                   std::chrono::milliseconds timeout = 5s, std::size_t n = 1) {
    return wait([&] {
      std::size_t c = 0;
      for (const auto& e : logs_) c += pred(e.text) ? 1 : 0;
      return c >= n;
    }, timeout);
  }
  bool wait_jobs(std::size_t n, std::chrono::milliseconds timeout = 5s) {
    return wait([&] { return jobs_.size() >= n; }, timeout);
  }
  bool wait_shares(std::size_t n, std::chrono::milliseconds timeout = 5s) {
    return wait([&] { return shares_.size() >= n; }, timeout);
  }

  std::size_t count(const std::string& text) {
    std::lock_guard<std::mutex> lock(mutex_);
    return count_locked(text);
  }
  std::vector<LogEntry> logs() {
    std::lock_guard<std::mutex> lock(mutex_);
    return logs_;
  }
  std::vector<std::string> log_texts() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> out;
    for (const auto& e : logs_) out.push_back(e.text);
    return out;
  }
  std::vector<Job> jobs() {
    std::lock_guard<std::mutex> lock(mutex_);
    return jobs_;
  }
  std::vector<std::pair<bool, std::string>> shares() {
    std::lock_guard<std::mutex> lock(mutex_);
    return shares_;
  }

 private:
  std::size_t count_locked(const std::string& text) const {
    std::size_t c = 0;
    for (const auto& e : logs_) c += e.text == text ? 1 : 0;
    return c;
  }
  bool wait(const std::function<bool()>& done, std::chrono::milliseconds timeout) {
    std::unique_lock<std::mutex> lock(mutex_);
    return cv_.wait_for(lock, timeout, done);
  }

  std::function<std::chrono::milliseconds()> slept_;
  std::mutex mutex_;
  std::condition_variable cv_;
  std::vector<LogEntry> logs_;
  std::vector<Job> jobs_;
  std::vector<std::pair<bool, std::string>> shares_;
};

}  // namespace tavo::test
