#include "work/pow.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <thread>
#include <vector>

#include "tests/work/sha3_vectors.h"
#include "tests/work/test_bytes.h"

namespace tavo {
namespace {

using test::array_from_hex;
using test::to_hex;

// A header of a two-branch job, with digests from Python's hashlib:
//   hashlib.sha3_256(b"QRBPOW01" + header).hexdigest()
// (job_test.cpp builds the same header from its job).
constexpr const char* kHeaderHex =
    "0000002003020100070605040b0a09080f0e0d0c13121110171615141b1a19181f1e1d1c"
    "a2e9e611c7caa0de4cbf5ef75d9728e5034d1db0c9db553994db4a68d523b227b3a17265ffff001d00000000";
constexpr const char* kPowNonce0 =
    "7fd73d664ebb098032eec9c83a1331a5d832b6f4e15460dfa6353d53435bc533";
constexpr const char* kPowNonce12345678 =
    "afed212457fd1ee65aa08ab06b3b63bb37e16c21cbff8246638e6f0b14daf0f9";
// hashlib.sha3_256(header).hexdigest(): the header without the prefix, a different value.
constexpr const char* kSha3HeaderOnly =
    "1832a8cb28aa204ff0687799934965bbd89ddc16536cef1ae10e69cb241912eb";

TEST(Sha3, KnownAnswerVectors) {
  const auto vectors = test::all_sha3_vectors();
  // 136 NIST entries (1..136 bytes) and 256 byte-aligned Keccak-team entries (0..255 bytes).
  ASSERT_EQ(vectors.size(), 392u);
  for (const auto& v : vectors) {
    Digest out{};
    ASSERT_TRUE(sha3_256(v.msg.data(), v.msg.size(), out)) << v.where;
    EXPECT_EQ(to_hex(out), to_hex(v.md)) << v.where;
  }
}

TEST(PowHash, KnownDigestsAndNonce) {
  Header header = array_from_hex<80>(kHeaderHex);
  EXPECT_EQ(to_hex(pow_hash(header)), kPowNonce0);

  set_header_nonce(header, 0x12345678);
  EXPECT_EQ(to_hex(std::vector<std::uint8_t>(header.begin() + 76, header.end())), "78563412");
  EXPECT_EQ(to_hex(pow_hash(header)), kPowNonce12345678);
}

TEST(PowHash, PrefixIsPartOfTheMessage) {
  const Header header = array_from_hex<80>(kHeaderHex);
  const PowMessage msg = pow_message(header);
  EXPECT_EQ(std::string(msg.begin(), msg.begin() + 8), "QRBPOW01");
  EXPECT_TRUE(std::equal(header.begin(), header.end(), msg.begin() + 8));

  Digest plain{};
  ASSERT_TRUE(sha3_256(header.data(), header.size(), plain));
  EXPECT_EQ(to_hex(plain), kSha3HeaderOnly);
  EXPECT_NE(to_hex(pow_hash(header)), kSha3HeaderOnly);
}

// Every worker hashes at once; results must not depend on what other threads hash meanwhile.
TEST(PowHash, ConcurrentCallersGetSequentialResults) {
  std::mt19937_64 rng(7);
  std::vector<Header> headers(400);
  for (auto& h : headers) h = test::random_bytes<80>(rng);
  std::vector<Digest> expected;
  for (const auto& h : headers) expected.push_back(pow_hash(h));

  constexpr int kThreads = 4;
  std::vector<std::vector<Digest>> got(kThreads);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      // Each thread walks the list from a different start so that different inputs overlap.
      for (std::size_t i = 0; i < headers.size(); ++i) {
        const std::size_t j = (i + static_cast<std::size_t>(t) * 97) % headers.size();
        got[static_cast<std::size_t>(t)].push_back(pow_hash(headers[j]));
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) {
    for (std::size_t i = 0; i < headers.size(); ++i) {
      const std::size_t j = (i + static_cast<std::size_t>(t) * 97) % headers.size();
      ASSERT_EQ(got[static_cast<std::size_t>(t)][i], expected[j])
          << "thread " << t << " item " << i;
    }
  }
}

Digest digest_from(std::uint8_t fill) {
  Digest d;
  d.fill(fill);
  return d;
}
Target target_from(std::uint8_t fill) {
  Target t;
  t.fill(fill);
  return t;
}

TEST(MeetsTarget, WorkedCases) {
  struct Case {
    const char* name;
    Digest digest;
    Target target;
    bool meets;
  };
  std::vector<Case> cases;

  // Digest number equal to the target number: digest bytes are the target's reversed.
  Target t = array_from_hex<32>("00000000ffff0000000000000000000000000000000000000000000000000000");
  Digest equal{};
  std::reverse_copy(t.begin(), t.end(), equal.begin());
  cases.push_back({"equal meets", equal, t, true});
  Digest above = equal;
  above[0] = 1;   // least significant byte one higher
  cases.push_back({"one above fails", above, t, false});
  Digest below = equal;
  below[27] = 0xFE;   // pairs with target byte 4 (0xFF)
  cases.push_back({"below in fifth byte meets", below, t, true});

  cases.push_back({"all-FF target, all-FF digest", digest_from(0xFF), target_from(0xFF), true});
  cases.push_back({"all-zero target, zero digest", digest_from(0x00), target_from(0x00), true});
  Digest tiny = digest_from(0x00);
  tiny[0] = 1;
  cases.push_back({"all-zero target, digest 1", tiny, target_from(0x00), false});

  // The most significant pair decides even when every later pair points the other way.
  Digest first_pair = digest_from(0xFF);
  first_pair[31] = 0x00;
  Target one_on_top = target_from(0x00);
  one_on_top[0] = 0x01;
  cases.push_back({"first pair smaller", first_pair, one_on_top, true});
  Digest first_big = digest_from(0x00);
  first_big[31] = 0x02;
  Target one_then_ff = target_from(0xFF);
  one_then_ff[0] = 0x01;
  cases.push_back({"first pair larger", first_big, one_then_ff, false});

  // Only the last pair (digest byte 0, target byte 31) differs.
  Digest last = digest_from(0x80);
  Target last_t = target_from(0x80);
  last[0] = 0x7F;
  cases.push_back({"last pair smaller", last, last_t, true});
  last[0] = 0x81;
  cases.push_back({"last pair larger", last, last_t, false});

  for (const auto& c : cases) EXPECT_EQ(meets_target(c.digest, c.target), c.meets) << c.name;
}

// The same comparison done another way: both sides as four 64-bit words, most significant first.
TEST(MeetsTarget, AgreesWithWordComparison) {
  std::mt19937_64 rng(11);
  // Most significant word first, so that array comparison is numeric comparison.
  auto digest_words = [](const Digest& d) {
    std::array<std::uint64_t, 4> w{};
    for (std::size_t i = 0; i < 32; ++i) w[i / 8] = w[i / 8] << 8 | d[31 - i];
    return w;
  };
  auto target_words = [](const Target& t) {
    std::array<std::uint64_t, 4> w{};
    for (std::size_t i = 0; i < 32; ++i) w[i / 8] = w[i / 8] << 8 | t[i];
    return w;
  };
  int met = 0;
  for (int i = 0; i < 5000; ++i) {
    Target t = test::random_bytes<32>(rng);
    Digest d{};
    std::reverse_copy(t.begin(), t.end(), d.begin());
    // Perturb one random byte so that cases are near the boundary at every position.
    const auto pos = static_cast<std::size_t>(rng() % 32);
    d[pos] = static_cast<std::uint8_t>(d[pos] + static_cast<int>(rng() % 3) - 1);
    const bool expected = digest_words(d) <= target_words(t);
    ASSERT_EQ(meets_target(d, t), expected) << to_hex(d) << " vs " << to_hex(t);
    met += expected;
  }
  EXPECT_GT(met, 1000);
  EXPECT_LT(met, 4000);
}

TEST(Lanes, DigestLane3AndTargetTop64) {
  Digest d{};
  for (std::size_t i = 0; i < 32; ++i) d[i] = static_cast<std::uint8_t>(i + 1);
  EXPECT_EQ(digest_lane3(d), 0x201F1E1D1C1B1A19ULL);
  Target t{};
  for (std::size_t i = 0; i < 32; ++i) t[i] = static_cast<std::uint8_t>(i + 1);
  EXPECT_EQ(target_top64(t), 0x0102030405060708ULL);
}

TEST(Prefilter, LargerTopOfTheTwoTargets) {
  const Target share = array_from_hex<32>("00000000ffff0000" + std::string(48, '0'));
  const Target block = array_from_hex<32>("0000000000ffff00" + std::string(48, '0'));
  EXPECT_EQ(prefilter_threshold(share, block), 0x00000000FFFF0000ULL);
  EXPECT_EQ(prefilter_threshold(block, share), 0x00000000FFFF0000ULL);
  EXPECT_EQ(prefilter_threshold(target_from(0xFF), block), ~std::uint64_t{0});
  EXPECT_EQ(prefilter_threshold(target_from(0), target_from(0)), 0u);
}

// Whatever meets either target has lane 3 within the threshold, so the GPU never drops it.
TEST(Prefilter, NeverRejectsAMeetingDigest) {
  std::mt19937_64 rng(5);
  int meeting = 0;
  for (int i = 0; i < 20000; ++i) {
    Target share = test::random_bytes<32>(rng);
    Target block = test::random_bytes<32>(rng);
    share[0] = 0;
    block[0] = block[1] = 0;
    Digest d = test::random_bytes<32>(rng);
    d[31] = static_cast<std::uint8_t>(rng() % 2);
    if (rng() % 2) d[30] = share[1];   // make equal top bytes common
    const std::uint64_t threshold = prefilter_threshold(share, block);
    if (meets_target(d, share) || meets_target(d, block)) {
      ++meeting;
      ASSERT_LE(digest_lane3(d), threshold) << to_hex(d);
    }
  }
  EXPECT_GT(meeting, 100);
}

TEST(Classify, BlockComesBeforeShare) {
  const Target easy = array_from_hex<32>("00ffffff" + std::string(56, 'f'));
  const Target hard = array_from_hex<32>("00000fff" + std::string(56, 'f'));
  Digest meets_hard{};   // number below both
  Digest meets_easy_only = digest_from(0x00);
  meets_easy_only[31] = 0x00;
  meets_easy_only[30] = 0x10;   // 0x0010... is above 0x00000fff.. but below 0x00ffffff..
  const Digest meets_none = digest_from(0xFF);

  struct Case {
    const char* name;
    Digest digest;
    Target share, block;
    Verdict verdict;
  } cases[] = {
      {"meets both", meets_hard, easy, hard, Verdict::Block},
      {"block only (pool harder than network)", meets_easy_only, hard, easy, Verdict::Block},
      {"share only", meets_easy_only, easy, hard, Verdict::Share},
      {"neither", meets_none, easy, hard, Verdict::None},
  };
  for (const auto& c : cases) EXPECT_EQ(classify(c.digest, c.share, c.block), c.verdict) << c.name;
}

}  // namespace
}  // namespace tavo
