#include "work/job.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/work/test_bytes.h"

namespace tavo {
namespace {

using test::array_from_hex;
using test::from_hex;
using test::to_hex;

// A job like a pool sends, and what it must produce. The expected values were computed once with
// Python 3's hashlib, independently of this code:
//   d = lambda b: sha256(sha256(b).digest()).digest()
//   root0 = d(coinb1 + extranonce1 + extranonce2 + coinb2); root = d(d(root0 + br0) + br1)
//   header = pack("<I", version) + prev_hash + root + pack("<III", ntime, nbits, 0)
// with the branches sha256(b"branch-0") and sha256(b"branch-1") and prev_hash the notify bytes
// 00 01 .. 1f with each 4-byte group reversed.
Job sample_job() {
  Job job;
  job.seq = 3;
  job.job_id = "1a2b";
  const Bytes notify_prev =
      from_hex("000102030405060708090a0b0c0d0e0f101112131415161718191a1b1c1d1e1f");
  for (std::size_t i = 0; i < 32; ++i) job.prev_hash[i] = notify_prev[(i / 4) * 4 + 3 - i % 4];
  job.coinb1 = from_hex(
      "0100000001000000000000000000000000000000000000"
      "0000000000000000000000000000ffffffff20035a0b0d");
  job.coinb2 = from_hex(
      "0d2f7661786f6e2d706f6f6c2fffffffff0100f2052a010000001976a914"
      "000000000000000000000000000000000000000088ac00000000");
  job.extranonce1 = from_hex("f8002c90");
  job.merkle_branches = {
      array_from_hex<32>("59bb1fe0d2b2202f6780bfe19f9d845f8709c745f358f826b2ab02a510da070e"),
      array_from_hex<32>("064e57314e3f26e664ffcbc1526ac0622c044a3dd3228c964340490da8e75b8a")};
  job.version = 0x20000000;
  job.nbits = 0x1d00ffff;
  job.ntime = 0x6572a1b3;
  job.extranonce2_size = 4;
  return job;
}
const Bytes kSampleExtranonce2 = {0x02, 0x00, 0x00, 0x01};
constexpr const char* kSampleRootNoBranches =
    "5e4bd03db3925de4d5f19aa12254abacafee4008a6e0ca858043f66f8517f485";
constexpr const char* kSampleHeader =
    "0000002003020100070605040b0a09080f0e0d0c13121110171615141b1a19181f1e1d1c"
    "a2e9e611c7caa0de4cbf5ef75d9728e5034d1db0c9db553994db4a68d523b227b3a17265ffff001d00000000";

std::string root_of(const Header& h) {
  return to_hex(std::vector<std::uint8_t>(h.begin() + 36, h.begin() + 68));
}

TEST(Job, BlankJobIsEmptyAndNotUsable) {
  const Job blank;
  EXPECT_EQ(blank.seq, 0u);
  EXPECT_TRUE(blank.job_id.empty() && blank.coinb1.empty() && blank.coinb2.empty());
  EXPECT_TRUE(blank.merkle_branches.empty() && blank.extranonce1.empty());
  EXPECT_EQ(blank.prev_hash, Hash32{});
  EXPECT_EQ(blank.share_target, Target{});
  EXPECT_EQ(blank.block_target, Target{});
  EXPECT_EQ(blank.version | blank.nbits | blank.ntime, 0u);
  EXPECT_FALSE(blank.clean_jobs);
  EXPECT_EQ(blank.extranonce2_size, 4);
  EXPECT_EQ(blank.height, 0u);
  EXPECT_FALSE(job_usable(blank));
}

TEST(Job, UsableNeedsJobIdAndCoinb1WhateverElse) {
  struct Case {
    std::string job_id;
    Bytes coinb1;
    bool usable;
  } cases[] = {
      {"1a2b", {0x01}, true},
      {"", {0x01}, false},
      {"1a2b", {}, false},
      {"", {}, false},
  };
  for (const auto& c : cases) {
    Job job = sample_job();   // everything else filled in
    job.job_id = c.job_id;
    job.coinb1 = c.coinb1;
    EXPECT_EQ(job_usable(job), c.usable)
        << "job_id '" << c.job_id << "' coinb1 " << c.coinb1.size();
  }
}

TEST(Job, CopySharesNoStorage) {
  const Job original = sample_job();
  Job copy = original;
  ASSERT_EQ(copy.coinb1, original.coinb1);
  EXPECT_NE(copy.coinb1.data(), original.coinb1.data());
  EXPECT_NE(copy.coinb2.data(), original.coinb2.data());
  EXPECT_NE(copy.extranonce1.data(), original.extranonce1.data());
  EXPECT_NE(copy.merkle_branches.data(), original.merkle_branches.data());

  copy.job_id[0] = 'X';
  copy.coinb1[0] ^= 0xFF;
  copy.coinb2[0] ^= 0xFF;
  copy.extranonce1[0] ^= 0xFF;
  copy.merkle_branches[0][0] ^= 0xFF;
  const Job fresh = sample_job();
  EXPECT_EQ(original.job_id, fresh.job_id);
  EXPECT_EQ(original.coinb1, fresh.coinb1);
  EXPECT_EQ(original.coinb2, fresh.coinb2);
  EXPECT_EQ(original.extranonce1, fresh.extranonce1);
  EXPECT_EQ(original.merkle_branches, fresh.merkle_branches);
}

TEST(Extranonce2, Sequences) {
  struct Case {
    const char* name;
    std::int32_t size;
    int worker;
    std::uint32_t counter;
    std::vector<std::string> expected;   // successive calls
    std::uint32_t counter_after;
  } cases[] = {
      {"four bytes", 4, 2, 0, {"02000000", "02000001", "02000002"}, 3},
      {"one byte uses the advanced counter", 1, 2, 0, {"21", "22"}, 2},
      {"one byte keeps the low nibble", 1, 0x13, 0x0E, {"3f", "30", "31"}, 0x11},
      {"one byte at wrap", 1, 2, 0xFFFFFFFF, {"20", "21"}, 1},
      {"four bytes drop the counter's top byte", 4, 1, 0x00FFFFFF,
       {"01ffffff", "01000000"}, 0x01000001},
      {"counter wraps", 4, 1, 0xFFFFFFFF, {"01ffffff", "01000000"}, 1},
      {"two bytes", 2, 0x105, 0x12FF, {"05ff", "0500"}, 0x1301},
      {"five bytes hold the whole counter", 5, 0, 0xAABBCCDD,
       {"00aabbccdd", "00aabbccde"}, 0xAABBCCDF},
      {"eight bytes: beyond the counter stays zero", 8, 3, 0x12345678,
       {"0300000012345678", "0300000012345679"}, 0x1234567A},
  };
  for (const auto& c : cases) {
    std::uint32_t counter = c.counter;
    for (std::size_t i = 0; i < c.expected.size(); ++i) {
      const Bytes e2 = make_extranonce2(c.size, c.worker, counter);
      ASSERT_EQ(e2.size(), static_cast<std::size_t>(c.size)) << c.name;
      EXPECT_EQ(extranonce2_hex(e2), c.expected[i]) << c.name << ", call " << i;
    }
    EXPECT_EQ(counter, c.counter_after) << c.name;
  }
}

TEST(Extranonce2, SizeBelowOneWritesNothing) {
  for (std::int32_t size : {0, -1, -100}) {
    std::uint32_t counter = 9;
    EXPECT_TRUE(make_extranonce2(size, 5, counter).empty()) << size;
    EXPECT_EQ(counter, 9u) << size;
  }
}

TEST(Extranonce2, HexIsLowercaseInByteOrder) {
  EXPECT_EQ(extranonce2_hex({0x00, 0xAB, 0x0F, 0xF0, 0x9c}), "00ab0ff09c");
  EXPECT_EQ(extranonce2_hex({}), "");
}

TEST(BuildHeader, MatchesIndependentComputation) {
  const Job job = sample_job();
  EXPECT_EQ(to_hex(build_header(job, kSampleExtranonce2)), kSampleHeader);

  Job no_branches = job;
  no_branches.merkle_branches.clear();
  EXPECT_EQ(root_of(build_header(no_branches, kSampleExtranonce2)), kSampleRootNoBranches);

  // Branch order matters: the same branches swapped give another root.
  Job swapped = job;
  std::swap(swapped.merkle_branches[0], swapped.merkle_branches[1]);
  EXPECT_NE(root_of(build_header(swapped, kSampleExtranonce2)),
            root_of(build_header(job, kSampleExtranonce2)));
}

TEST(BuildHeader, FieldByteOrders) {
  Job job = sample_job();
  job.version = 1u << 29;
  job.nbits = 0x1D00FFFF;
  job.ntime = 0x01020304;
  const Header h = build_header(job, kSampleExtranonce2);
  const std::string hex = to_hex(h);
  EXPECT_EQ(hex.substr(0, 8), "00000020");
  EXPECT_EQ(hex.substr(8, 64), "03020100070605040b0a09080f0e0d0c13121110171615141b1a19181f1e1d1c");
  EXPECT_EQ(hex.substr(136, 8), "04030201");
  EXPECT_EQ(hex.substr(144, 8), "ffff001d");
  EXPECT_EQ(hex.substr(152, 8), "00000000");
  EXPECT_EQ(header_nonce(h), 0u);
}

// The coinbase is the plain concatenation of its four parts: only the joined bytes count, not
// where one part ends, and each part takes part.
TEST(BuildHeader, CoinbaseIsTheJoinedParts) {
  const Job job = sample_job();
  const std::string reference = root_of(build_header(job, kSampleExtranonce2));

  Job moved = job;   // last byte of coinb1 moved to the front of extranonce1
  moved.extranonce1.insert(moved.extranonce1.begin(), moved.coinb1.back());
  moved.coinb1.pop_back();
  EXPECT_EQ(root_of(build_header(moved, kSampleExtranonce2)), reference);

  Job no_en1 = job;   // extranonce1 carried inside coinb1 instead
  no_en1.coinb1.insert(no_en1.coinb1.end(), job.extranonce1.begin(), job.extranonce1.end());
  no_en1.extranonce1.clear();
  EXPECT_EQ(root_of(build_header(no_en1, kSampleExtranonce2)), reference);

  Job all_in_coinb2 = job;   // extranonce2 passed empty, its bytes at the start of coinb2
  all_in_coinb2.coinb2.insert(all_in_coinb2.coinb2.begin(), kSampleExtranonce2.begin(),
                              kSampleExtranonce2.end());
  EXPECT_EQ(root_of(build_header(all_in_coinb2, {})), reference);

  Job changed = job;
  changed.coinb2.back() ^= 1;
  EXPECT_NE(root_of(build_header(changed, kSampleExtranonce2)), reference);
  EXPECT_NE(root_of(build_header(job, {0x03, 0x00, 0x00, 0x01})), reference);
}

TEST(BuildHeader, WorkersOnOneJobGetDifferentRoots) {
  const Job job = sample_job();
  std::vector<std::string> roots;
  for (int worker = 0; worker < 4; ++worker) {
    std::uint32_t counter = 0;
    const Bytes e2 = make_extranonce2(job.extranonce2_size, worker, counter);
    roots.push_back(root_of(build_header(job, e2)));
  }
  for (std::size_t i = 0; i < roots.size(); ++i) {
    for (std::size_t j = i + 1; j < roots.size(); ++j) {
      EXPECT_NE(roots[i], roots[j]) << "workers " << i << " and " << j;
    }
  }
}

TEST(HeaderNonce, LittleEndianAtBytes76To79) {
  Header h{};
  h.fill(0xEE);
  set_header_nonce(h, 0x12345678);
  EXPECT_EQ(to_hex(h).substr(152), "78563412");
  EXPECT_EQ(to_hex(h).substr(0, 152), std::string(152, 'e'));
  EXPECT_EQ(header_nonce(h), 0x12345678u);
}

}  // namespace
}  // namespace tavo
