#include "app/program.h"

#include <csignal>
#include <cstdlib>

#include "app/console.h"
#include "app/options.h"
#include "app/run.h"
#include "app/supervisor.h"

namespace tavo {

std::atomic<bool> stop_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler needs a lock-free flag");

void handle_stop_signal(int) { stop_requested.exchange(true); }

int run_program(int argc, const char* const* argv) {
  Options options;
  if (!parse_options(argc, argv, options)) return 1;

  // Before any GPU call, so that device ordinals follow PCI bus order (the monitor relies on it).
  setenv("CUDA_DEVICE_ORDER", "PCI_BUS_ID", 1);
  std::signal(SIGINT, handle_stop_signal);
  std::signal(SIGTERM, handle_stop_signal);
  std::signal(SIGPIPE, SIG_IGN);  // a write to a closed pool connection must fail, not kill us

  const Palette palette = Palette::make(colour_allowed(options.color));
  print_banner(kDisplayName, kTagline, kVersion, options.color);

  Console console(palette.grey, palette.reset);
  Run run(options, palette, console);
  if (!run.select_devices()) return 1;
  run.load_monitor();
  run.start();

  SystemLoopClock clock;
  supervise(stop_requested, clock, run);

  console.log(palette.grey, "exit", "shutdown requested — clean exit");
  run.stop();
  return 0;
}

}  // namespace tavo
