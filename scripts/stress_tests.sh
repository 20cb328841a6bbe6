#!/usr/bin/env bash
# Runs the test suites again and again while the machine is kept busy, to show
# that no test depends on the machine's speed. Not part of the test command.
#
#   bash scripts/stress_tests.sh [rounds] [suite...]
#
# rounds  how many times each suite runs (default 5)
# suite   plain, asan, tsan, python (default: these four), python-asan (the
#         Python tests over the AddressSanitizer module; on demand only)
#
# The trees are built first (as the test command builds them), without load.
# Then one busy process per core (LOAD_PROCS, default the number of cores)
# runs beside the tests; each is bounded by LOAD_SECONDS (default 3 hours)
# and all are stopped when the script ends or is interrupted. Every failure is
# reported with its suite, round and test name; the exit status is 1 when any
# test failed. Logs of every run stay in build/stress/.
set -euo pipefail
cd "$(dirname "$0")/.."

ROUNDS=${1:-5}
shift || true
SUITES=("$@")
if [ ${#SUITES[@]} -eq 0 ]; then
  SUITES=(plain asan tsan python)
fi
if ! [[ "$ROUNDS" =~ ^[1-9][0-9]*$ ]]; then
  echo "stress_tests: rounds must be a whole number above 0, not '$ROUNDS'" >&2
  exit 2
fi
for suite in "${SUITES[@]}"; do
  case "$suite" in
    plain | asan | tsan | python | python-asan) ;;
    *) echo "stress_tests: unknown suite '$suite' (plain, asan, tsan, python, python-asan)" >&2; exit 2 ;;
  esac
done

bash scripts/setup.sh

JOBS=${JOBS:-$(nproc)}
LOAD_PROCS=${LOAD_PROCS:-$(nproc)}
LOAD_SECONDS=${LOAD_SECONDS:-10800}
source scripts/test_env.sh

needs() {  # suite names...: whether any of them was asked for
  local s
  for s in "$@"; do
    [[ " ${SUITES[*]} " == *" $s "* ]] && return 0
  done
  return 1
}

echo "stress_tests: building the test trees" >&2
if needs plain python python-asan; then
  configure build/plain ""
  cmake --build build/plain -j "$JOBS" >/dev/null
fi
if needs asan python-asan; then
  configure build/asan address
  cmake --build build/asan -j "$JOBS" >/dev/null
fi
if needs tsan; then
  configure build/tsan thread
  cmake --build build/tsan -j "$JOBS" --target threaded_tests >/dev/null
fi

load_pids=()
stop_load() {
  if [ ${#load_pids[@]} -gt 0 ]; then
    kill "${load_pids[@]}" 2>/dev/null || true
    wait "${load_pids[@]}" 2>/dev/null || true
    load_pids=()
  fi
}
trap stop_load EXIT
trap 'stop_load; exit 130' INT
trap 'stop_load; exit 143' TERM
for _ in $(seq "$LOAD_PROCS"); do
  timeout "$LOAD_SECONDS" sh -c 'while :; do :; done' &
  load_pids+=($!)
done
echo "stress_tests: $LOAD_PROCS busy processes on $(nproc) cores; $ROUNDS rounds of ${SUITES[*]}" >&2

logs=build/stress
rm -rf "$logs"
mkdir -p "$logs"
failures=()

# Prints the names of the failed tests found in a run's log, one per line.
failed_tests() {  # suite log
  case "$1" in
    python*) sed -n -E 's/^(FAILED|ERROR) ([^ ]+).*/\2/p' "$2" ;;
    *) sed -n '/The following tests FAILED:/,$p' "$2" | sed -n -E 's/^[[:space:]]*[0-9]+ - (.*) \((.*)\)$/\1 (\2)/p' ;;
  esac
}

run_suite() {  # suite log
  case "$1" in
    plain) ctest --test-dir build/plain -j "$JOBS" --output-on-failure ;;
    asan) ctest --test-dir build/asan -j "$JOBS" --output-on-failure ;;
    tsan) ctest --test-dir build/tsan -j "$JOBS" -L "^threaded$" --output-on-failure ;;
    python) run_python_tests plain -rfE ;;
    python-asan) run_python_tests asan -rfE ;;
  esac >"$2" 2>&1
}

declare -A runs failed seconds
for round in $(seq "$ROUNDS"); do
  for suite in "${SUITES[@]}"; do
    log="$logs/$suite-$round.log"
    start=$(date +%s)
    if run_suite "$suite" "$log"; then
      result=passed
    else
      result=FAILED
      failed[$suite]=$(( ${failed[$suite]:-0} + 1 ))
      names=$(failed_tests "$suite" "$log")
      if [ -z "$names" ]; then
        names="(no test named; see $log)"
      fi
      while IFS= read -r name; do
        failures+=("$suite round $round: $name")
      done <<<"$names"
    fi
    took=$(( $(date +%s) - start ))
    runs[$suite]=$(( ${runs[$suite]:-0} + 1 ))
    seconds[$suite]=$(( ${seconds[$suite]:-0} + took ))
    echo "round $round/$ROUNDS $suite: $result in ${took}s (log $log)"
  done
done
stop_load

echo
echo "stress_tests summary ($LOAD_PROCS busy processes, $(nproc) cores, JOBS=$JOBS):"
for suite in "${SUITES[@]}"; do
  printf '  %-12s %d runs, %d failed, %ds in all\n' "$suite" "${runs[$suite]}" "${failed[$suite]:-0}" "${seconds[$suite]}"
done
if [ ${#failures[@]} -gt 0 ]; then
  echo "failures:"
  printf '  %s\n' "${failures[@]}"
  exit 1
fi
echo "no failures"
