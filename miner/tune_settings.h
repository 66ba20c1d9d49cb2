// Parameters of the per-device benchmark that picks the kernel profile. The defaults are what the
// program uses; tests shrink them because the CPU stand-in of a GPU needs many seconds for the
// full-size benchmark launches. A plain value record: copy it freely, fix it before the miner starts.
#pragma once

#include <cstdint>

namespace tavo {

struct TuneSettings {
  // One benchmark launch covers granularity x this many indices (4096 blocks of the profile).
  std::uint32_t bench_blocks = 4096;
  // Timed launches go on until at least this much monotonic time has passed.
  double bench_seconds = 0.6;
  // Profiles that are tried, bit p for profile p; the others are passed over as if inexact.
  std::uint32_t profile_mask = 0x3F;
};

}  // namespace tavo
