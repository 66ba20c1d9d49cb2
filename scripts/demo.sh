#!/usr/bin/env bash
# Builds the miner and starts it with example arguments. Stop it with Ctrl-C.
# Environment: DEMO_SECONDS stops it by itself after that many seconds.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup-deps.sh run
cmake -S . -B build -DCMAKE_BUILD_TYPE=Release -DTAVO_BUILD_TESTS=OFF -DTAVO_BUILD_BENCH=OFF >/dev/null
cmake --build build -j "$(nproc)" --target tavo-vornic-qrb >/dev/null

args=(-o 127.0.0.1:3333 -u vx1qdemo0example0address0for0the0demo0run --worker demo)
if [ -n "${DEMO_SECONDS:-}" ]; then
  ./build/tavo-vornic-qrb "${args[@]}" &
  pid=$!
  sleep "$DEMO_SECONDS"
  kill -TERM "$pid"
  wait "$pid"
else
  exec ./build/tavo-vornic-qrb "${args[@]}"
fi
