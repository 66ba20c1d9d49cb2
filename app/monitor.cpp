#include "app/monitor.h"

#include <dlfcn.h>

namespace tavo {

namespace {
template <typename Fn>
Fn resolve(void* library, const char* name) {
  return reinterpret_cast<Fn>(dlsym(library, name));
}
}  // namespace

void NvmlApi::load() {
  void* library = dlopen("libnvidia-ml.so.1", RTLD_NOW);
  if (library == nullptr) return;
  const auto init = resolve<InitFn>(library, "nvmlInit_v2");
  get_handle_ = resolve<HandleFn>(library, "nvmlDeviceGetHandleByIndex_v2");
  get_temperature_ = resolve<TemperatureFn>(library, "nvmlDeviceGetTemperature");
  get_power_ = resolve<PowerFn>(library, "nvmlDeviceGetPowerUsage");
  get_fan_ = resolve<FanFn>(library, "nvmlDeviceGetFanSpeed");
  // An unusable library stays loaded but unused: unloading a driver library at an arbitrary
  // moment is riskier than keeping it mapped.
  if (init == nullptr || get_handle_ == nullptr || get_temperature_ == nullptr ||
      get_power_ == nullptr || init() != 0) {
    return;
  }
  handle_ = library;
}

GpuReadings NvmlApi::read(int device) const {
  GpuReadings readings;
  if (!available()) return readings;
  void* gpu = nullptr;
  if (get_handle_(static_cast<unsigned>(device), &gpu) != 0) return readings;
  unsigned value = 0;
  if (get_temperature_(gpu, 0, &value) == 0) readings.celsius = value;
  if (get_power_(gpu, &value) == 0) readings.milliwatts = value;
  if (get_fan_ != nullptr && get_fan_(gpu, &value) == 0) readings.fan_percent = value;
  return readings;
}

}  // namespace tavo
