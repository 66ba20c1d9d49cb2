// Keccak-f[1600] geometry as the device code uses it: the rho offset and the pi destination of
// every lane, as constexpr functions so that, once the round loops are unrolled, every rotation
// amount and lane position is a compile-time constant and the whole state stays in registers.
// Lanes are numbered x + 5y. The numbers are those of work/keccak.h, which host code uses; a
// compile-time check below keeps the two in step. Stateless; usable from any thread.
#pragma once

#include <cstdint>

#include "work/keccak.h"

namespace dev {

// Rotation offset of lane (x, y) in the rho step.
__host__ __device__ constexpr int rho(int x, int y) {
  constexpr int kOffsets[25] = {0,  1,  62, 28, 27, 36, 44, 6,  55, 20, 3,  10, 43,
                                25, 39, 41, 45, 15, 21, 8,  18, 2,  61, 56, 14};
  return kOffsets[x + 5 * y];
}

// Where pi moves lane (x, y): to (y, 2x + 3y).
__host__ __device__ constexpr int pi_index(int x, int y) { return y + 5 * ((2 * x + 3 * y) % 5); }

constexpr bool same_as_host_tables() {
  for (int i = 0; i < 25; ++i) {
    if (rho(i % 5, i / 5) != static_cast<int>(tavo::keccak::kRhoOffsets[i])) return false;
    if (pi_index(i % 5, i / 5) != tavo::keccak::pi_target(i % 5, i / 5)) return false;
  }
  return true;
}
static_assert(same_as_host_tables());

}  // namespace dev
