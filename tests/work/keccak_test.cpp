#include "work/keccak.h"

#include <gtest/gtest.h>

#include <random>
#include <vector>

#include "tests/work/sha3_vectors.h"
#include "tests/work/test_bytes.h"

namespace tavo::keccak {
namespace {

// A plain SHA3-256 sponge over the reference permutation, so that the permutation the device code
// is modelled on is checked against the published vectors without OpenSSL.
std::vector<std::uint8_t> reference_sha3_256(const std::vector<std::uint8_t>& msg) {
  std::vector<std::uint8_t> padded = msg;
  padded.push_back(0x06);
  while (padded.size() % kSha3_256RateBytes != 0) padded.push_back(0x00);
  padded.back() |= 0x80;

  std::uint64_t state[kLanes] = {};
  for (std::size_t block = 0; block < padded.size(); block += kSha3_256RateBytes) {
    for (std::size_t i = 0; i < kSha3_256RateBytes; ++i) {
      state[i / 8] ^= static_cast<std::uint64_t>(padded[block + i]) << (8 * (i % 8));
    }
    keccak_f1600(state);
  }
  std::vector<std::uint8_t> digest(32);
  for (std::size_t i = 0; i < 32; ++i) {
    digest[i] = static_cast<std::uint8_t>(state[i / 8] >> (8 * (i % 8)));
  }
  return digest;
}

TEST(KeccakReference, KnownAnswerVectors) {
  const auto vectors = test::all_sha3_vectors();
  ASSERT_EQ(vectors.size(), 392u);
  for (const auto& v : vectors) {
    EXPECT_EQ(test::to_hex(reference_sha3_256(v.msg)), test::to_hex(v.md)) << v.where;
  }
}

// The identity the interleaved kernels rest on: turning a lane by n and then interleaving equals
// interleaving and then turning the two words, for every amount.
TEST(KeccakInterleaved, RotationMatchesLaneRotation) {
  std::mt19937_64 rng(3);
  std::vector<std::uint64_t> samples = {0, 1, 0x8000000000000000ULL, ~std::uint64_t{0},
                                        0xAAAAAAAAAAAAAAAAULL, 0x5555555555555555ULL};
  for (int i = 0; i < 200; ++i) samples.push_back(rng());
  for (std::uint64_t v : samples) {
    for (unsigned n = 0; n < 64; ++n) {
      const std::uint64_t expected = interleave_lane(rotl64(v, n));
      ASSERT_EQ(join_lane(rotl_il(split_lane(interleave_lane(v)), n)), expected)
          << std::hex << v << " by " << std::dec << n;
    }
  }
}

}  // namespace
}  // namespace tavo::keccak
