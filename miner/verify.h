// Candidate verification of one completed batch: the batch's results are used only while the
// pool's current job builds on the same block as the batch's Work; each reported nonce (at most
// 63) is hashed again on the CPU, shares and block candidates go to the pool client's submit with
// the Work's own job id, extranonce2 and ntime, and each block candidate then reaches on_block.
//
// Runs on the worker's thread. It holds the miner's mutex only for the prev_hash comparison;
// hashing, submitting and on_block run without any lock.
#pragma once

#include <cstdint>

#include "gpu/djob.h"
#include "miner/miner.h"
#include "miner/work.h"

namespace tavo {

struct VerifyOutcome {
  bool stale = false;            // the pool moved to another block (or has no job): all dropped
  std::uint32_t hashed = 0;      // nonces hashed on the CPU
  std::uint32_t submitted = 0;   // shares handed to the pool client, block candidates included
  std::uint32_t blocks = 0;      // block candidates among them
};

// Verifies `res`, the result of a batch searched on `work`, and submits what meets a target.
VerifyOutcome verify_batch(Miner& miner, const Work& work, const DRes& res);

}  // namespace tavo
