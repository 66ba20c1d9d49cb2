// Host entry points that launch the device code, one per kernel (defined beside the kernels in
// kernels.cu, where the launch syntax of the build flavour is available). Each pushes the launch
// configuration (grid x 256 threads, no shared memory, the given stream) and launches; a refused
// configuration launches nothing. None of them checks for errors: the caller reads
// cudaGetLastError right after. Callable from any thread; each call only enqueues work on
// `stream`.
#pragma once

#include <cstdint>

#include "gpu/cuda_api.h"
#include "gpu/djob.h"
#include "gpu/profiles.h"

namespace tavo::kernels {

// search<N> over grid blocks: nonces nonce_base + j for j < grid * 256 * N; lane 3 of nonce
// nonce_base + j goes to lanes[j] when lanes is not null.
template <int N>
void launch_search(const DJob& job, DRes* res, std::uint64_t* lanes, std::uint32_t grid,
                   cudaStream_t stream);

// il::search<N> over grid blocks: counter values nonce_base + j for j < grid * 256 * N.
template <int N>
void launch_il_search(const il::DJobIL& job, DRes* res, std::uint32_t grid, cudaStream_t stream);

// il::lanes3 over grid blocks: out[j] for every j < count, interleaved.
void launch_il_lanes3(const il::DJobIL& job, std::uint64_t* out, std::uint32_t count,
                      std::uint32_t grid, cudaStream_t stream);

extern template void launch_search<4>(const DJob&, DRes*, std::uint64_t*, std::uint32_t, cudaStream_t);
extern template void launch_search<8>(const DJob&, DRes*, std::uint64_t*, std::uint32_t, cudaStream_t);
extern template void launch_search<16>(const DJob&, DRes*, std::uint64_t*, std::uint32_t, cudaStream_t);
extern template void launch_il_search<32>(const il::DJobIL&, DRes*, std::uint32_t, cudaStream_t);
extern template void launch_il_search<64>(const il::DJobIL&, DRes*, std::uint32_t, cudaStream_t);
extern template void launch_il_search<128>(const il::DJobIL&, DRes*, std::uint32_t, cudaStream_t);

}  // namespace tavo::kernels
