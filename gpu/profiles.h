// The six kernel profiles: which kernel a batch runs, how many values each GPU thread handles,
// the batch granularity that follows, and how the interleaved kernels' counter values map to
// header nonces. Plain data and pure functions; any thread may call them.
#pragma once

#include <cstdint>

namespace tavo {

inline constexpr int kProfileCount = 6;

// Values per thread, by profile: search<4>, <8>, <16>, il::search<32>, <64>, <128>.
inline constexpr int profile_n[kProfileCount] = {4, 8, 16, 32, 64, 128};

inline constexpr std::uint32_t kThreadsPerBlock = 256;

// True for 0..5.
constexpr bool valid_profile(int profile) { return profile >= 0 && profile < kProfileCount; }

// True for the bit-interleaved profiles (3..5), whose kernels count in counter values.
constexpr bool interleaved_profile(int profile) { return profile >= 3 && profile < kProfileCount; }

// Nonces per block, profile_n[profile] * 256: a batch's count must be a non-zero multiple of it.
// Returns 0 for a profile outside 0..5.
constexpr std::uint32_t granularity(int profile) {
  return valid_profile(profile) ? static_cast<std::uint32_t>(profile_n[profile]) * kThreadsPerBlock
                                : 0;
}

// The header nonce profile `profile` tries at value k: k itself for the plain profiles; for the
// interleaved ones bit i of k's low half becomes nonce bit 2i and bit 16 + i becomes bit 2i + 1
// (a one-to-one map of the 32-bit values).
std::uint32_t nonce_map(int profile, std::uint32_t k);

}  // namespace tavo
