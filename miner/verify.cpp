#include "miner/verify.h"

#include <algorithm>
#include <string>

#include "pool/stratum.h"
#include "work/pow.h"

namespace tavo {

VerifyOutcome verify_batch(Miner& miner, const Work& work, const DRes& res) {
  VerifyOutcome out;
  if (res.count == 0) return out;
  // Shares of an older job of the same block are still worth submitting; a new block makes them
  // worthless, and so does a new pool session (whose extranonce1 the pool would rebuild them with).
  if (!miner.still_valid_for_pool(work.job)) {
    out.stale = true;
    return out;
  }

  const std::uint32_t n = std::min<std::uint32_t>(res.count, kResultSlots);
  Header header = work.header;
  std::string extranonce2;   // hex, made at the first share of the batch
  for (std::uint32_t i = 0; i < n; ++i) {
    const std::uint32_t nonce = res.nonce[i];
    set_header_nonce(header, nonce);
    const Verdict verdict =
        classify(pow_hash(header), work.job.share_target, work.job.block_target);
    ++out.hashed;
    if (verdict == Verdict::None || miner.pool == nullptr) continue;

    if (extranonce2.empty()) extranonce2 = extranonce2_hex(work.extranonce2);
    miner.pool->submit(work.job.job_id, extranonce2, work.job.ntime, nonce);
    ++out.submitted;
    if (verdict == Verdict::Block) {
      ++out.blocks;
      if (miner.on_block) miner.on_block(work.job.height);
    }
  }
  return out;
}

}  // namespace tavo
