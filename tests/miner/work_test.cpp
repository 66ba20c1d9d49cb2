#include "miner/work.h"

#include <gtest/gtest.h>

#include <cstring>

#include "miner_fixture.h"
#include "work/pow.h"

namespace tavo {
namespace {

struct Rollover {
  std::uint32_t batch;
  std::uint64_t batches_per_work;
  std::uint32_t last_base;
};

// Walks one Work the way the worker does and checks the ranges tile [0, n·b) without gaps.
TEST(NonceCursorTest, BatchesPerWorkAndLastBase) {
  const Rollover cases[] = {
      {1u << 20, 4095, 0xFFFFFFFFu - (1u << 21) + 1},   // 2^32 - 2^21
      {1u << 31, 1, 0},
      {262144, 16383, 0xFFFFFFFFu - 2 * 262144 + 1},   // smallest batch of profile 1
      {3u << 20, 1365, 1364u * (3u << 20)},            // not a power of two: no exact end
      {8192u * 262143u, 2, 8192u * 262143u},           // just below 2^31: two batches fit
  };
  for (const Rollover& c : cases) {
    NonceCursor cursor;
    std::uint64_t batches = 0;
    std::uint64_t next_expected = 0;
    std::uint32_t last = 0;
    while (!cursor.exhausted(c.batch)) {
      ASSERT_EQ(cursor.base(), next_expected) << c.batch;
      last = cursor.base();
      cursor.advance(c.batch);
      next_expected += c.batch;
      ++batches;
      ASSERT_LE(batches, 1u << 20) << "runaway for batch " << c.batch;
    }
    EXPECT_EQ(batches, c.batches_per_work) << c.batch;
    EXPECT_EQ(last, c.last_base) << c.batch;
    EXPECT_LT(std::uint64_t{last} + c.batch, NonceCursor::kIndexSpace) << c.batch;
    cursor.reset();
    EXPECT_EQ(cursor.base(), 0u);
    EXPECT_FALSE(cursor.exhausted(c.batch));
  }
}

// A batch that would end exactly at index 2^32 - 1 is not launched.
TEST(NonceCursorTest, RangeEndingAtTopIsLeftOut) {
  NonceCursor cursor;
  cursor.advance(0xFFFFFFFFu - 1023);   // base 2^32 - 1024: [base, base + 1024) ends at 2^32 - 1
  EXPECT_TRUE(cursor.exhausted(1024));
  EXPECT_FALSE(cursor.exhausted(1023));
}

TEST(MakeWorkTest, DeviceBlockCarriesHeaderAndLargerTarget) {
  Job job = test::make_job(5, 1, 1, test::target_with_top_byte(0x00));
  job.extranonce2_size = 3;
  // The block target above the share target: the prefilter must follow the larger of the two.
  job.share_target = Target{};
  job.share_target[1] = 0x12;
  job.block_target = Target{};
  job.block_target[0] = 0x01;
  job.block_target[7] = 0x77;

  std::uint32_t counter = 7;
  const auto work = make_work(job, 2, counter);
  EXPECT_EQ(counter, 8u);
  EXPECT_EQ(work->job.job_id, job.job_id);
  EXPECT_EQ(work->extranonce2, (Bytes{0x02, 0x00, 0x07}));
  EXPECT_EQ(work->header, build_header(job, work->extranonce2));
  EXPECT_EQ(header_nonce(work->header), 0u);

  EXPECT_EQ(std::memcmp(work->djob.msg, "QRBPOW01", 8), 0);
  EXPECT_EQ(std::memcmp(work->djob.msg + 8, work->header.data(), 80), 0);
  EXPECT_EQ(work->djob.target64, 0x0100000000000077ull);
  EXPECT_EQ(work->djob.nonce_base, 0u);
  EXPECT_EQ(work->djob.pad, 0u);

  // The next Work of the same worker is another coinbase.
  const auto next = make_work(job, 2, counter);
  EXPECT_EQ(next->extranonce2, (Bytes{0x02, 0x00, 0x08}));
  EXPECT_NE(next->header, work->header);
}

}  // namespace
}  // namespace tavo
