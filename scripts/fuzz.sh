#!/usr/bin/env bash
# Builds the fuzz targets (fuzz/, clang 14 with libFuzzer, AddressSanitizer and
# UndefinedBehaviorSanitizer, in build/fuzz) and runs each one for a bounded
# time, starting from its seed inputs in fuzz/corpus/<target>/. Fails when any
# target finds a crash, a leak, undefined behaviour, a broken check or a hang.
#
#   bash scripts/fuzz.sh              every target, 30 s each (the CI run)
#   bash scripts/fuzz.sh 600          every target, 600 s each
#   bash scripts/fuzz.sh 600 sam_line only the named targets
#
# Environment: FUZZ_SECONDS (the time per target when no argument gives it),
# FUZZ_PARALLEL (targets run at once, default 3 or the number of cores when
# fewer), JOBS (build jobs, default 3).
# Inputs the fuzzer found interesting collect in build/fuzz/work/<target>/ and
# are reused by the next run; a finding is written to
# build/fuzz/findings/<target>/ and its path printed. Keep the input of every
# fixed finding in fuzz/corpus/<target>/ as a regression case.
set -euo pipefail
cd "$(dirname "$0")/.."

SECONDS_PER_TARGET=${1:-${FUZZ_SECONDS:-30}}
shift || true
CORES=$(nproc)
PARALLEL=${FUZZ_PARALLEL:-$(( CORES < 3 ? CORES : 3 ))}
JOBS=${JOBS:-3}
BUILD=build/fuzz

bash scripts/setup.sh

build_start=$(date +%s)
cmake -S fuzz -B "$BUILD" -G Ninja -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
cmake --build "$BUILD" -j "$JOBS"
echo "fuzz: build took $(( $(date +%s) - build_start )) s"

if [ $# -gt 0 ]; then
  targets=("$@")
else
  mapfile -t targets < "$BUILD/fuzz_targets.txt"
fi

# Leaks are findings too; a hang is an input that runs longer than -timeout.
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
# Reports name files and lines.
if [ -x /usr/lib/llvm-14/bin/llvm-symbolizer ]; then
  export ASAN_SYMBOLIZER_PATH=/usr/lib/llvm-14/bin/llvm-symbolizer
fi

run_target() {  # target
  local t=$1 work="$BUILD/work/$1" findings="$BUILD/findings/$1/" dict=()
  mkdir -p "$work" "$findings"
  if [ -f "fuzz/dict/$t.dict" ]; then dict=(-dict="fuzz/dict/$t.dict"); fi
  "$BUILD/$t" -max_total_time="$SECONDS_PER_TARGET" -timeout=10 -rss_limit_mb=2048 \
    -print_final_stats=1 -artifact_prefix="$findings" "${dict[@]}" \
    "$work" "fuzz/corpus/$t" > "$BUILD/$t.log" 2>&1
}

# Runs the targets, at most PARALLEL at once.
declare -A pids=()
for t in "${targets[@]}"; do
  if [ ! -x "$BUILD/$t" ]; then
    echo "fuzz: no target named $t" >&2
    exit 2
  fi
  while [ "$(jobs -rp | wc -l)" -ge "$PARALLEL" ]; do wait -n || true; done
  run_target "$t" &
  pids[$t]=$!
done

status=0
for t in "${targets[@]}"; do
  rc=0
  wait "${pids[$t]}" || rc=$?
  log="$BUILD/$t.log"
  runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -1)
  cov=$(grep -E '^#[0-9]+.*(DONE|pulse|NEW|REDUCE|INITED).*cov:' "$log" | tail -1 |
        sed -E 's/.*cov: ([0-9]+) ft: ([0-9]+).*/cov \1, ft \2/')
  if [ "$rc" -eq 0 ]; then
    echo "fuzz: $t: ${runs:-?} runs, ${cov:-no coverage line}: clean"
  else
    status=1
    echo "fuzz: $t: FAILED (exit $rc) after ${runs:-?} runs, ${cov:-no coverage line}"
    grep -E 'ERROR|SUMMARY|fuzz check failed|Test unit written|terminate called|what\(\)' "$log" | head -20 | sed 's/^/    /'
    echo "    full log: $log"
  fi
done
exit $status
