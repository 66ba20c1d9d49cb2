// Keccak-f[1600], the permutation under SHA3-256, in the forms this program needs: the constant
// tables that host code and device code share (round constants, rho offsets, the interleaved round
// constants), the bit-interleaving of a 64-bit lane into an even and an odd 32-bit word, and a
// readable 64-bit reference permutation built from the five step mappings.
//
// The header owns no state. Tables are constexpr data; the functions are pure and any thread may
// call them. It includes nothing but <cstdint> and uses no library types, so device code can
// include it to initialise its own tables from the same numbers.
//
// State convention throughout: 25 lanes of 64 bits, lane (x, y) at index x + 5y, lane bit i being
// message bit i of the lane's 8 little-endian bytes.
#pragma once

#include <cstdint>

namespace tavo::keccak {

inline constexpr int kRounds = 24;
inline constexpr int kLanes = 25;
// SHA3-256 absorbs 136 bytes per permutation (rate = 1600 - 2 * 256 bits).
inline constexpr int kSha3_256RateBytes = 136;

// Round constants RC[0..23] of the iota step.
inline constexpr std::uint64_t kRoundConstants[kRounds] = {
    0x0000000000000001ULL, 0x0000000000008082ULL, 0x800000000000808AULL, 0x8000000080008000ULL,
    0x000000000000808BULL, 0x0000000080000001ULL, 0x8000000080008081ULL, 0x8000000000008009ULL,
    0x000000000000008AULL, 0x0000000000000088ULL, 0x0000000080008009ULL, 0x000000008000000AULL,
    0x000000008000808BULL, 0x800000000000008BULL, 0x8000000000008089ULL, 0x8000000000008003ULL,
    0x8000000000008002ULL, 0x8000000000000080ULL, 0x000000000000800AULL, 0x800000008000000AULL,
    0x8000000080008081ULL, 0x8000000000008080ULL, 0x0000000080000001ULL, 0x8000000080008008ULL,
};

// Rotation offsets of the rho step, lane (x, y) at index x + 5y.
inline constexpr unsigned kRhoOffsets[kLanes] = {
    0,  1,  62, 28, 27,   // y = 0
    36, 44, 6,  55, 20,   // y = 1
    3,  10, 43, 25, 39,   // y = 2
    41, 45, 15, 21, 8,    // y = 3
    18, 2,  61, 56, 14,   // y = 4
};

// The round constants in interleaved form (see interleave_lane): even word in the low 32 bits,
// odd word in the high 32 bits. keccak.cpp proves at compile time that these equal
// interleave_lane(kRoundConstants[r]).
inline constexpr std::uint64_t kRoundConstantsIL[kRounds] = {
    0x0000000000000001ULL, 0x0000008900000000ULL, 0x8000008B00000000ULL, 0x8000808000000000ULL,
    0x0000008B00000001ULL, 0x0000800000000001ULL, 0x8000808800000001ULL, 0x8000008200000001ULL,
    0x0000000B00000000ULL, 0x0000000A00000000ULL, 0x0000808200000001ULL, 0x0000800300000000ULL,
    0x0000808B00000001ULL, 0x8000000B00000001ULL, 0x8000008A00000001ULL, 0x8000008100000001ULL,
    0x8000008100000000ULL, 0x8000000800000000ULL, 0x0000008300000000ULL, 0x8000800300000000ULL,
    0x8000808800000001ULL, 0x8000008800000000ULL, 0x0000800000000001ULL, 0x8000808200000000ULL,
};

constexpr int lane_index(int x, int y) { return x + 5 * y; }

// Where pi moves lane (x, y): to (y, 2x + 3y), as an index.
constexpr int pi_target(int x, int y) { return lane_index(y, (2 * x + 3 * y) % 5); }

// Rotations that accept every amount, including 0 and the full word width.
constexpr std::uint64_t rotl64(std::uint64_t v, unsigned n) {
  n &= 63;
  return n == 0 ? v : (v << n) | (v >> (64 - n));
}
constexpr std::uint32_t rotl32(std::uint32_t v, unsigned n) {
  n &= 31;
  return n == 0 ? v : (v << n) | (v >> (32 - n));
}

// Bit-interleaving: bit 2i of the lane becomes bit i of the even word (low half of the result),
// bit 2i + 1 becomes bit i of the odd word (high half). A 64-bit rotation then becomes two 32-bit
// rotations, which is what 32-bit hardware does well.
//
// Done as five swaps of bit groups (a perfect outer unshuffle) rather than bit by bit: the host
// converts every lane a check run returns. Each step exchanges, within every 2^(s+2)-bit field,
// the upper 2^s-bit quarter of its lower half with the lower quarter of its upper half.
constexpr std::uint64_t swap_bit_groups(std::uint64_t v, std::uint64_t mask, unsigned shift) {
  const std::uint64_t t = (v ^ (v >> shift)) & mask;
  return v ^ t ^ (t << shift);
}
constexpr std::uint64_t interleave_lane(std::uint64_t v) {
  v = swap_bit_groups(v, 0x2222222222222222ULL, 1);
  v = swap_bit_groups(v, 0x0C0C0C0C0C0C0C0CULL, 2);
  v = swap_bit_groups(v, 0x00F000F000F000F0ULL, 4);
  v = swap_bit_groups(v, 0x0000FF000000FF00ULL, 8);
  v = swap_bit_groups(v, 0x00000000FFFF0000ULL, 16);
  return v;
}
// Each swap undoes itself, so the inverse runs the same swaps in the opposite order.
constexpr std::uint64_t deinterleave_lane(std::uint64_t w) {
  w = swap_bit_groups(w, 0x00000000FFFF0000ULL, 16);
  w = swap_bit_groups(w, 0x0000FF000000FF00ULL, 8);
  w = swap_bit_groups(w, 0x00F000F000F000F0ULL, 4);
  w = swap_bit_groups(w, 0x0C0C0C0C0C0C0C0CULL, 2);
  w = swap_bit_groups(w, 0x2222222222222222ULL, 1);
  return w;
}

// A lane in interleaved form as its two 32-bit words.
struct WordPair {
  std::uint32_t even;
  std::uint32_t odd;
};

constexpr WordPair split_lane(std::uint64_t w) {
  return WordPair{static_cast<std::uint32_t>(w), static_cast<std::uint32_t>(w >> 32)};
}
constexpr std::uint64_t join_lane(WordPair p) {
  return (static_cast<std::uint64_t>(p.odd) << 32) | p.even;
}
constexpr WordPair operator^(WordPair a, WordPair b) { return {a.even ^ b.even, a.odd ^ b.odd}; }

// Rotation of the 64-bit lane by n, applied to its interleaved words. By 2k both words turn by k;
// by 2k + 1 the words swap roles: the new even word is the old odd word turned by k + 1, the new
// odd word the old even word turned by k.
constexpr WordPair rotl_il(WordPair p, unsigned n) {
  n &= 63;
  const unsigned k = n / 2;
  if (n % 2 == 0) return {rotl32(p.even, k), rotl32(p.odd, k)};
  return {rotl32(p.odd, k + 1), rotl32(p.even, k)};
}

// The step mappings of one round on a 64-bit state, in place.
void theta(std::uint64_t a[kLanes]);
void rho_pi(std::uint64_t a[kLanes]);   // rho, then pi (they are always applied together)
void chi(std::uint64_t a[kLanes]);
void iota(std::uint64_t a[kLanes], int round);

// All 24 rounds of Keccak-f[1600] on `a`, in place.
void keccak_f1600(std::uint64_t a[kLanes]);

}  // namespace tavo::keccak
