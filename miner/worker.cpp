#include "miner/worker.h"

#include <utility>

#include "miner/tune.h"
#include "miner/verify.h"

namespace tavo {

Worker::Worker(Miner& miner, int index)
    : miner_(miner),
      index_(index),
      state_(*miner.workers[static_cast<std::size_t>(index)]),
      ctx_(miner.device_ids[static_cast<std::size_t>(index)]) {}

void Worker::run() {
  while (pass()) {
  }
}

bool Worker::pass() {
  if (!miner_.running.load()) {
    drain();
    return false;
  }

  bool job_changed = false;
  {
    MutexLock lock(miner_.mutex);
    if (!job_usable(miner_.job)) {
      current_.reset();
      if (in_flight_.empty()) {
        // A stop that cleared `running` after the test above only costs one idle wait.
        if (miner_.running.load()) {
          miner_.job_cv.wait_until(miner_.mutex,
                                   std::chrono::steady_clock::now() + kIdleWait);
        }
        lock.unlock();
        last_seq_ = 0;
        return true;
      }
      lock.unlock();
      // Paused: the batch was searched, so it counts, but its results belong to a job the pool
      // no longer offers.
      Batch batch;
      DRes res;
      if (!collect_oldest(batch, res)) return fail(ctx_.last_error());
      state_.hashes.fetch_add(batch.count);
      last_seq_ = 0;
      return true;
    }
    if (miner_.job.seq != last_seq_) {
      local_job_ = miner_.job;
      last_seq_ = local_job_.seq;
      job_changed = true;
    }
  }

  if (!tuned_) {
    if (!tune_device()) return false;
  } else if (job_changed || !current_) {
    new_work();
  }

  if (!fill_pipeline()) return false;

  Batch batch;
  DRes res;
  if (!collect_oldest(batch, res)) return fail(ctx_.last_error());
  state_.hashes.fetch_add(batch.count);
  verify_batch(miner_, *batch.work, res);
  return true;
}

void Worker::drain() {
  Batch batch;
  DRes res;
  while (!in_flight_.empty()) {
    if (!collect_oldest(batch, res)) break;
  }
  in_flight_.clear();
  current_.reset();
}

bool Worker::tune_device() {
  const TuneResult tuned = auto_tune(ctx_, miner_.running, miner_.tune);
  switch (tuned.end) {
    case TuneEnd::Stopped:
      return false;
    case TuneEnd::NoExactProfile:
      return fail(kNoExactProfile);
    case TuneEnd::DeviceError:
      return fail(ctx_.last_error());
    case TuneEnd::Tuned:
      break;
  }
  if (miner_.on_status) miner_.on_status(index_, tuned_status(tuned.profile, tuned.rate));
  state_.mining.exchange(true);
  profile_ = tuned.profile;
  batch_size_ = tuned.batch_size;
  tuned_ = true;
  new_work();
  return true;
}

void Worker::new_work() {
  current_ = make_work(local_job_, index_, extranonce2_counter_);
  cursor_.reset();
}

bool Worker::fill_pipeline() {
  while (!in_flight_.full()) {
    if (cursor_.exhausted(batch_size_)) new_work();
    DJob job = current_->djob;
    job.nonce_base = cursor_.base();
    if (!ctx_.launch(profile_, job, batch_size_)) return fail(ctx_.last_error());
    in_flight_.push(Batch{current_, batch_size_});
    cursor_.advance(batch_size_);
  }
  return true;
}

bool Worker::collect_oldest(Batch& batch, DRes& res) {
  if (!ctx_.collect(res)) return false;
  batch = in_flight_.pop();
  return true;
}

bool Worker::fail(const std::string& text) {
  if (miner_.on_status) miner_.on_status(index_, "stopped: " + text);
  state_.mining.exchange(false);
  state_.failed.exchange(true);
  in_flight_.clear();
  current_.reset();
  return false;
}

}  // namespace tavo
