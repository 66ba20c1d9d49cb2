// Byte helpers shared by the work and device-job tests: hex text to bytes and back, and seeded
// random headers so that every run checks the same cases.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <random>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

namespace tavo::test {

inline int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  throw std::invalid_argument("not a hex digit");
}

inline std::vector<std::uint8_t> from_hex(std::string_view hex) {
  if (hex.size() % 2 != 0) throw std::invalid_argument("odd hex length");
  std::vector<std::uint8_t> out(hex.size() / 2);
  for (std::size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<std::uint8_t>(hex_digit(hex[2 * i]) << 4 | hex_digit(hex[2 * i + 1]));
  }
  return out;
}

template <std::size_t N>
std::array<std::uint8_t, N> array_from_hex(std::string_view hex) {
  const std::vector<std::uint8_t> v = from_hex(hex);
  if (v.size() != N) throw std::invalid_argument("wrong hex length");
  std::array<std::uint8_t, N> out{};
  for (std::size_t i = 0; i < N; ++i) out[i] = v[i];
  return out;
}

template <typename Container>
std::string to_hex(const Container& bytes) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string s;
  for (std::uint8_t b : bytes) {
    s.push_back(kDigits[b >> 4]);
    s.push_back(kDigits[b & 0xF]);
  }
  return s;
}

template <std::size_t N>
std::array<std::uint8_t, N> random_bytes(std::mt19937_64& rng) {
  std::array<std::uint8_t, N> out{};
  for (auto& b : out) b = static_cast<std::uint8_t>(rng());
  return out;
}

}  // namespace tavo::test
