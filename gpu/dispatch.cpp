#include "gpu/dispatch.h"

#include "gpu/kernels/launch.h"
#include "gpu/profiles.h"

namespace tavo {
namespace {

using Launcher = void (*)(const DJob& job, DRes* res, std::uint64_t* lanes, std::uint32_t grid,
                          cudaStream_t stream);

template <int N>
void launch_interleaved(const DJob& job, DRes* res, std::uint64_t* /*lanes*/, std::uint32_t grid,
                        cudaStream_t stream) {
  kernels::launch_il_search<N>(make_djob_il(job), res, grid, stream);
}

struct ProfileKernel {
  int n;             // values per thread
  Launcher launch;
};

// The profile table: the kernel of each profile, with the values per thread it was built for.
constexpr ProfileKernel kProfileKernels[kProfileCount] = {
    {4, &kernels::launch_search<4>},   {8, &kernels::launch_search<8>},
    {16, &kernels::launch_search<16>}, {32, &launch_interleaved<32>},
    {64, &launch_interleaved<64>},     {128, &launch_interleaved<128>},
};

constexpr bool table_matches_profiles() {
  for (int p = 0; p < kProfileCount; ++p) {
    if (kProfileKernels[p].n != profile_n[p]) return false;
  }
  return true;
}
static_assert(table_matches_profiles(), "each profile's kernel must handle profile_n values");

}  // namespace

void dispatch(int profile, const DJob& job, DRes* res, std::uint64_t* lanes, std::uint32_t count,
              cudaStream_t stream) {
  const std::uint32_t grid = count / granularity(profile);
  kProfileKernels[profile].launch(job, res, lanes, grid, stream);
}

void dispatch_lanes3(const DJob& job, std::uint64_t* out, std::uint32_t count,
                     cudaStream_t stream) {
  const auto grid = static_cast<std::uint32_t>((std::uint64_t{count} + kThreadsPerBlock - 1) /
                                               kThreadsPerBlock);
  kernels::launch_il_lanes3(make_djob_il(job), out, count, grid, stream);
}

}  // namespace tavo
