/* A stand-in for the NVIDIA management library on machines without an NVIDIA driver: the five
 * entry points the miner's hardware monitor resolves, with simulated readings in the library's
 * units (degrees Celsius, milliwatts, percent). Built as libnvidia-ml.so.1 in several variants
 * that tests put on the library search path:
 *   default      every call succeeds;
 *   NVML_NO_FAN  no fan entry point at all (as on passively cooled cards);
 *   NVML_BAD_HANDLE_INDEX=n  the handle lookup fails for device n;
 *   NVML_INIT_FAILS          initialisation fails.
 * Readings for device index i: temperature 61 + i, power 150600 + 50100 * i mW, fan 45 + 5 * i %.
 * The calls are thread-safe: they keep no state beyond the initialised flag. */
#include <stdatomic.h>

#define NVML_SUCCESS 0
#define NVML_ERROR_UNINITIALIZED 1
#define NVML_ERROR_INVALID_ARGUMENT 2
#define NVML_ERROR_UNKNOWN 999

#define EXPORT __attribute__((visibility("default")))

/* A device handle is the index plus one, so that a zero handle is never valid. */
typedef struct nvml_device_st* nvmlDevice_t;

static atomic_int initialised;

static int handle_index(nvmlDevice_t device) { return (int)(unsigned long)device - 1; }

EXPORT int nvmlInit_v2(void) {
#ifdef NVML_INIT_FAILS
  return NVML_ERROR_UNKNOWN;
#else
  atomic_store(&initialised, 1);
  return NVML_SUCCESS;
#endif
}

EXPORT int nvmlDeviceGetHandleByIndex_v2(unsigned int index, nvmlDevice_t* device) {
  if (!atomic_load(&initialised)) return NVML_ERROR_UNINITIALIZED;
  if (device == 0 || index > 63) return NVML_ERROR_INVALID_ARGUMENT;
#ifdef NVML_BAD_HANDLE_INDEX
  if (index == NVML_BAD_HANDLE_INDEX) return NVML_ERROR_UNKNOWN;
#endif
  *device = (nvmlDevice_t)(unsigned long)(index + 1);
  return NVML_SUCCESS;
}

EXPORT int nvmlDeviceGetTemperature(nvmlDevice_t device, int sensor, unsigned int* celsius) {
  if (!atomic_load(&initialised)) return NVML_ERROR_UNINITIALIZED;
  if (handle_index(device) < 0 || sensor != 0 || celsius == 0) return NVML_ERROR_INVALID_ARGUMENT;
  *celsius = 61u + (unsigned)handle_index(device);
  return NVML_SUCCESS;
}

EXPORT int nvmlDeviceGetPowerUsage(nvmlDevice_t device, unsigned int* milliwatts) {
  if (!atomic_load(&initialised)) return NVML_ERROR_UNINITIALIZED;
  if (handle_index(device) < 0 || milliwatts == 0) return NVML_ERROR_INVALID_ARGUMENT;
  *milliwatts = 150600u + 50100u * (unsigned)handle_index(device);
  return NVML_SUCCESS;
}

#ifndef NVML_NO_FAN
EXPORT int nvmlDeviceGetFanSpeed(nvmlDevice_t device, unsigned int* percent) {
  if (!atomic_load(&initialised)) return NVML_ERROR_UNINITIALIZED;
  if (handle_index(device) < 0 || percent == 0) return NVML_ERROR_INVALID_ARGUMENT;
  *percent = 45u + 5u * (unsigned)handle_index(device);
  return NVML_SUCCESS;
}
#endif
