// Run: the objects of one mining run and the steps that assemble, supervise and stop it. The entry
// function owns one Run for the whole process; its duties are called from the main thread only.
#pragma once

#include <cstdint>

#include "app/console.h"
#include "app/options.h"
#include "app/supervisor.h"

namespace tavo {

class Run final : public PassDuties {
 public:
  Run(Options& options, const Palette& palette, Console& console)
      : options_(options), palette_(palette), console_(console) {}

  // GPU selection and the start-up summary. False ends the program with status 1.
  bool select_devices();
  // Hardware monitor set-up; silent whatever happens.
  void load_monitor();
  // Construction, wiring and start of the pool client and the mining engine.
  void start();
  // Pause the miner, stop the client, stop the miner.
  void stop();

  bool health_and_sample() override;
  void contribution_step(std::int64_t elapsed_s) override;
  bool any_mining() override;
  void report(std::int64_t elapsed_s) override;

 private:
  Options& options_;
  const Palette& palette_;
  Console& console_;
};

}  // namespace tavo
