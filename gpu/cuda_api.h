// The CUDA runtime API as the GPU back end sees it: NVIDIA's runtime in the cuda flavour, our CPU
// stand-in (platform/) in the cpu flavour. Only gpu/, gpu/kernels/ and platform/ include this;
// everything above them sees plain types.
#pragma once

#if defined(TAVO_CUDA_CPU)
#include "platform/cuda_runtime_cpu.h"
#else
#include <cuda_runtime.h>
#endif
