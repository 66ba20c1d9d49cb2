#include "gpu/djob.h"

#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <random>
#include <vector>

#include "tests/work/test_bytes.h"
#include "work/pow.h"

namespace {

using tavo::Header;

// The counter-to-nonce spread of the interleaved profiles, written out here so that the test does
// not lean on the back end's own map: bit i of k is nonce bit 2i, bit 16 + i is nonce bit 2i + 1.
std::uint32_t spread(std::uint32_t k) {
  std::uint32_t nonce = 0;
  for (unsigned i = 0; i < 16; ++i) {
    nonce |= ((k >> i) & 1u) << (2 * i);
    nonce |= ((k >> (16 + i)) & 1u) << (2 * i + 1);
  }
  return nonce;
}

TEST(DJobTestSpread, MatchesWorkedExamples) {
  EXPECT_EQ(spread(1), 1u);
  EXPECT_EQ(spread(0x10000), 2u);
  EXPECT_EQ(spread(0xFFFF), 0x55555555u);
  EXPECT_EQ(spread(0xFFFF0000), 0xAAAAAAAAu);
  EXPECT_EQ(spread(0x12345678), 0x131C1F60u);
}

TEST(DJobInterleave, WorkedExamplesAndInverse) {
  struct Case {
    std::uint64_t lane, interleaved;
  } cases[] = {
      {3, 0x0000000100000001ULL},
      {1ULL << 62, 0x80000000ULL},
      {1ULL << 63, 0x8000000000000000ULL},
      {0x5555555555555555ULL, 0x00000000FFFFFFFFULL},
      {0xAAAAAAAAAAAAAAAAULL, 0xFFFFFFFF00000000ULL},
      {0, 0},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(interleave(c.lane), c.interleaved) << std::hex << c.lane;
    EXPECT_EQ(deinterleave(c.interleaved), c.lane) << std::hex << c.interleaved;
  }
  std::mt19937_64 rng(1);
  for (int i = 0; i < 10000; ++i) {
    const std::uint64_t v = rng();
    ASSERT_EQ(deinterleave(interleave(v)), v);
    ASSERT_EQ(interleave(deinterleave(v)), v);
  }
}

DJob job_for(std::uint64_t target64) {
  std::mt19937_64 rng(target64);
  return make_djob(tavo::test::random_bytes<80>(rng), target64, 0);
}

TEST(DJobIL, MasksFromLeadingZeros) {
  struct Case {
    std::uint64_t target64;
    std::uint32_t mask_even, mask_odd;
  } cases[] = {
      {0, 0xFFFFFFFF, 0xFFFFFFFF},                      // z = 64
      {1, 0xFFFFFFFE, 0xFFFFFFFF},                      // z = 63
      {0x00000FFFFFFFFFFFULL, 0xFFC00000, 0xFFC00000},  // z = 20
      {0x00001FFFFFFFFFFFULL, 0xFF800000, 0xFFC00000},  // z = 19
      {0x00000000FFFFFFFFULL, 0xFFFF0000, 0xFFFF0000},  // z = 32
      {0x4000000000000000ULL, 0x00000000, 0x80000000},  // z = 1
      {0x8000000000000000ULL, 0x00000000, 0x00000000},  // z = 0
      {~0ULL, 0x00000000, 0x00000000},                  // z = 0
  };
  for (const auto& c : cases) {
    const il::DJobIL il = make_djob_il(job_for(c.target64));
    EXPECT_EQ(il.mask_even, c.mask_even) << std::hex << c.target64;
    EXPECT_EQ(il.mask_odd, c.mask_odd) << std::hex << c.target64;
  }
}

// The interleaved test as a kernel applies it: both masked words of lane 3 zero.
bool il_passes(const il::DJobIL& job, std::uint64_t lane) {
  const std::uint64_t w = interleave(lane);
  return (static_cast<std::uint32_t>(w) & job.mask_even) == 0 &&
         (static_cast<std::uint32_t>(w >> 32) & job.mask_odd) == 0;
}

// The masks pass exactly the lanes below 2^(64 - z), a superset of lane <= target64.
TEST(DJobIL, MaskTestPassesEveryLaneWithinTheThreshold) {
  std::mt19937_64 rng(2);
  for (unsigned z = 0; z <= 64; ++z) {
    const std::uint64_t bound_minus_1 = z == 64 ? 0 : (~0ULL >> z);   // 2^(64-z) - 1
    const std::uint64_t target64 =
        z == 64 ? 0 : (bound_minus_1 >> 1) + 1 + (rng() & (bound_minus_1 >> 1));
    ASSERT_EQ(static_cast<unsigned>(std::countl_zero(target64)), z);
    const il::DJobIL job = make_djob_il(job_for(target64));
    std::vector<std::uint64_t> lanes = {0, target64, bound_minus_1, bound_minus_1 + 1, ~0ULL};
    if (target64 > 0) lanes.push_back(target64 - 1);
    for (int i = 0; i < 200; ++i) lanes.push_back(rng() >> (rng() % 64));
    for (std::uint64_t lane : lanes) {
      const bool below_bound = lane <= bound_minus_1;
      ASSERT_EQ(il_passes(job, lane), below_bound) << "z " << z << " lane " << std::hex << lane;
      if (lane <= target64) {
        ASSERT_TRUE(il_passes(job, lane));
      }
    }
  }
}

TEST(MakeDJob, Layout) {
  std::mt19937_64 rng(4);
  Header header = tavo::test::random_bytes<80>(rng);
  const DJob job = make_djob(header, 0x0123456789ABCDEFULL, 0xCAFEF00D);
  EXPECT_EQ(std::memcmp(job.msg, "QRBPOW01", 8), 0);
  EXPECT_EQ(std::memcmp(job.msg + 8, header.data(), 76), 0);
  EXPECT_EQ(job.msg[84] | job.msg[85] | job.msg[86] | job.msg[87], 0);
  EXPECT_EQ(job.target64, 0x0123456789ABCDEFULL);
  EXPECT_EQ(job.nonce_base, 0xCAFEF00Du);
  EXPECT_EQ(job.pad, 0u);
  // The byte image the device receives: target64 little-endian at offset 88.
  unsigned char image[sizeof(DJob)];
  std::memcpy(image, &job, sizeof job);
  EXPECT_EQ(image[88], 0xEF);
  EXPECT_EQ(image[95], 0x01);
  EXPECT_EQ(image[96], 0x0D);
}

TEST(DJobIL, NonceBytesOfTheJobChangeNothing) {
  std::mt19937_64 rng(6);
  for (int i = 0; i < 20; ++i) {
    DJob a = make_djob(tavo::test::random_bytes<80>(rng), rng(), static_cast<std::uint32_t>(rng()));
    DJob b = a;
    for (int j = 84; j < 88; ++j) b.msg[j] = static_cast<std::uint8_t>(rng() | 1);
    const il::DJobIL ia = make_djob_il(a);
    const il::DJobIL ib = make_djob_il(b);
    ASSERT_EQ(std::memcmp(&ia, &ib, sizeof ia), 0);
    EXPECT_EQ(ia.nonce_base, a.nonce_base);
    EXPECT_EQ(il_lane3_reference(ia, 77), il_lane3_reference(ib, 77));
  }
}

std::uint64_t cpu_lane3(Header header, std::uint32_t nonce) {
  tavo::set_header_nonce(header, nonce);
  return tavo::digest_lane3(tavo::pow_hash(header));
}

// Known answer: the header of the work tests, nonce 0x12345678 (counter 0x141646EC), whose digest
// Python's hashlib gives as ...638e6f0b14daf0f9, lane 3 = 0xF9F0DA140B6F8E63.
TEST(IlReference, KnownAnswer) {
  const Header header = tavo::test::array_from_hex<80>(
      "0000002003020100070605040b0a09080f0e0d0c13121110171615141b1a19181f1e1d1c"
      "a2e9e611c7caa0de4cbf5ef75d9728e5034d1db0c9db553994db4a68d523b227b3a17265ffff001d00000000");
  ASSERT_EQ(spread(0x141646EC), 0x12345678u);
  const il::DJobIL job = make_djob_il(make_djob(header, 0, 0));
  EXPECT_EQ(deinterleave(il_lane3_reference(job, 0x141646EC)), 0xF9F0DA140B6F8E63ULL);
}

// The interleaved path must agree with the CPU digest for every header and counter, counters at
// the ends of the 32-bit range and at the half-word boundaries included.
TEST(IlReference, MatchesCpuDigestOverRandomHeadersAndCounters) {
  std::mt19937_64 rng(8);
  const std::uint32_t fixed[] = {0,          1,          2,          0xFFFF,     0x10000,
                                 0x12345678, 0x7FFFFFFF, 0x80000000, 0xFFFF0000, 0xFFFFFFFE,
                                 0xFFFFFFFF, 0xFFFFFF00, 0x0000FFFF, 0xAAAA5555};
  for (int h = 0; h < 64; ++h) {
    const Header header = tavo::test::random_bytes<80>(rng);   // random nonce bytes too: ignored
    const il::DJobIL job =
        make_djob_il(make_djob(header, rng(), static_cast<std::uint32_t>(rng())));
    std::vector<std::uint32_t> counters(std::begin(fixed), std::end(fixed));
    for (int i = 0; i < 16; ++i) counters.push_back(static_cast<std::uint32_t>(rng()));
    for (int i = 0; i < 8; ++i) {
      counters.push_back(0xFFFFFFFFu - static_cast<std::uint32_t>(rng() % 4096));
    }
    for (std::uint32_t k : counters) {
      ASSERT_EQ(deinterleave(il_lane3_reference(job, k)), cpu_lane3(header, spread(k)))
          << "header " << h << " counter " << std::hex << k;
    }
  }
}

}  // namespace
