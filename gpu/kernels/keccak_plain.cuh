// The plain kernels' hash: digest lane 3 of one nonce with every Keccak lane held as one 64-bit
// value. Split in two so that the per-nonce work is small:
//  - plain::Base, once per thread: the padded block absorbed with the nonce bits zero, pushed
//    through round 0's theta, rho and pi (the column parities of the block's fixed part are
//    computed here, once);
//  - plain::lane3, per nonce: add the nonce's 11 lane changes to that state, finish round 0 (chi,
//    iota), run rounds 1..22 and as much of round 23 as lane 3 needs.
// theta, rho and pi are linear, so adding the nonce's contribution afterwards gives exactly the
// state of the full computation. All rounds are unrolled. Requires d_rc (defined before this
// header is included). Pure device functions; no shared state.
#pragma once

#include <cstdint>
#include <cstring>

#include "gpu/djob.h"
#include "gpu/kernels/keccak_common.cuh"

namespace plain {

using u32 = std::uint32_t;
using u64 = std::uint64_t;

// Rotation by a constant 0..63 (two funnel shifts on the GPU, a vector rotate on the CPU).
__device__ __forceinline__ u64 rotl64(u64 v, int n) {
  return (v << (n & 63)) | (v >> ((64 - n) & 63));
}

// theta, rho and pi of one round: b[pi(x, y)] = rotl(a[x, y] ^ c[x - 1] ^ rotl(c[x + 1], 1)).
// theta is applied lane by lane as one three-input XOR rather than through a D[x] word.
__device__ __forceinline__ void theta_rho_pi(const u64 (&a)[25], u64 (&b)[25]) {
  u64 c[5];
  TAVO_UNROLL
  for (int x = 0; x < 5; ++x) c[x] = a[x] ^ a[x + 5] ^ a[x + 10] ^ a[x + 15] ^ a[x + 20];
  TAVO_UNROLL
  for (int x = 0; x < 5; ++x) {
    const u64 left = c[(x + 4) % 5];
    const u64 right = rotl64(c[(x + 1) % 5], 1);
    TAVO_UNROLL
    for (int y = 0; y < 5; ++y) {
      b[dev::pi_index(x, y)] = rotl64(tavo_device::xor3(a[x + 5 * y], left, right), dev::rho(x, y));
    }
  }
}

// chi of one round (row by row), then iota.
__device__ __forceinline__ void chi_iota(const u64 (&b)[25], u64 (&a)[25], u64 rc) {
  TAVO_UNROLL
  for (int y = 0; y < 5; ++y) {
    TAVO_UNROLL
    for (int x = 0; x < 5; ++x) {
      a[x + 5 * y] = b[x + 5 * y] ^ (~b[(x + 1) % 5 + 5 * y] & b[(x + 2) % 5 + 5 * y]);
    }
  }
  a[0] ^= rc;
}

// One whole round, a -> out, worked through row by row of the result: each row's five lanes go
// through theta, rho and pi and straight into chi, so that only one row of the permuted state is
// live at a time (the CPU's vector registers hold a state but hardly two).
__device__ __forceinline__ void full_round(const u64 (&a)[25], u64 (&out)[25], u64 rc) {
  u64 c[5];
  TAVO_UNROLL
  for (int x = 0; x < 5; ++x) c[x] = a[x] ^ a[x + 5] ^ a[x + 10] ^ a[x + 15] ^ a[x + 20];
  TAVO_UNROLL
  for (int row = 0; row < 5; ++row) {
    u64 b[5];
    TAVO_UNROLL
    for (int col = 0; col < 5; ++col) {
      const int x = (col + 3 * row) % 5;   // pi moves lane (x, col) to (col, row)
      b[col] = rotl64(tavo_device::xor3(a[x + 5 * col], c[(x + 4) % 5], rotl64(c[(x + 1) % 5], 1)),
                      dev::rho(x, col));
    }
    TAVO_UNROLL
    for (int col = 0; col < 5; ++col) out[col + 5 * row] = b[col] ^ (~b[(col + 1) % 5] & b[(col + 2) % 5]);
  }
  out[0] ^= rc;
}

// Lane (3, 0) after the last round: chi needs row 0 after pi, i.e. the diagonal lanes (0, 0),
// (3, 3) and (4, 4) after theta and rho. iota only touches lane 0 and is left out.
__device__ __forceinline__ u64 last_round_lane3(const u64 (&a)[25]) {
  u64 c[5];
  TAVO_UNROLL
  for (int x = 0; x < 5; ++x) c[x] = a[x] ^ a[x + 5] ^ a[x + 10] ^ a[x + 15] ^ a[x + 20];
  const u64 b0 = a[0] ^ c[4] ^ rotl64(c[1], 1);
  const u64 b3 = rotl64(a[18] ^ c[2] ^ rotl64(c[4], 1), dev::rho(3, 3));
  const u64 b4 = rotl64(a[24] ^ c[3] ^ rotl64(c[0], 1), dev::rho(4, 4));
  return b3 ^ (~b4 & b0);
}

// Round 0 up to pi for the job's padded block with nonce bits zero.
struct Base {
  u64 lanes[25];

  __device__ __forceinline__ explicit Base(const DJob& job) {
    u64 a[25];
    TAVO_UNROLL
    for (int i = 0; i < 11; ++i) std::memcpy(&a[i], job.msg + 8 * i, 8);
    a[10] &= 0xFFFFFFFFull;             // msg bytes 80..83; the nonce half is added per nonce
    a[11] = 0x06;                       // SHA-3 domain bits and the first padding bit (byte 88)
    TAVO_UNROLL
    for (int i = 12; i < 25; ++i) a[i] = 0;
    a[16] = 0x8000000000000000ull;      // last padding bit (byte 135)
    theta_rho_pi(a, lanes);
  }
};

// The nonce sits in the upper half of lane (0, 2). Through theta it changes that lane, the column
// parity c[0], and so every lane of column 1 (by the change) and of column 4 (by the change
// rotated by one); rho then rotates each change by its lane's offset and pi moves it. The
// column-4 changes are rotated once by 1 + rho instead of twice.
__device__ __forceinline__ void add_nonce(u64 (&b)[25], u32 nonce) {
  const u64 change = u64{nonce} << 32;
  b[dev::pi_index(0, 2)] ^= rotl64(change, dev::rho(0, 2));
  TAVO_UNROLL
  for (int y = 0; y < 5; ++y) {
    b[dev::pi_index(1, y)] ^= rotl64(change, dev::rho(1, y));
    b[dev::pi_index(4, y)] ^= rotl64(change, (dev::rho(4, y) + 1) % 64);
  }
}

// digest_lane3 of the job's message carrying `nonce`.
__device__ __forceinline__ u64 lane3(const Base& base, u32 nonce) {
  u64 b[25];
  TAVO_UNROLL
  for (int i = 0; i < 25; ++i) b[i] = base.lanes[i];
  add_nonce(b, nonce);
  u64 a[25];
  chi_iota(b, a, d_rc[0]);
  TAVO_UNROLL
  for (int round = 1; round < 23; ++round) {
    full_round(a, b, d_rc[round]);
    TAVO_UNROLL
    for (int i = 0; i < 25; ++i) a[i] = b[i];
  }
  return last_round_lane3(a);
}

}  // namespace plain
