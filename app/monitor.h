// NvmlApi: GPU temperature, power draw and fan speed from the NVIDIA management library, loaded at
// run time when the host has it. Nothing here ever reports an error: a missing library, entry point,
// failed initialisation or failed reading only leaves the matching readings out. Loaded once and
// used on the main thread only; the library is never unloaded.
#pragma once

#include <optional>
#include <string>

namespace tavo {

struct GpuReadings {
  std::optional<unsigned> celsius;
  std::optional<unsigned> milliwatts;
  std::optional<unsigned> fan_percent;
};

class NvmlApi {
 public:
  // dlopen("libnvidia-ml.so.1"), resolve the entry points and initialise; silent on failure.
  void load();
  bool available() const { return handle_ != nullptr; }

  // Readings for a CUDA device ordinal (the same number is the library's index because CUDA
  // numbers devices in PCI bus order). No readings at all when the handle lookup fails.
  GpuReadings read(int device) const;

 private:
  using InitFn = int (*)();
  using HandleFn = int (*)(unsigned, void**);
  using TemperatureFn = int (*)(void*, int, unsigned*);
  using PowerFn = int (*)(void*, unsigned*);
  using FanFn = int (*)(void*, unsigned*);

  void* handle_ = nullptr;
  HandleFn get_handle_ = nullptr;
  TemperatureFn get_temperature_ = nullptr;
  PowerFn get_power_ = nullptr;
  FanFn get_fan_ = nullptr;  // optional: passively cooled cards have no fan reading
};

}  // namespace tavo
