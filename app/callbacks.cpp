#include "app/callbacks.h"

#include <cstdio>
#include <string>

namespace tavo {

void install_callbacks(Stratum& client, Miner& miner, Console& console, const Palette& palette,
                       const Options& options, std::uint64_t& last_height,
                       std::atomic<bool>& dev_active) {
  client.on_log = [&console, &grey = palette.grey](const std::string& text) {
    console.log(grey, "net", text);
  };

  miner.on_status = [&console, &cyan = palette.cyan, &options](int worker_index,
                                                               const std::string& text) {
    const int device = options.devices.at(static_cast<std::size_t>(worker_index));
    console.log(cyan, "gpu" + std::to_string(device), text);
  };

  // last_height is touched only here, on the session thread.
  client.on_job = [&last_height, &console, &yellow = palette.yellow, &miner](const Job& job) {
    if (job.height != last_height || job.clean_jobs) {
      console.log(yellow, "job", "new work — block " + std::to_string(job.height));
      last_height = job.height;
    }
    miner.set_job(job);
  };

  client.on_share = [&dev_active, &miner, &console, &green = palette.green, &red = palette.red](
                        bool accepted, const std::string& reason) {
    if (dev_active.load()) return;  // results of the developer contribution are not ours
    (accepted ? miner.accepted : miner.rejected).fetch_add(1);
    char counts[48];
    std::snprintf(counts, sizeof counts, "(%llu/%llu)",
                  static_cast<unsigned long long>(miner.accepted.load()),
                  static_cast<unsigned long long>(miner.rejected.load()));
    if (accepted) {
      console.log(green, "share", std::string("accepted ") + counts);
    } else {
      console.log(red, "share", std::string("REJECTED ") + counts + " — " + reason);
    }
  };

  miner.on_block = [&console, &accent = palette.accent](std::uint64_t height) {
    console.log(accent, "BLOCK",
                "candidate found at height " + std::to_string(height) + " — submitted");
  };
}

}  // namespace tavo
