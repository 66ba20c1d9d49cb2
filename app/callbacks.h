// The five callbacks that link the pool client and the miner to the console: pool messages, miner
// status, new jobs (forwarded to the miner), share results (counted unless the developer
// contribution runs) and block candidates. Each closure captures references to objects the entry
// function owns; they must outlive both the client and the miner. #1, #3 and #4 run on the
// client's session thread, #2 and #5 on GPU worker threads.
#pragma once

#include <atomic>
#include <cstdint>

#include "app/console.h"
#include "app/options.h"
#include "miner/miner.h"
#include "pool/stratum.h"

namespace tavo {

// Installs, in this order: client on_log, miner on_status, client on_job, client on_share, miner
// on_block. Call before either is started.
void install_callbacks(Stratum& client, Miner& miner, Console& console, const Palette& palette,
                       const Options& options, std::uint64_t& last_height,
                       std::atomic<bool>& dev_active);

}  // namespace tavo
