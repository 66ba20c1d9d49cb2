// The interleaved kernels' hash: digest lane 3 for one counter value k with every Keccak lane
// held as two 32-bit words, bit 2i of the lane in bit i of the even word and bit 2i + 1 in bit i
// of the odd word. A 64-bit rotation then becomes rotations of 32-bit words (by an even amount
// 2m: both words by m; by an odd amount 2m + 1: the words swap and rotate by m + 1 and m), and a
// rotation by one costs a single funnel shift, which theta uses ten times per round.
//
// The kernels start from il::DJobIL::lanes, the host's round-0 state after theta, rho and pi for
// the nonce bits zero, read straight from the kernel's parameter block. Requires il::c_rc_il
// (defined before this header is included). Pure device functions; no shared state.
#pragma once

#include <cstdint>

#include "gpu/djob.h"
#include "gpu/kernels/keccak_common.cuh"

// How far rounds 1..22 are unrolled: the loop over the rounds is kept (1) or unrolled (22). The
// static report compares both; see README.md beside this file.
#ifndef TAVO_IL_ROUND_UNROLL
#define TAVO_IL_ROUND_UNROLL 22
#endif

namespace il {

using u32 = std::uint32_t;
using u64 = std::uint64_t;

struct Lane {
  u32 even;
  u32 odd;
};

__device__ __forceinline__ Lane operator^(Lane a, Lane b) { return {a.even ^ b.even, a.odd ^ b.odd}; }

// Rotation of the 64-bit lane by r (0..63), in interleaved form.
__device__ __forceinline__ Lane xor3(Lane a, Lane b, Lane c) {
  return {tavo_device::xor3(a.even, b.even, c.even), tavo_device::xor3(a.odd, b.odd, c.odd)};
}

__device__ __forceinline__ Lane chi3(Lane a, Lane b, Lane c) {
  return {tavo_device::chi3(a.even, b.even, c.even), tavo_device::chi3(a.odd, b.odd, c.odd)};
}

__device__ __forceinline__ Lane rotl(Lane v, int r) {
  if (r % 2 == 0) return {tavo_device::rotl32(v.even, r / 2), tavo_device::rotl32(v.odd, r / 2)};
  return {tavo_device::rotl32(v.odd, r / 2 + 1), tavo_device::rotl32(v.even, r / 2)};
}

__device__ __forceinline__ Lane lane_of(u64 w) { return {static_cast<u32>(w), static_cast<u32>(w >> 32)}; }

__device__ __forceinline__ void chi_iota(const Lane (&b)[25], Lane (&a)[25], u64 rc) {
  TAVO_UNROLL
  for (int y = 0; y < 5; ++y) {
    TAVO_UNROLL
    for (int x = 0; x < 5; ++x) {
      a[x + 5 * y] = chi3(b[x + 5 * y], b[(x + 1) % 5 + 5 * y], b[(x + 2) % 5 + 5 * y]);
    }
  }
  a[0] = a[0] ^ lane_of(rc);
}

// One whole round, a -> out, worked through row by row of the result: each row's five lanes go
// through theta, rho and pi and straight into chi (see plain::full_round).
__device__ __forceinline__ void full_round(const Lane (&a)[25], Lane (&out)[25], u64 rc) {
  Lane c[5];
  TAVO_UNROLL
  for (int x = 0; x < 5; ++x) c[x] = xor3(xor3(a[x], a[x + 5], a[x + 10]), a[x + 15], a[x + 20]);
  TAVO_UNROLL
  for (int row = 0; row < 5; ++row) {
    Lane b[5];
    TAVO_UNROLL
    for (int col = 0; col < 5; ++col) {
      const int x = (col + 3 * row) % 5;   // pi moves lane (x, col) to (col, row)
      b[col] = rotl(xor3(a[x + 5 * col], c[(x + 4) % 5], rotl(c[(x + 1) % 5], 1)), dev::rho(x, col));
    }
    TAVO_UNROLL
    for (int col = 0; col < 5; ++col) out[col + 5 * row] = chi3(b[col], b[(col + 1) % 5], b[(col + 2) % 5]);
  }
  out[0] = out[0] ^ lane_of(rc);
}

// Lane (3, 0) after the last round, from the diagonal lanes (0, 0), (3, 3), (4, 4); no iota.
__device__ __forceinline__ Lane last_round_lane3(const Lane (&a)[25]) {
  Lane c[5];
  TAVO_UNROLL
  for (int x = 0; x < 5; ++x) c[x] = xor3(xor3(a[x], a[x + 5], a[x + 10]), a[x + 15], a[x + 20]);
  const Lane b0 = a[0] ^ c[4] ^ rotl(c[1], 1);
  const Lane b3 = rotl(a[18] ^ c[2] ^ rotl(c[4], 1), dev::rho(3, 3));
  const Lane b4 = rotl(a[24] ^ c[3] ^ rotl(c[0], 1), dev::rho(4, 4));
  return chi3(b3, b4, b0);
}

// Lane 3 of counter value k in interleaved form (even word low, odd word high).
__device__ __forceinline__ u64 lane3(const DJobIL& job, u32 k) {
  // The nonce's even bits fill the upper half of lane (0, 2)'s even word, its odd bits the upper
  // half of the odd word. That change reaches lane (0, 2) itself, every lane of column 1 and,
  // rotated by one, every lane of column 4 (through the parity of column 0); each change is then
  // rotated by its lane's rho offset (column 4: once, by 1 + rho) and XORed where pi puts it.
  const Lane change = {k << 16, k & 0xFFFF0000u};
  Lane b[25];
  TAVO_UNROLL
  for (int i = 0; i < 25; ++i) b[i] = lane_of(job.lanes[i]);
  b[dev::pi_index(0, 2)] = b[dev::pi_index(0, 2)] ^ rotl(change, dev::rho(0, 2));
  TAVO_UNROLL
  for (int y = 0; y < 5; ++y) {
    b[dev::pi_index(1, y)] = b[dev::pi_index(1, y)] ^ rotl(change, dev::rho(1, y));
    b[dev::pi_index(4, y)] =
        b[dev::pi_index(4, y)] ^ rotl(change, (dev::rho(4, y) + 1) % 64);
  }
  Lane a[25];
  chi_iota(b, a, c_rc_il[0]);
  TAVO_UNROLL_N(TAVO_IL_ROUND_UNROLL)
  for (int round = 1; round < 23; ++round) {
    full_round(a, b, c_rc_il[round]);
    TAVO_UNROLL
    for (int i = 0; i < 25; ++i) a[i] = b[i];
  }
  const Lane out = last_round_lane3(a);
  return (u64{out.odd} << 32) | out.even;
}

}  // namespace il
