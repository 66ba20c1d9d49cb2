// Turns one batch of a profile into one kernel launch. Sees CUDA types, so only gpu/ includes it.
// `dispatch` runs on the calling worker's thread and touches no shared state but the kernels'
// one-time launch handles (the runtime's business).
#pragma once

#include <cstdint>

#include "gpu/cuda_api.h"
#include "gpu/djob.h"

namespace tavo {

// Launches the profile's search kernel over `count` values from job.nonce_base on `stream`:
// count / granularity(profile) blocks of 256 threads, no shared memory. Plain profiles get the
// job as it is and write lane 3 of value j to lanes[j] when `lanes` is not null; interleaved
// profiles get make_djob_il(job) and ignore `lanes`. Precondition: valid profile, count a
// non-zero multiple of its granularity. Checks nothing: the caller reads cudaGetLastError.
void dispatch(int profile, const DJob& job, DRes* res, std::uint64_t* lanes, std::uint32_t count,
              cudaStream_t stream);

// Launches il::lanes3 over `count` counter values from job.nonce_base: (count + 255) / 256
// blocks of 256 threads; out[j] receives lane 3 of value j, interleaved. The caller reads
// cudaGetLastError.
void dispatch_lanes3(const DJob& job, std::uint64_t* out, std::uint32_t count, cudaStream_t stream);

}  // namespace tavo
