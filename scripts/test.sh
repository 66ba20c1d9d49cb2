#!/usr/bin/env bash
# Builds everything (warnings are errors) and runs every test; CTest prints the summary.
# Environment: BUILD_DIR (default build), JOBS (default: number of cores).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup-deps.sh test
jobs="${JOBS:-$(nproc)}"
build="${BUILD_DIR:-build}"

cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTAVO_BACKEND=cpu -DTAVO_WERROR=ON \
  -DTAVO_BUILD_TESTS=ON -DTAVO_BUILD_BENCH=ON
cmake --build "$build" -j "$jobs"

status=0
(cd "$build" && ctest --output-on-failure -j "$jobs" --timeout 900) || status=1

# The device code for real GPUs is checked wherever the CUDA compiler is installed.
if command -v nvcc >/dev/null 2>&1 || [ -x /usr/local/cuda/bin/nvcc ]; then
  bash scripts/device-gate.sh || status=1
  bash scripts/cuda-smoke.sh || status=1
fi
exit $status
