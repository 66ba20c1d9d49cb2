// Targets from the pool difficulty and from compact bits, the coinbase height, and the hex
// helpers every message goes through.
#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include <gtest/gtest.h>

#include "pool/hex.h"
#include "pool/targets.h"

namespace tavo {
namespace {

std::string hex(const Target& t) { return hex_encode(t); }

std::string zeros_after(const std::string& head) { return head + std::string(64 - head.size(), '0'); }

const std::string kAllOnes(64, 'f');

TEST(DifficultyToTarget, MatchesTheDifficultyOneTargetDividedByTheDifficulty) {
  struct Case {
    double difficulty;
    std::string target;
  };
  const Case cases[] = {
      {1, zeros_after("00000000ffff")},
      {2, zeros_after("000000007fff8")},
      {0.5, zeros_after("00000001fffe")},
      {3, zeros_after("000000005555")},
      {65536, zeros_after("000000000000ffff")},
      {1.0 / 256, zeros_after("000000ffff")},
      // Quotients that are not exact keep 64 significant bits, rounded to nearest; the exact
      // quotient would go on below them (0.1: ...d80028..., 7.3: ...b698aac7..., 1e6: ...4927913e...).
      {0.1, zeros_after("00000009fff5ffffffffd8")},
      {7.3, zeros_after("00000000231165b2d96cb698c")},
      {1e6, zeros_after("00000000000010c6e6d9be4cd7492")},
      // Below one: nothing meets it but a zero digest.
      {1e100, std::string(64, '0')},
  };
  for (const auto& c : cases) EXPECT_EQ(hex(difficulty_to_target(c.difficulty)), c.target) << c.difficulty;
}

TEST(DifficultyToTarget, SaturatesWhenTheQuotientLeaves256BitsOrTheDifficultyIsNotPositive) {
  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double tiny = std::numeric_limits<double>::denorm_min();
  for (const double d : {0.0, -0.0, -1.0, -1e300, nan, 1e-10, 65535.0 / std::ldexp(1.0, 48), tiny}) {
    EXPECT_EQ(hex(difficulty_to_target(d)), kAllOnes) << d;
  }
  // The largest quotient that still fits: its top bit is bit 255.
  EXPECT_EQ(hex(difficulty_to_target(65535.0 / std::ldexp(1.0, 47))), zeros_after("80"));
  EXPECT_EQ(hex(difficulty_to_target(std::numeric_limits<double>::infinity())), std::string(64, '0'));
}

TEST(NbitsToTarget, ExpandsMantissaByExponent) {
  struct Case {
    std::uint32_t nbits;
    std::string target;
  };
  const Case cases[] = {
      {0x1d00ffff, zeros_after("00000000ffff")},  // the difficulty-1 target
      {0x1d80ffff, zeros_after("00000000ffff")},  // the sign bit is ignored
      {0x1b00ffff, zeros_after("000000000000ffff")},
      {0x03123456, std::string(58, '0') + "123456"},
      {0x02123456, std::string(60, '0') + "1234"},
      {0x01123456, std::string(62, '0') + "12"},
      {0x00123456, std::string(64, '0')},
      {0x04923456, std::string(56, '0') + "12345600"},  // bit 23 dropped from the mantissa
      {0x20123456, zeros_after("123456")},
      {0x21000001, kAllOnes},
      {0xff7fffff, kAllOnes},
  };
  for (const auto& c : cases) EXPECT_EQ(hex(nbits_to_target(c.nbits)), c.target) << std::hex << c.nbits;
  EXPECT_EQ(nbits_to_target(0x1d00ffff), difficulty_to_target(1.0));
  EXPECT_EQ(nbits_to_target(0x1b00ffff), difficulty_to_target(65536.0));
}

TEST(CoinbaseHeight, ReadsTheFirstPushOfTheInputScript) {
  auto coinbase = [](std::initializer_list<std::uint8_t> script) {
    Bytes b(42 + script.size(), 0xAA);
    std::copy(script.begin(), script.end(), b.begin() + 42);
    return b;
  };
  struct Case {
    Bytes coinb1;
    std::uint64_t height;
  };
  const Case cases[] = {
      {coinbase({3, 0x40, 0x0d, 0x03}), 200000},
      {coinbase({3, 0x40, 0x0d, 0x03, 0x99, 0x99}), 200000},  // what follows is not read
      {coinbase({1, 0x10}), 16},
      {coinbase({4, 0xff, 0xff, 0xff, 0xff}), 4294967295u},
      {coinbase({5, 1, 2, 3, 4, 5}), 0},  // push longer than 4 bytes
      {coinbase({0, 1}), 0},
      {coinbase({3, 0x40, 0x0d}), 0},     // push cut short
      {coinbase({1}), 0},
      {Bytes(42, 0x01), 0},               // no script byte at all
      {Bytes(), 0},
  };
  for (const auto& c : cases) EXPECT_EQ(coinbase_height(c.coinb1), c.height) << hex_encode(c.coinb1);
}

TEST(Hex, DecodesPairsAndRefusesAnythingElse) {
  Bytes out{1, 2, 3};
  EXPECT_TRUE(hex_decode("", out));
  EXPECT_TRUE(out.empty());
  ASSERT_TRUE(hex_decode("00ff7Fa0", out));
  EXPECT_EQ(out, (Bytes{0x00, 0xff, 0x7f, 0xa0}));
  for (const char* bad : {"0", "abc", "0g", "g0", " 00", "00 ", "0x00", "+1", "\xff\xff"}) {
    out = {9};
    EXPECT_FALSE(hex_decode(bad, out)) << bad;
    EXPECT_TRUE(out.empty()) << bad;
  }
  EXPECT_FALSE(hex_decode(std::string("0\0", 2), out));
}

TEST(Hex, EncodesLowercaseInByteOrder) {
  EXPECT_EQ(hex_encode(Bytes{}), "");
  EXPECT_EQ(hex_encode(Bytes{0x00, 0x0a, 0xab, 0xff}), "000aabff");
  Bytes all(256);
  for (int i = 0; i < 256; ++i) all[static_cast<std::size_t>(i)] = static_cast<std::uint8_t>(i);
  Bytes back;
  ASSERT_TRUE(hex_decode(hex_encode(all), back));
  EXPECT_EQ(back, all);
  EXPECT_EQ(hex_u32(0), "00000000");
  EXPECT_EQ(hex_u32(255), "000000ff");
  EXPECT_EQ(hex_u32(0xDEADBEEF), "deadbeef");
  EXPECT_EQ(hex_u32(0x10000000), "10000000");
}

}  // namespace
}  // namespace tavo
