// Run: the objects of one mining run and the steps that assemble, supervise and stop it: GPU
// selection and the start-up summary, the hardware monitor, the pool client and the miner wired
// through the five callbacks, the hash-rate history, the contribution schedule and the report.
// The entry function owns one Run for the whole process; every method runs on the main thread.
// The callbacks hold references into this object, so it outlives the client and the miner (stop()
// joins both before anything is destroyed).
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "app/console.h"
#include "app/fee.h"
#include "app/monitor.h"
#include "app/options.h"
#include "app/supervisor.h"
#include "miner/hashrate.h"
#include "miner/miner.h"
#include "pool/stratum.h"

namespace tavo {

class Run final : public PassDuties, private ContributionHooks {
 public:
  Run(Options& options, const Palette& palette, Console& console)
      : options_(options), palette_(palette), console_(console) {}
  ~Run() override;

  // GPU selection and the start-up summary. False ends the program with status 1.
  bool select_devices();
  // Hardware monitor set-up; silent whatever happens.
  void load_monitor();
  // Construction, wiring and start of the pool client and the mining engine.
  void start();
  // Pause the miner, stop the client, stop the miner, release the run's objects.
  void stop();

  bool health_and_sample() override;
  void contribution_step(std::int64_t elapsed_s) override;
  bool any_mining() override;
  void report(std::int64_t elapsed_s) override;

 private:
  // ContributionHooks, acting on the live client and miner.
  bool authorized() override;
  void pause_miner() override;
  void stop_client() override;
  void start_client(const Stratum::Config& config) override;

  Options& options_;
  const Palette& palette_;
  Console& console_;
  NvmlApi monitor_;

  // Shared with the callbacks (by reference).
  std::uint64_t last_height_ = 0;
  std::atomic<bool> dev_active_{false};

  // Built by start(), released by stop() in reverse order of construction.
  std::unique_ptr<Stratum> client_;
  std::unique_ptr<Miner> miner_;
  std::unique_ptr<Stratum::Config> config_;
  std::unique_ptr<HashrateHistory> history_;
  std::unique_ptr<ContributionSchedule> schedule_;
};

}  // namespace tavo
