#!/usr/bin/env bash
# Static gate on the device code: compiles gpu/kernels/kernels.cu with nvcc for every architecture
# the binary ships (sm_75, sm_86, sm_89, sm_120) and requires, for every kernel instance, what
# ptxas reports as 0 bytes of spill stores, 0 bytes of spill loads, a 0-byte stack frame and no
# shared memory. Prints one line per kernel and architecture; on a violation prints the offending
# lines and exits 1.
#
#   scripts/device-gate.sh [--require-nvcc]
#
# Without nvcc (NVCC, else nvcc on PATH, else /usr/local/cuda/bin/nvcc) there is nothing to check:
# it says so and exits 0, or 2 with --require-nvcc. Extra nvcc flags: NVCC_FLAGS.
# About 40 s on two cores (the architectures compile two at a time).
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
archs=(75 86 89 120)
expected_kernels=7   # search<4|8|16>, il::search<32|64|128>, il::lanes3

nvcc="${NVCC:-}"
if [[ -z "$nvcc" ]]; then
  nvcc="$(command -v nvcc || true)"
  [[ -z "$nvcc" && -x /usr/local/cuda/bin/nvcc ]] && nvcc=/usr/local/cuda/bin/nvcc
fi
if [[ -z "$nvcc" ]]; then
  echo "device-gate: no nvcc found; nothing to check" >&2
  [[ "${1:-}" == "--require-nvcc" ]] && exit 2
  exit 0
fi

work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT

compile() {
  local arch="$1"
  # shellcheck disable=SC2086
  "$nvcc" -std=c++17 -O3 ${NVCC_FLAGS:-} -I"$root" -arch="sm_$arch" -cubin -Xptxas -v \
    -o "$work/sm_$arch.cubin" "$root/gpu/kernels/kernels.cu" >"$work/sm_$arch.log" 2>&1
}

pids=()
for arch in "${archs[@]}"; do
  compile "$arch" &
  pids+=($!)
  if (( ${#pids[@]} >= 2 )); then wait "${pids[0]}" || true; pids=("${pids[@]:1}"); fi
done
for pid in "${pids[@]}"; do wait "$pid" || true; done

demangle() { if command -v c++filt >/dev/null; then c++filt; else cat; fi; }

status=0
for arch in "${archs[@]}"; do
  log="$work/sm_$arch.log"
  if [[ ! -s "$work/sm_$arch.cubin" ]]; then
    echo "FAIL sm_$arch: nvcc failed:"
    sed 's/^/    /' "$log"
    status=1
    continue
  fi
  # One record per kernel: name, stack, spill stores, spill loads, registers, shared memory.
  report="$(awk '
    /Compiling entry function/ { if (name != "") print name, stack, st, ld, regs, smem;
                                 name = $0; sub(/.*function \047/, "", name); sub(/\047.*/, "", name);
                                 stack = st = ld = regs = "?"; smem = 0 }
    /bytes stack frame/        { stack = $1; st = $5; ld = $9 }
    /Used [0-9]+ registers/    { for (i = 1; i <= NF; i++) {
                                   if ($(i+1) ~ /^registers/) regs = $i;
                                   if ($(i+1) == "bytes" && $(i+2) ~ /^smem/) smem = $i } }
    END                        { if (name != "") print name, stack, st, ld, regs, smem }' "$log")"
  count=0
  while read -r mangled stack st ld regs smem; do
    [[ -z "$mangled" ]] && continue
    count=$((count + 1))
    name="$(echo "$mangled" | demangle)"
    line="sm_$arch  $(printf '%-60s' "$name") regs $regs  stack $stack  spill-st $st  spill-ld $ld  smem $smem"
    if [[ "$stack" == 0 && "$st" == 0 && "$ld" == 0 && "$smem" == 0 ]]; then
      echo "ok   $line"
    else
      echo "FAIL $line"
      grep -F -A3 "entry function '$mangled'" "$log" | sed 's/^/    /'
      status=1
    fi
  done <<<"$report"
  if (( count != expected_kernels )); then
    echo "FAIL sm_$arch: ptxas reported $count kernels, expected $expected_kernels"
    status=1
  fi
done
exit "$status"
