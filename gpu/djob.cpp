#include "gpu/djob.h"

#include <bit>
#include <cstring>

#include "work/keccak.h"
#include "work/pow.h"

namespace {

using tavo::keccak::kLanes;
using tavo::keccak::kRhoOffsets;
using tavo::keccak::kRoundConstantsIL;
using tavo::keccak::lane_index;
using tavo::keccak::pi_target;
using tavo::keccak::rotl_il;
using tavo::keccak::WordPair;

std::uint64_t load_le64(const std::uint8_t* p) {
  std::uint64_t v = 0;
  for (int i = 7; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// The u32 with its k highest bits set (0 for k = 0, all ones for k = 32).
std::uint32_t top_bits(unsigned k) { return k == 0 ? 0u : ~std::uint32_t{0} << (32 - k); }

// ---------------------------------------------------------------------------------------------
// The interleaved permutation, one step mapping per function. Each lane is a pair of 32-bit words;
// every 64-bit rotation becomes the word rotations of rotl_il. This is the arithmetic the
// interleaved device kernels carry out, written for reading rather than speed.

using StateIL = WordPair[kLanes];

void theta_il(StateIL a) {
  WordPair c[5];
  for (int x = 0; x < 5; ++x) {
    c[x] = a[lane_index(x, 0)] ^ a[lane_index(x, 1)] ^ a[lane_index(x, 2)] ^ a[lane_index(x, 3)] ^
           a[lane_index(x, 4)];
  }
  for (int x = 0; x < 5; ++x) {
    const WordPair d = c[(x + 4) % 5] ^ rotl_il(c[(x + 1) % 5], 1);
    for (int y = 0; y < 5; ++y) a[lane_index(x, y)] = a[lane_index(x, y)] ^ d;
  }
}

// rho then pi: from state `a` into the permuted state `b`.
void rho_pi_il(const StateIL a, StateIL b) {
  for (int y = 0; y < 5; ++y) {
    for (int x = 0; x < 5; ++x) {
      const int j = lane_index(x, y);
      b[pi_target(x, y)] = rotl_il(a[j], kRhoOffsets[j]);
    }
  }
}

// chi: from the permuted state `b` back into `a`, word by word.
void chi_il(const StateIL b, StateIL a) {
  for (int y = 0; y < 5; ++y) {
    for (int x = 0; x < 5; ++x) {
      const WordPair p = b[lane_index(x, y)];
      const WordPair q = b[lane_index((x + 1) % 5, y)];
      const WordPair r = b[lane_index((x + 2) % 5, y)];
      a[lane_index(x, y)] = {p.even ^ (~q.even & r.even), p.odd ^ (~q.odd & r.odd)};
    }
  }
}

void iota_il(StateIL a, int round) {
  a[0] = a[0] ^ tavo::keccak::split_lane(kRoundConstantsIL[round]);
}

// The counter's contribution to lane (0, 2), in interleaved form. The nonce is the upper half of
// that lane: its even bits are the even word's bits 16..31 and its odd bits the odd word's bits
// 16..31. The counter's low half feeds the former, its high half the latter.
WordPair nonce_delta(std::uint32_t k) { return {(k & 0xFFFFu) << 16, k & 0xFFFF0000u}; }

}  // namespace

std::uint64_t interleave(std::uint64_t v) { return tavo::keccak::interleave_lane(v); }

std::uint64_t deinterleave(std::uint64_t w) { return tavo::keccak::deinterleave_lane(w); }

DJob make_djob(const std::array<std::uint8_t, 80>& header, std::uint64_t target64,
               std::uint32_t nonce_base) {
  DJob job{};
  const tavo::PowMessage msg = tavo::pow_message(header);
  std::memcpy(job.msg, msg.data(), sizeof job.msg);
  std::memset(job.msg + 84, 0, 4);
  job.target64 = target64;
  job.nonce_base = nonce_base;
  job.pad = 0;
  return job;
}

void il_masks(std::uint64_t target64, std::uint32_t& mask_even, std::uint32_t& mask_odd) {
  const auto z = static_cast<unsigned>(std::countl_zero(target64));   // 64 for 0
  mask_even = top_bits(z / 2);
  mask_odd = top_bits((z + 1) / 2);
}

il::DJobIL make_djob_il(const DJob& job) {
  // Absorb the single padded block with the nonce (upper half of lane 10) left at zero.
  std::uint64_t a[kLanes] = {};
  for (int j = 0; j < 10; ++j) a[j] = load_le64(job.msg + 8 * j);
  a[10] = load_le64(job.msg + 80) & 0xFFFFFFFFu;
  a[11] = 0x06;                      // SHA-3 domain bits and the first padding bit, byte 88
  a[16] = 0x8000000000000000ULL;     // the last padding bit, byte 135

  // Round 0 up to and including pi is a linear function of the message, so it is done once here;
  // the device adds each nonce's share of it and carries on from chi.
  tavo::keccak::theta(a);
  il::DJobIL out{};
  for (int y = 0; y < 5; ++y) {
    for (int x = 0; x < 5; ++x) {
      const int j = lane_index(x, y);
      out.lanes[pi_target(x, y)] = interleave(tavo::keccak::rotl64(a[j], kRhoOffsets[j]));
    }
  }

  il_masks(job.target64, out.mask_even, out.mask_odd);
  out.nonce_base = job.nonce_base;
  out.pad = 0;
  return out;
}

std::uint64_t il_lane3_reference(const il::DJobIL& job, std::uint32_t k) {
  StateIL a;
  StateIL b;
  for (int j = 0; j < kLanes; ++j) b[j] = tavo::keccak::split_lane(job.lanes[j]);

  // Round 0, theta/rho/pi of the nonce alone. Through theta the change of lane (0, 2) reaches
  // column 0's parity, so D[1] changes by it and D[4] by it turned one bit: 11 lanes move in all,
  // each turned by its rho offset and landing where pi puts it.
  const WordPair delta = nonce_delta(k);
  const WordPair delta_turned = rotl_il(delta, 1);
  auto add = [&b](int x, int y, WordPair change) {
    b[pi_target(x, y)] = b[pi_target(x, y)] ^ rotl_il(change, kRhoOffsets[lane_index(x, y)]);
  };
  add(0, 2, delta);
  for (int y = 0; y < 5; ++y) {
    add(1, y, delta);
    add(4, y, delta_turned);
  }

  // Round 0 from chi on, then the remaining 23 rounds in full.
  chi_il(b, a);
  iota_il(a, 0);
  for (int round = 1; round < tavo::keccak::kRounds; ++round) {
    theta_il(a);
    rho_pi_il(a, b);
    chi_il(b, a);
    iota_il(a, round);
  }
  return tavo::keccak::join_lane(a[lane_index(3, 0)]);
}
