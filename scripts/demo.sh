#!/usr/bin/env bash
# The main job on any machine: builds the miner if needed, starts the bundled test pool on
# 127.0.0.1 and mines against it until Ctrl-C. Without an NVIDIA GPU and driver the miner runs on
# the CPU stand-in of the CUDA runtime, and the NVML stand-in supplies temperature, power and fan.
# Environment: DEMO_SECONDS stops the run by itself after that many seconds.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup-deps.sh run
echo "building (first run only takes a few minutes) ..."
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release >/dev/null
cmake --build build -j "$(nproc)" --target tavo-vornic-qrb nvml_standin_standard >/dev/null

work="$(mktemp -d)"
python3 tools/testpool/testpool.py --host 127.0.0.1 --port 0 --port-file "$work/port" \
  --log "$work/pool.log" --quiet >"$work/pool.out" 2>&1 &
pool=$!
cleanup() {
  kill -TERM "$pool" 2>/dev/null || true
  wait "$pool" 2>/dev/null || true
  echo "test pool log: $work/pool.log"
}
trap cleanup EXIT
for _ in $(seq 100); do [ -s "$work/port" ] && break; sleep 0.1; done
port="$(cat "$work/port")"
echo "test pool listening on 127.0.0.1:$port"

# The NVML stand-in only when the host has no real NVIDIA management library.
if ! ldconfig -p 2>/dev/null | grep -q 'libnvidia-ml.so.1'; then
  export LD_LIBRARY_PATH="$PWD/build/nvml/standard${LD_LIBRARY_PATH:+:$LD_LIBRARY_PATH}"
fi

args=(-o "127.0.0.1:$port" -u vx1qt6mz0am9k9k8eswgqrw4g60eh6xvrasayxknhd --worker demo)
./build/tavo-vornic-qrb "${args[@]}" &
miner=$!
trap 'kill -TERM "$miner" 2>/dev/null || true' INT TERM
if [ -n "${DEMO_SECONDS:-}" ]; then
  ( sleep "$DEMO_SECONDS"; kill -TERM "$miner" 2>/dev/null || true ) &
fi
status=0
wait "$miner" || status=$?
# A Ctrl-C interrupts the first wait; the miner is then finishing its clean stop.
wait "$miner" 2>/dev/null || true
exit $status
