#include "miner/verify.h"

#include <gtest/gtest.h>

#include <map>
#include <string>
#include <vector>

#include "miner_fixture.h"
#include "work/pow.h"

namespace tavo {
namespace {

using test::RecordingPool;
using test::Share;

// A Work of a job whose share target passes about 1 digest in 16 and whose block target about 1
// in 256, with nonces sorted by what the CPU says about them.
class VerifyTest : public ::testing::Test {
 protected:
  void SetUp() override {
    job_ = test::make_job(1, 1, 1, test::target_with_top_byte(0x0F));
    job_.block_target = test::target_with_top_byte(0x00);
    std::uint32_t counter = 0;
    work_ = make_work(job_, 3, counter);
    for (std::uint32_t nonce = 0; blocks_.size() < 4 || shares_.size() < 70 || misses_.size() < 8;
         ++nonce) {
      Header h = work_->header;
      set_header_nonce(h, nonce);
      switch (classify(pow_hash(h), job_.share_target, job_.block_target)) {
        case Verdict::Block: blocks_.push_back(nonce); break;
        case Verdict::Share: shares_.push_back(nonce); break;
        case Verdict::None: misses_.push_back(nonce); break;
      }
    }
    miner_.on_block = [this](std::uint64_t height) {
      pool_.note("block " + std::to_string(height));
    };
    miner_.set_job(job_);
  }

  static DRes result(std::uint32_t count, const std::vector<std::uint32_t>& slots) {
    DRes res{};
    res.count = count;
    for (std::size_t i = 0; i < slots.size() && i < kResultSlots; ++i) res.nonce[i] = slots[i];
    return res;
  }

  std::vector<std::uint32_t> nonces_of(const std::vector<Share>& shares) const {
    std::vector<std::uint32_t> out;
    for (const Share& s : shares) out.push_back(s.nonce);
    return out;
  }

  Job job_;
  std::shared_ptr<const Work> work_;
  std::vector<std::uint32_t> blocks_, shares_, misses_;
  RecordingPool pool_;
  Miner miner_{&pool_, {}};
};

TEST_F(VerifyTest, SubmitsSharesAndBlocksInStoredOrderAndDropsMisses) {
  const std::vector<std::uint32_t> slots = {misses_[0], shares_[0], blocks_[0], misses_[1],
                                            shares_[1], blocks_[1], misses_[2]};
  const VerifyOutcome out = verify_batch(miner_, *work_, result(7, slots));
  EXPECT_EQ(out.hashed, 7u);

  const std::vector<Share> sent = pool_.shares();
  EXPECT_EQ(nonces_of(sent),
            (std::vector<std::uint32_t>{shares_[0], blocks_[0], shares_[1], blocks_[1]}));
  for (const Share& s : sent) {
    EXPECT_EQ(s.job_id, job_.job_id);
    EXPECT_EQ(s.extranonce2, "03000000");
    EXPECT_EQ(s.ntime, job_.ntime);
  }
  test::expect_valid_shares(sent, {{job_.job_id, job_}});
  // Each block candidate reaches on_block with its job's height, after its own submit.
  const std::string block = "block " + std::to_string(job_.height);
  EXPECT_EQ(pool_.events(), (std::vector<std::string>{"submit", "submit", block, "submit",
                                                      "submit", block}));
}

TEST_F(VerifyTest, OnlyTheFirst63OfALargerCountAreHashed) {
  std::vector<std::uint32_t> slots(shares_.begin(), shares_.begin() + 63);
  const VerifyOutcome out = verify_batch(miner_, *work_, result(70, slots));
  EXPECT_EQ(out.hashed, 63u);
  EXPECT_EQ(nonces_of(pool_.shares()), slots);

  // A count below the slots: filled slots behind it are not read.
  RecordingPool other;
  Miner m(&other, {});
  m.set_job(job_);
  EXPECT_EQ(verify_batch(m, *work_, result(2, slots)).hashed, 2u);
  EXPECT_EQ(other.count(), 2u);
  EXPECT_EQ(verify_batch(m, *work_, result(0, slots)).hashed, 0u);
  EXPECT_EQ(other.count(), 2u);
}

TEST_F(VerifyTest, NewBlockOrNoJobDropsEverything) {
  const DRes res = result(3, {shares_[0], blocks_[0], shares_[1]});

  Job next_block = test::make_job(2, 2, 2, job_.share_target);
  ASSERT_NE(next_block.prev_hash, job_.prev_hash);
  miner_.set_job(next_block);
  EXPECT_TRUE(verify_batch(miner_, *work_, res).stale);

  miner_.set_job(Job{});
  EXPECT_TRUE(verify_batch(miner_, *work_, res).stale);

  // Same block but unusable (no coinbase): still nothing.
  Job no_coinbase = job_;
  no_coinbase.coinb1.clear();
  miner_.set_job(no_coinbase);
  EXPECT_TRUE(verify_batch(miner_, *work_, res).stale);

  EXPECT_EQ(pool_.count(), 0u);
  EXPECT_TRUE(pool_.events().empty());
}

TEST_F(VerifyTest, OlderJobOfTheSameBlockKeepsItsOwnIdAndTime) {
  Job newer = test::make_job(2, 9, 1, job_.share_target);
  ASSERT_EQ(newer.prev_hash, job_.prev_hash);
  ASSERT_NE(newer.job_id, job_.job_id);
  miner_.set_job(newer);

  verify_batch(miner_, *work_, result(2, {shares_[3], shares_[4]}));
  const std::vector<Share> sent = pool_.shares();
  ASSERT_EQ(sent.size(), 2u);
  for (const Share& s : sent) {
    EXPECT_EQ(s.job_id, job_.job_id);
    EXPECT_EQ(s.ntime, job_.ntime);
  }
  test::expect_valid_shares(sent, {{job_.job_id, job_}});
}

TEST_F(VerifyTest, BlockCandidateWithoutCallbackIsStillSubmitted) {
  miner_.on_block = nullptr;
  const VerifyOutcome out = verify_batch(miner_, *work_, result(1, {blocks_[2]}));
  EXPECT_EQ(out.blocks, 1u);
  EXPECT_EQ(nonces_of(pool_.shares()), std::vector<std::uint32_t>{blocks_[2]});
  EXPECT_EQ(pool_.events(), std::vector<std::string>{"submit"});
}

// A block candidate need not meet the share target (pool difficulty above the network's).
TEST_F(VerifyTest, BlockCandidateBelowShareDifficultyIsSubmitted) {
  Job hard = job_;
  hard.share_target = Target{};           // no share can meet it
  hard.block_target = test::target_with_top_byte(0x0F);
  std::uint32_t counter = 0;
  const auto work = make_work(hard, 3, counter);
  miner_.set_job(hard);
  std::vector<std::uint32_t> found;
  for (std::uint32_t nonce = 0; found.size() < 2; ++nonce) {
    Header h = work->header;
    set_header_nonce(h, nonce);
    if (meets_target(pow_hash(h), hard.block_target)) found.push_back(nonce);
  }
  const VerifyOutcome out = verify_batch(miner_, *work, result(2, found));
  EXPECT_EQ(out.blocks, 2u);
  EXPECT_EQ(nonces_of(pool_.shares()), found);
}

}  // namespace
}  // namespace tavo
