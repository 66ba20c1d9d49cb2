#include "miner/miner.h"

#include <exception>
#include <system_error>
#include <utility>

#include "miner/worker.h"

namespace tavo {

Miner::Miner(Stratum* pool_client, std::vector<int> devices)
    : pool(pool_client), device_ids(std::move(devices)) {
  workers.reserve(device_ids.size());
  for (std::size_t i = 0; i < device_ids.size(); ++i) {
    workers.push_back(std::make_unique<WorkerState>());
  }
}

Miner::~Miner() { stop(); }

void Miner::start() {
  if (running.exchange(true)) return;
  for (std::size_t i = 0; i < workers.size(); ++i) {
    WorkerState& state = *workers[i];
    // A live thread here means a worker of an earlier start was never joined.
    if (state.thread.joinable()) std::terminate();
    try {
      state.thread = std::thread(&Miner::worker, this, static_cast<int>(i));
    } catch (const std::system_error& e) {
      if (on_status) on_status(static_cast<int>(i), std::string("stopped: ") + e.what());
      state.mining.exchange(false);
      state.failed.exchange(true);
    }
  }
}

void Miner::stop() {
  if (!running.exchange(false)) return;
  job_cv.notify_all();
  for (auto& state : workers) {
    if (state->thread.joinable()) state->thread.join();
  }
}

void Miner::set_job(const Job& next) {
  {
    MutexLock lock(mutex);
    job = next;
  }
  job_cv.notify_all();
}

bool Miner::any_mining() const {
  for (const auto& state : workers) {
    if (state->mining.load()) return true;
  }
  return false;
}

bool Miner::all_failed() const {
  for (const auto& state : workers) {
    if (!state->failed.load()) return false;
  }
  return true;
}

void Miner::worker(int index) {
  Worker w(*this, index);
  w.run();
}

bool Miner::still_valid_for_pool(const Job& mined) {
  MutexLock lock(mutex);
  return job_usable(job) && job.prev_hash == mined.prev_hash &&
         job.extranonce1 == mined.extranonce1;
}

}  // namespace tavo
