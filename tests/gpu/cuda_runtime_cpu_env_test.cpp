// The CPU stand-in reads its device count (TAVO_CPU_DEVICES) and fault plan (TAVO_CPU_FAULTS)
// from the environment on first use, as a driver reads its own settings. This file is built twice,
// each time run with one of the two entries set (TAVO_ENV_DEVICES / TAVO_ENV_FAULTS say which).
#include <gtest/gtest.h>

#include "gpu/device_context.h"

namespace {

#if defined(TAVO_ENV_DEVICES)
TEST(StandInEnvironment, DeviceCountComesFromTheEnvironment) {   // TAVO_CPU_DEVICES=3
  EXPECT_EQ(tavo::device_count(), 3);
  EXPECT_GT(tavo::device_memory(2), 0u);
  EXPECT_EQ(tavo::device_memory(3), 0u);
}
#endif

#if defined(TAVO_ENV_FAULTS)
TEST(StandInEnvironment, FaultPlanComesFromTheEnvironment) {   // TAVO_CPU_FAULTS=props@0
  EXPECT_EQ(tavo::device_count(), 1);
  EXPECT_EQ(tavo::device_name(0), "?");
  EXPECT_EQ(tavo::device_memory(0), 0u);
}
#endif

}  // namespace
