// Loads the hardware monitor exactly as the program does (through the library search path) and
// prints what it reads for devices 0 and 1, one line each: "<device> <celsius|-> <mW|-> <fan|->".
#include <cstdio>

#include "app/monitor.h"

int main() {
  tavo::NvmlApi monitor;
  monitor.load();
  std::printf("available %d\n", monitor.available() ? 1 : 0);
  for (int device = 0; device < 2; ++device) {
    const tavo::GpuReadings r = monitor.read(device);
    auto show = [](const std::optional<unsigned>& v) {
      if (v) std::printf(" %u", *v); else std::printf(" -");
    };
    std::printf("%d", device);
    show(r.celsius);
    show(r.milliwatts);
    show(r.fan_percent);
    std::printf("\n");
  }
  return 0;
}
