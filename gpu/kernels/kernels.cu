// The device code: the plain search kernels search<N> (64-bit lanes), the interleaved search
// kernels il::search<N> and the interleaved check kernel il::lanes3, the three device tables, and
// the host functions that launch them (declared in launch.h). One source for both build
// flavours; device_compat.h holds the difference. Where the instructions of a hash go is written
// down in README.md beside this file.
#include "gpu/kernels/device_compat.h"

#include <cstdint>

#include "gpu/djob.h"
#include "gpu/kernels/keccak_common.cuh"
#include "gpu/kernels/launch.h"

// ---- Device tables -------------------------------------------------------------------------

// The device tables carry the numbers of work/keccak.h, entry by entry.
#define TAVO_24(F)                                                                          \
  F(0), F(1), F(2), F(3), F(4), F(5), F(6), F(7), F(8), F(9), F(10), F(11), F(12), F(13), \
      F(14), F(15), F(16), F(17), F(18), F(19), F(20), F(21), F(22), F(23)
#define TAVO_RC(i) tavo::keccak::kRoundConstants[i]
#define TAVO_RC_IL(i) tavo::keccak::kRoundConstantsIL[i]
#define TAVO_RHO(i) tavo::keccak::kRhoOffsets[i]

// Round constants of the iota step.
__constant__ const std::uint64_t d_rc[24] = {TAVO_24(TAVO_RC)};

// rho offsets in lane order x + 5y: the table the host uses to build il::DJobIL. The kernels
// encode every rotation as a fixed amount (dev::rho), so they do not read it.
__device__ std::uint32_t d_rho[25] = {TAVO_24(TAVO_RHO), TAVO_RHO(24)};

namespace il {
// The round constants in interleaved form.
__constant__ const std::uint64_t c_rc_il[24] = {TAVO_24(TAVO_RC_IL)};
}  // namespace il

#include "gpu/kernels/keccak_il.cuh"
#include "gpu/kernels/keccak_plain.cuh"

// ---- Result append -------------------------------------------------------------------------

// Appends `value` to `res` when `hit`: the slot index is the counter before an atomic increment,
// the value is stored below slot 63 and `count` keeps counting. Written per thread; nvcc turns an
// atomicAdd of 1 on one address into one atomic per warp (a ballot of the appending lanes, the
// first of them adds their number, a shuffle hands out the old count and each lane adds its rank
// among them). Spelling that out with __ballot_sync and __popc compiles to the same plus a
// shuffle reduction that ptxas adds around the leader's atomic (it cannot know only one lane
// issues it): about 30 more instructions per nonce. On the CPU each thread appends on its own.
__device__ __forceinline__ void append(DRes* res, bool hit, std::uint32_t value) {
  if (hit) {
    const unsigned index = atomicAdd(&res->count, 1u);
    if (index < kResultSlots) res->nonce[index] = value;
  }
}

// ---- Thread programs -------------------------------------------------------------------------

namespace {

// digest_lane3 of nonce nonce_base + j.
struct PlainHash {
  plain::Base base;
  std::uint32_t nonce_base;

  __device__ __forceinline__ std::uint64_t operator()(std::uint32_t j) const {
    return plain::lane3(base, nonce_base + j);
  }
};

// Lane 3, interleaved, of counter value nonce_base + j.
struct InterleavedHash {
  const il::DJobIL& job;

  __device__ __forceinline__ std::uint64_t operator()(std::uint32_t j) const {
    return il::lane3(job, job.nonce_base + j);
  }
};

// search<N>: appends nonce nonce_base + j when its lane 3 is at most target64.
struct PlainSearch {
  PlainHash hash;
  std::uint64_t target64;
  DRes* res;
  std::uint64_t* lanes;

  __device__ __forceinline__ PlainSearch(const DJob& job, DRes* r, std::uint64_t* l)
      : hash{plain::Base(job), job.nonce_base}, target64(job.target64), res(r), lanes(l) {}

  __device__ __forceinline__ void consume(std::uint32_t j, std::uint64_t lane3) const {
    if (lanes != nullptr) lanes[j] = lane3;
    append(res, lane3 <= target64, hash.nonce_base + j);
  }
};

// il::search<N>: appends counter value nonce_base + j when lane 3 passes both masks.
struct InterleavedSearch {
  InterleavedHash hash;
  DRes* res;

  __device__ __forceinline__ void consume(std::uint32_t j, std::uint64_t lane3) const {
    const bool hit = (static_cast<std::uint32_t>(lane3) & hash.job.mask_even) == 0 &&
                     (static_cast<std::uint32_t>(lane3 >> 32) & hash.job.mask_odd) == 0;
    append(res, hit, hash.job.nonce_base + j);
  }
};

// il::lanes3: lane 3 of counter value nonce_base + j, interleaved, into out[j].
struct InterleavedLanes {
  InterleavedHash hash;
  std::uint64_t* out;

  __device__ __forceinline__ void consume(std::uint32_t j, std::uint64_t lane3) const { out[j] = lane3; }
};

}  // namespace

// ---- Kernels ---------------------------------------------------------------------------------

template <int N>
__global__ void search(const DJob job, DRes* res, std::uint64_t* lanes) {
  tavo_device::run_threads<N>(PlainSearch(job, res, lanes));
}

namespace il {

template <int N>
__global__ void __launch_bounds__(256) search(const DJobIL job, DRes* res) {
  tavo_device::run_threads<N>(InterleavedSearch{{job}, res});
}

__global__ void __launch_bounds__(256) lanes3(const DJobIL job, std::uint64_t* out, std::uint32_t count) {
  tavo_device::run_threads_below(InterleavedLanes{{job}, out}, count);
}

}  // namespace il

// ---- Launches --------------------------------------------------------------------------------

namespace tavo::kernels {

template <int N>
void launch_search(const DJob& job, DRes* res, std::uint64_t* lanes, std::uint32_t grid,
                   cudaStream_t stream) {
  TAVO_LAUNCH(search<N>, grid, kThreadsPerBlock, stream)(job, res, lanes);
}

template <int N>
void launch_il_search(const il::DJobIL& job, DRes* res, std::uint32_t grid, cudaStream_t stream) {
  TAVO_LAUNCH(il::search<N>, grid, kThreadsPerBlock, stream)(job, res);
}

void launch_il_lanes3(const il::DJobIL& job, std::uint64_t* out, std::uint32_t count,
                      std::uint32_t grid, cudaStream_t stream) {
  TAVO_LAUNCH(il::lanes3, grid, kThreadsPerBlock, stream)(job, out, count);
}

template void launch_search<4>(const DJob&, DRes*, std::uint64_t*, std::uint32_t, cudaStream_t);
template void launch_search<8>(const DJob&, DRes*, std::uint64_t*, std::uint32_t, cudaStream_t);
template void launch_search<16>(const DJob&, DRes*, std::uint64_t*, std::uint32_t, cudaStream_t);
template void launch_il_search<32>(const il::DJobIL&, DRes*, std::uint32_t, cudaStream_t);
template void launch_il_search<64>(const il::DJobIL&, DRes*, std::uint32_t, cudaStream_t);
template void launch_il_search<128>(const il::DJobIL&, DRes*, std::uint32_t, cudaStream_t);

#if defined(TAVO_SASS_MEASURE)
// One value per thread, every loop unrolled: instances for the static instruction count only.
template void launch_search<1>(const DJob&, DRes*, std::uint64_t*, std::uint32_t, cudaStream_t);
template void launch_il_search<1>(const il::DJobIL&, DRes*, std::uint32_t, cudaStream_t);
#endif

}  // namespace tavo::kernels
