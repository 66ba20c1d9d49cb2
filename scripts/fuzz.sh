#!/usr/bin/env bash
# Builds the libFuzzer targets with clang (ASan and UBSan included) and runs each one for
# FUZZ_SECONDS, FUZZ_JOBS at a time, starting from the seed corpora in tests/fuzz/corpus (the JSON
# reader also from the JSONTestSuite cases in tests/data). New inputs the fuzzers find are kept in
# the build folder, not in the repository; an input that breaks a target is saved there too and
# fails the script.
#
# Environment:
#   FUZZ_SECONDS   seconds per target (default 60)
#   FUZZ_JOBS      targets run at the same time (default 2)
#   FUZZ_TARGETS   space-separated subset (default: all four)
#   BUILD_DIR      build folder (default build-fuzz)
# Replay one input:      build-fuzz/tests/fuzz/fuzz_<target> <file>
# Keep what a run found: fuzz_<target> -merge=1 tests/fuzz/corpus/<target> build-fuzz/corpus/<target>
set -euo pipefail
cd "$(dirname "$0")/.."

seconds="${FUZZ_SECONDS:-60}"
jobs="${FUZZ_JOBS:-2}"
targets="${FUZZ_TARGETS:-json_parse stratum_line hex_decode stratum_notify}"
build="${BUILD_DIR:-build-fuzz}"

if ! command -v clang++ >/dev/null 2>&1; then
  echo "fuzz: clang++ not found (the fuzz targets need clang's libFuzzer)" >&2
  exit 1
fi

CC=clang CXX=clang++ cmake -S . -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo -DTAVO_BACKEND=cpu \
  -DTAVO_FUZZ=ON -DTAVO_BUILD_TESTS=OFF -DTAVO_BUILD_BENCH=OFF -DTAVO_WERROR=ON >/dev/null
cmake --build "$build" --target tavo_fuzzers -j "$(nproc)"

root="$PWD"
out="$root/$build/fuzz-runs"
mkdir -p "$out"

# Runs one target; its output goes to $out/<target>.log.
run_target() {
  local target="$1"
  local corpus="$root/$build/corpus/$target" artifacts="$root/$build/artifacts/$target"
  mkdir -p "$corpus" "$artifacts"
  local seeds=("$root/tests/fuzz/corpus/$target")
  [ "$target" = json_parse ] && seeds+=("$root/tests/data/json-test-suite/test_parsing")
  local dict=()
  [ "$target" != hex_decode ] && dict=(-dict="$root/tests/fuzz/stratum.dict")
  # -timeout: one input taking seconds is a hang worth a report; -rss_limit_mb bounds memory
  # growth the same way. ASan's leak check runs at the end of every run.
  "$root/$build/tests/fuzz/fuzz_$target" "${dict[@]}" -max_total_time="$seconds" -timeout=10 \
    -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$artifacts/" \
    "$corpus" "${seeds[@]}" >"$out/$target.log" 2>&1
}

status=0
pids=()
names=()
for target in $targets; do
  if [ "${#pids[@]}" -ge "$jobs" ]; then
    wait "${pids[0]}" || { status=1; echo "fuzz: ${names[0]} FAILED, see $out/${names[0]}.log" >&2; }
    pids=("${pids[@]:1}")
    names=("${names[@]:1}")
  fi
  echo "fuzz: $target for ${seconds} s"
  run_target "$target" &
  pids+=($!)
  names+=("$target")
done
for i in "${!pids[@]}"; do
  wait "${pids[$i]}" || { status=1; echo "fuzz: ${names[$i]} FAILED, see $out/${names[$i]}.log" >&2; }
done

# One line per target: executions, edges and features covered, corpus size, findings.
printf '%-16s %12s %8s %8s %8s  %s\n' target executions cov ft corpus findings
for target in $targets; do
  log="$out/$target.log"
  execs="$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)"
  done_line="$(grep -E '^#[0-9]+.*(DONE|pulse|NEW|REDUCE)' "$log" | tail -1)"
  cov="$(sed -n 's/.* cov: \([0-9]*\).*/\1/p' <<<"$done_line")"
  ft="$(sed -n 's/.* ft: \([0-9]*\).*/\1/p' <<<"$done_line")"
  corp="$(sed -n 's/.* corp: \([0-9]*\).*/\1/p' <<<"$done_line")"
  found="$(find "$root/$build/artifacts/$target" -type f | wc -l)"
  printf '%-16s %12s %8s %8s %8s  %s\n' "$target" "${execs:-?}" "${cov:-?}" "${ft:-?}" \
    "${corp:-?}" "$found"
  [ "$found" -eq 0 ] || status=1
done
exit $status
