#include "pool/targets.h"

namespace tavo {
namespace {

Target all_ones() {
  Target t;
  t.fill(0xFF);
  return t;
}

}  // namespace

Target difficulty_to_target(double difficulty) {
  if (!(difficulty > 0)) return all_ones();
  Target t{};
  // long double is the x87 80-bit format on x86-64: a 64-bit significand, so the quotient keeps
  // exactly the 64 significant bits the target is built from, rounded to nearest.
  long double q = 65535.0L / static_cast<long double>(difficulty);
  int shift = 208;
  constexpr long double two64 = 18446744073709551616.0L;
  constexpr long double two63 = 9223372036854775808.0L;
  // Stopping once the shift is past 192 bounds the loop for the tiniest difficulties; the
  // result saturates there anyway.
  while (q >= two64 && shift <= 192) {
    q /= 2;
    ++shift;
  }
  while (q < two63 && shift > 0) {
    q *= 2;
    --shift;
  }
  if (shift > 192) return all_ones();
  const auto m = static_cast<std::uint64_t>(q);
  for (int i = 0; i < 64; ++i) {
    if (((m >> i) & 1U) == 0) continue;
    const int bit = shift + i;
    t[static_cast<std::size_t>(31 - bit / 8)] |= static_cast<std::uint8_t>(1U << (bit % 8));
  }
  return t;
}

Target nbits_to_target(std::uint32_t nbits) {
  const std::uint32_t exponent = nbits >> 24;
  std::uint32_t mantissa = nbits & 0x007FFFFF;
  Target t{};
  if (exponent <= 3) {
    mantissa >>= 8 * (3 - exponent);
    t[29] = static_cast<std::uint8_t>(mantissa >> 16);
    t[30] = static_cast<std::uint8_t>(mantissa >> 8);
    t[31] = static_cast<std::uint8_t>(mantissa);
    return t;
  }
  if (exponent > 32) return all_ones();
  const std::size_t i = 34 - exponent;
  t[i] = static_cast<std::uint8_t>(mantissa);
  t[i - 1] = static_cast<std::uint8_t>(mantissa >> 8);
  t[i - 2] = static_cast<std::uint8_t>(mantissa >> 16);
  return t;
}

std::uint64_t coinbase_height(std::span<const std::uint8_t> coinb1) {
  constexpr std::size_t kScriptStart = 42;
  if (coinb1.size() <= kScriptStart) return 0;
  const std::size_t n = coinb1[kScriptStart];
  if (n < 1 || n > 4 || coinb1.size() < kScriptStart + 1 + n) return 0;
  std::uint64_t height = 0;
  for (std::size_t i = 0; i < n; ++i) height |= std::uint64_t{coinb1[kScriptStart + 1 + i]} << (8 * i);
  return height;
}

}  // namespace tavo
