#!/usr/bin/env bash
# Builds the real product (cuda flavour: native code for sm_75, sm_86, sm_89, sm_120 and the static
# CUDA runtime) and runs it. On a machine without an NVIDIA driver it must print the banner, then
# "no NVIDIA card found (driver missing?)", and exit with status 1. With a driver it only builds.
# Environment: BUILD_DIR (default build-cuda).
set -euo pipefail
cd "$(dirname "$0")/.."

build="${BUILD_DIR:-build-cuda}"
cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=Release -DTAVO_BACKEND=cuda -DTAVO_WERROR=ON \
  -DTAVO_BUILD_TESTS=OFF -DTAVO_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" --target tavo-vornic-qrb >/dev/null

if [ -e /proc/driver/nvidia/version ]; then
  echo "cuda-smoke: built; an NVIDIA driver is present, so the no-driver check does not apply"
  exit 0
fi
set +e
out="$(NO_COLOR=1 timeout 60 "$build/tavo-vornic-qrb" -o 127.0.0.1:9 -u vx1qsmoke 2>&1)"
status=$?
set -e
if [ "$status" -eq 1 ] && grep -q 'Tavo Vornic QRB' <<<"$out" &&
   grep -qx ' error no NVIDIA card found (driver missing?)' <<<"$out"; then
  echo "cuda-smoke: ok (no driver: banner, the device error line, status 1)"
  exit 0
fi
echo "cuda-smoke: FAILED (status $status); output:"
echo "$out"
exit 1
