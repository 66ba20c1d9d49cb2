// Shared pieces of the mining engine's tests: a recording double of the pool client's submit (with
// a gate that can hold a worker inside submit), a thread-safe log of status lines and block
// calls, test jobs, bounded waiting, and the independent re-check of a submitted share.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "pool/hex.h"
#include "pool/stratum.h"
#include "work/job.h"
#include "work/pow.h"

namespace tavo::test {

// Bounded waits: generous because sanitizer builds run the CPU stand-in many times slower.
inline constexpr std::chrono::seconds kLongWait{90};

// Polls `done` every few milliseconds until it holds or `timeout` passes.
inline bool wait_until(const std::function<bool()>& done,
                       std::chrono::milliseconds timeout = kLongWait) {
  const auto deadline = std::chrono::steady_clock::now() + timeout;
  while (!done()) {
    if (std::chrono::steady_clock::now() >= deadline) return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  return true;
}

struct Share {
  std::string job_id;
  std::string extranonce2;
  std::uint32_t ntime = 0;
  std::uint32_t nonce = 0;
};

// Records every submit instead of sending it. With hold_from(n), the call that records share
// number n (counting from 1) and every later one wait inside submit until release().
class RecordingPool : public Stratum {
 public:
  void submit(const std::string& job_id, const std::string& extranonce2_hex,
              std::uint32_t ntime, std::uint32_t nonce) override {
    std::unique_lock<std::mutex> lock(m_);
    shares_.push_back(Share{job_id, extranonce2_hex, ntime, nonce});
    events_.push_back("submit");
    changed_.notify_all();
    changed_.wait(lock, [&] { return hold_from_ == 0 || shares_.size() < hold_from_; });
  }

  void hold_from(std::size_t n) {
    std::lock_guard<std::mutex> lock(m_);
    hold_from_ = n;
  }
  void release() {
    std::lock_guard<std::mutex> lock(m_);
    hold_from_ = 0;
    changed_.notify_all();
  }

  // Appends a marker to the same event list as the submits (for ordering checks).
  void note(const std::string& event) {
    std::lock_guard<std::mutex> lock(m_);
    events_.push_back(event);
  }

  std::vector<Share> shares() const {
    std::lock_guard<std::mutex> lock(m_);
    return shares_;
  }
  std::size_t count() const {
    std::lock_guard<std::mutex> lock(m_);
    return shares_.size();
  }
  std::vector<std::string> events() const {
    std::lock_guard<std::mutex> lock(m_);
    return events_;
  }

 private:
  mutable std::mutex m_;
  std::condition_variable changed_;
  std::size_t hold_from_ = 0;
  std::vector<Share> shares_;
  std::vector<std::string> events_;
};

// Status lines per worker, as the miner reports them.
class StatusLog {
 public:
  std::function<void(int, const std::string&)> callback() {
    return [this](int worker, const std::string& text) {
      std::lock_guard<std::mutex> lock(m_);
      lines_.emplace_back(worker, text);
    };
  }
  std::vector<std::string> of(int worker) const {
    std::lock_guard<std::mutex> lock(m_);
    std::vector<std::string> out;
    for (const auto& [w, text] : lines_) {
      if (w == worker) out.push_back(text);
    }
    return out;
  }
  std::size_t size() const {
    std::lock_guard<std::mutex> lock(m_);
    return lines_.size();
  }

 private:
  mutable std::mutex m_;
  std::vector<std::pair<int, std::string>> lines_;
};

inline Target target_with_top_byte(std::uint8_t top) {
  Target t;
  t.fill(0xFF);
  t[0] = top;
  return t;
}

// A usable job. `tag` varies the coinbase, the id and ntime; `block` varies prev_hash.
inline Job make_job(std::uint64_t seq, int tag, int block, const Target& share_target) {
  Job job;
  job.seq = seq;
  job.job_id = "job" + std::to_string(tag);
  for (std::size_t i = 0; i < job.prev_hash.size(); ++i) {
    job.prev_hash[i] = static_cast<std::uint8_t>(block * 31 + i);
  }
  job.coinb1 = {0x01, 0x00, 0x00, 0x00, static_cast<std::uint8_t>(tag), 0x03, 0x2a, 0x10, 0x00};
  job.coinb2 = {0xff, 0xff, 0xff, 0xff, static_cast<std::uint8_t>(tag * 7)};
  Hash32 branch;
  for (std::size_t i = 0; i < branch.size(); ++i) branch[i] = static_cast<std::uint8_t>(i * 5 + tag);
  job.merkle_branches = {branch};
  job.version = 0x20000000;
  job.nbits = 0x1d00ffff;
  job.ntime = 0x65000000u + static_cast<std::uint32_t>(tag);
  job.extranonce1 = {0xde, 0xad, 0xbe, 0xef};
  job.extranonce2_size = 4;
  job.share_target = share_target;
  job.block_target = Target{};   // no block candidates unless a test asks for them
  job.height = 4200 + static_cast<std::uint64_t>(block);
  return job;
}

// Rebuilds the header from the job and the submitted extranonce2 text and nonce, and hashes it.
inline Digest recompute(const Job& job, const Share& share) {
  Bytes extranonce2;
  EXPECT_TRUE(hex_decode(share.extranonce2, extranonce2)) << share.extranonce2;
  EXPECT_EQ(extranonce2.size(), static_cast<std::size_t>(job.extranonce2_size));
  Header header = build_header(job, extranonce2);
  set_header_nonce(header, share.nonce);
  return pow_hash(header);
}

// Every share must name a known job, carry that job's ntime and meet its share target.
inline void expect_valid_shares(const std::vector<Share>& shares,
                                const std::map<std::string, Job>& jobs) {
  for (const Share& s : shares) {
    auto it = jobs.find(s.job_id);
    ASSERT_NE(it, jobs.end()) << "unknown job id " << s.job_id;
    EXPECT_EQ(s.ntime, it->second.ntime) << s.job_id;
    EXPECT_TRUE(meets_target(recompute(it->second, s), it->second.share_target))
        << s.job_id << " " << s.extranonce2 << " nonce " << s.nonce;
  }
}

}  // namespace tavo::test
