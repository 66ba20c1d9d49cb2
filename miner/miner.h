// tavo::Miner drives every selected GPU: it holds the pool's current job, runs one worker thread per
// device (self-check and auto-tune once, then two batches in flight, CPU re-check of every
// candidate and submission of shares to the pool client), and keeps one small WorkerState per
// device that the driver reads once a second.
//
// Ownership: the miner owns its WorkerState records (each allocated on its own, so their
// addresses never change) and its worker threads; it borrows the pool client, which must outlive
// it. Each worker thread owns its device context and its Work records.
//
// Threads:
//  - the driver's thread constructs, installs the callbacks and `tune`, then calls start, stop,
//    set_job, any_mining, all_failed and reads `workers` and the share counters;
//  - the pool client's session thread calls set_job;
//  - worker threads call on_status, on_block and the pool client's submit, several at once.
// The callbacks and `tune` are installed before start and left alone while workers run.
// Locks: `mutex` guards `job` only and is never held across a GPU call, a hash, a submit or a
// callback. Everything else shared between threads is atomic.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "miner/sync.h"
#include "miner/tune_settings.h"
#include "work/job.h"

struct DRes;

namespace tavo {

class Miner;
class Stratum;
struct Work;
struct VerifyOutcome;

// Candidate verification of one completed batch (miner/verify.h).
VerifyOutcome verify_batch(Miner& miner, const Work& work, const DRes& res);

// One GPU's state as the driver sees it. The worker thread writes the atomics; the driver reads
// them without a lock. `thread` is touched by the driver's thread only (start and stop).
struct WorkerState {
  std::atomic<std::uint64_t> hashes{0};   // nonces searched; never reset
  std::atomic<bool> mining{false};        // set once auto-tune chose a profile, cleared on failure
  std::atomic<bool> failed{false};        // set when the worker stopped because of an error
  std::thread thread;
};

class Miner {
 public:
  // One zeroed WorkerState per device id, in order; no thread runs until start. `pool` is
  // borrowed and may be null, in which case shares are dropped.
  Miner(Stratum* pool, std::vector<int> device_ids);
  Miner(const Miner&) = delete;
  Miner& operator=(const Miner&) = delete;

  // Stops and joins the workers.
  ~Miner();

  // Status lines of a worker ("auto-tuned: ..." and "stopped: ..."); may be empty.
  std::function<void(int worker_index, const std::string& text)> on_status;
  // A block candidate was handed to the pool client, with the height of its job; may be empty.
  std::function<void(std::uint64_t height)> on_block;

  // Fixed at construction: one per device id, same order.
  std::vector<std::unique_ptr<WorkerState>> workers;

  // Share results, counted by the driver's share-result callback; the miner never touches them.
  std::atomic<std::uint64_t> accepted{0};
  std::atomic<std::uint64_t> rejected{0};

  // Benchmark parameters of the auto-tune; the defaults are the program's.
  TuneSettings tune;

  // Starts one worker thread per device; they wait for the first usable job. A second call while
  // running does nothing. A thread that cannot be created leaves its worker failed, with a
  // "stopped: " status line.
  void start();

  // Clears `running`, wakes idle workers and joins every worker thread in index order. Does
  // nothing when not running. Must not be called from a worker thread (that is, from a callback).
  void stop();

  // Copies `job` as the current job and wakes idle workers. A blank (or otherwise unusable) job
  // pauses every worker after its in-flight batches.
  void set_job(const Job& job) TAVO_EXCLUDES(mutex);

  // True when some worker has chosen a profile and has not failed.
  bool any_mining() const;

  // True when every worker has failed; true for an empty device list.
  bool all_failed() const;

 private:
  friend class Worker;
  friend VerifyOutcome verify_batch(Miner& miner, const Work& work, const DRes& res);

  // Thread body of worker `index`.
  void worker(int index);

  // True when shares mined on `mined` may still go to the pool: the current job is usable,
  // belongs to the same block and carries the same extranonce1 (a new pool session brings a new
  // one, and a share only holds with the extranonce1 its coinbase was built with).
  bool still_valid_for_pool(const Job& mined) TAVO_EXCLUDES(mutex);

  // Fixed after construction.
  Stratum* const pool;
  const std::vector<int> device_ids;

  std::atomic<bool> running{false};

  Mutex mutex;
  std::condition_variable_any job_cv;   // waited on with `mutex`
  Job job TAVO_GUARDED_BY(mutex);
};

}  // namespace tavo
