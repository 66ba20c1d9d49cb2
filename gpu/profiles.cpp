#include "gpu/profiles.h"

namespace tavo {
namespace {

// Spreads the 16 bits of v over the even bit positions of the result.
constexpr std::uint32_t spread_even(std::uint32_t v) {
  v &= 0xFFFFu;
  v = (v | (v << 8)) & 0x00FF00FFu;
  v = (v | (v << 4)) & 0x0F0F0F0Fu;
  v = (v | (v << 2)) & 0x33333333u;
  v = (v | (v << 1)) & 0x55555555u;
  return v;
}

}  // namespace

std::uint32_t nonce_map(int profile, std::uint32_t k) {
  if (!interleaved_profile(profile)) return k;
  return spread_even(k) | (spread_even(k >> 16) << 1);
}

}  // namespace tavo
