// Helpers shared by the back end's tests: random test headers, their device job blocks, and the
// CPU reference of what a profile computes for a value index (the proof-of-work hash of the
// header carrying that value's nonce, through OpenSSL). Single-threaded test code.
#pragma once

#include <array>
#include <cstdint>
#include <random>

#include "gpu/djob.h"
#include "work/pow.h"

namespace tavo::testing {

// The interleaved profiles' counter-to-nonce spread written out bit by bit, independent of the
// back end's nonce_map: bit i of k is nonce bit 2i, bit 16 + i is nonce bit 2i + 1.
inline std::uint32_t spread_bits(std::uint32_t k) {
  std::uint32_t nonce = 0;
  for (unsigned i = 0; i < 16; ++i) {
    nonce |= ((k >> i) & 1u) << (2 * i);
    nonce |= ((k >> (16 + i)) & 1u) << (2 * i + 1);
  }
  return nonce;
}

// The header nonce of value k under `profile`.
inline std::uint32_t reference_nonce(int profile, std::uint32_t k) {
  return profile >= 3 ? spread_bits(k) : k;
}

inline Header random_header(std::uint64_t seed) {
  std::mt19937_64 rng(seed);
  Header header;
  for (auto& byte : header) byte = static_cast<std::uint8_t>(rng());
  return header;
}

// digest_lane3 of the header carrying `nonce` (bytes 76..79, little-endian).
inline std::uint64_t reference_lane3(Header header, std::uint32_t nonce) {
  for (int i = 0; i < 4; ++i) header[76 + i] = static_cast<std::uint8_t>(nonce >> (8 * i));
  return digest_lane3(pow_hash(header));
}

}  // namespace tavo::testing
