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

#ifdef TAVO_TEST_SEAMS
  // Test builds only: start the supervision clock late, so a run reaches the contribution phase
  // (98 minutes in) within seconds. The shipped binary has no such entry.
  // The loop reads its start instant first; moving that one reading back makes every elapsed
  // time the loop computes larger by the offset.
  class OffsetClock final : public LoopClock {
   public:
    void sleep_one_second() override { real_.sleep_one_second(); }
    std::int64_t now_ns() override {
      const char* offset = std::getenv("TAVO_TEST_ELAPSED_OFFSET");
      const std::int64_t shift = started_ || offset == nullptr ? 0 : std::atoll(offset);
      started_ = true;
      return real_.now_ns() - shift * 1'000'000'000LL;
    }

   private:
    SystemLoopClock real_;
    bool started_ = false;
  } clock;
#else
  SystemLoopClock clock;
#endif
  supervise(stop_requested, clock, run);

  console.log(palette.grey, "exit", "shutdown requested — clean exit");
  run.stop();
  return 0;
}

}  // namespace tavo
