#include "work/keccak.h"

namespace tavo::keccak {

namespace {

// The tables in keccak.h are typed in for readability; these derive them from their definitions
// (the round-constant LFSR and the rho walk over the lane positions) so that a slip in a digit
// stops the build instead of producing a wrong hash.

// One output bit of the LFSR x^8 + x^6 + x^5 + x^4 + 1, started from 1.
constexpr unsigned round_constant_bit(unsigned t) {
  unsigned r = 1;
  for (unsigned i = 0; i < t % 255; ++i) {
    r <<= 1;
    if (r & 0x100) r ^= 0x171;
  }
  return r & 1;
}

constexpr std::uint64_t derived_round_constant(unsigned round) {
  std::uint64_t rc = 0;
  for (unsigned j = 0; j < 7; ++j) {
    if (round_constant_bit(j + 7 * round)) rc |= std::uint64_t{1} << ((1u << j) - 1);
  }
  return rc;
}

constexpr bool round_constants_match() {
  for (int r = 0; r < kRounds; ++r) {
    if (kRoundConstants[r] != derived_round_constant(static_cast<unsigned>(r))) return false;
    if (kRoundConstantsIL[r] != interleave_lane(kRoundConstants[r])) return false;
  }
  return true;
}

constexpr bool rho_offsets_match() {
  unsigned derived[kLanes] = {};
  int x = 1, y = 0;
  for (unsigned t = 0; t < 24; ++t) {
    derived[lane_index(x, y)] = ((t + 1) * (t + 2) / 2) % 64;
    const int next_y = (2 * x + 3 * y) % 5;
    x = y;
    y = next_y;
  }
  for (int j = 0; j < kLanes; ++j) {
    if (derived[j] != kRhoOffsets[j]) return false;
  }
  return true;
}

// The definition of interleaving, one bit at a time.
constexpr std::uint64_t interleave_by_bits(std::uint64_t v) {
  std::uint64_t w = 0;
  for (unsigned i = 0; i < 32; ++i) {
    w |= ((v >> (2 * i)) & 1) << i;
    w |= ((v >> (2 * i + 1)) & 1) << (32 + i);
  }
  return w;
}

constexpr bool interleave_matches_definition() {
  // Single bits pin down a bit permutation completely.
  for (unsigned b = 0; b < 64; ++b) {
    const std::uint64_t v = std::uint64_t{1} << b;
    if (interleave_lane(v) != interleave_by_bits(v)) return false;
    if (deinterleave_lane(interleave_by_bits(v)) != v) return false;
  }
  return true;
}

static_assert(interleave_matches_definition(), "interleave is not the even/odd bit split");
static_assert(round_constants_match(), "round constant table disagrees with its LFSR");
static_assert(rho_offsets_match(), "rho table disagrees with its defining walk");

}  // namespace

void theta(std::uint64_t a[kLanes]) {
  std::uint64_t c[5];
  for (int x = 0; x < 5; ++x) {
    c[x] = a[lane_index(x, 0)] ^ a[lane_index(x, 1)] ^ a[lane_index(x, 2)] ^ a[lane_index(x, 3)] ^
           a[lane_index(x, 4)];
  }
  for (int x = 0; x < 5; ++x) {
    const std::uint64_t d = c[(x + 4) % 5] ^ rotl64(c[(x + 1) % 5], 1);
    for (int y = 0; y < 5; ++y) a[lane_index(x, y)] ^= d;
  }
}

void rho_pi(std::uint64_t a[kLanes]) {
  std::uint64_t b[kLanes];
  for (int y = 0; y < 5; ++y) {
    for (int x = 0; x < 5; ++x) {
      const int j = lane_index(x, y);
      b[pi_target(x, y)] = rotl64(a[j], kRhoOffsets[j]);
    }
  }
  for (int j = 0; j < kLanes; ++j) a[j] = b[j];
}

void chi(std::uint64_t a[kLanes]) {
  for (int y = 0; y < 5; ++y) {
    std::uint64_t row[5];
    for (int x = 0; x < 5; ++x) row[x] = a[lane_index(x, y)];
    for (int x = 0; x < 5; ++x) {
      a[lane_index(x, y)] = row[x] ^ (~row[(x + 1) % 5] & row[(x + 2) % 5]);
    }
  }
}

void iota(std::uint64_t a[kLanes], int round) { a[0] ^= kRoundConstants[round]; }

void keccak_f1600(std::uint64_t a[kLanes]) {
  for (int round = 0; round < kRounds; ++round) {
    theta(a);
    rho_pi(a);
    chi(a);
    iota(a, round);
  }
}

}  // namespace tavo::keccak
