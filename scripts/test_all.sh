#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test three ways:
#   build/plain    plain build, all tests
#   build/asan     AddressSanitizer + UndefinedBehaviorSanitizer, all tests
#   build/tsan     ThreadSanitizer, the tests of the threaded parts
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

JOBS=${JOBS:-$(nproc)}
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=0}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}
export TSAN_OPTIONS=${TSAN_OPTIONS:-halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/scripts/tsan.supp}

# Test builds use light optimisation and line tables only: the template-heavy
# logging code compiles several times faster than at -O2 -g, and sanitizer
# reports still carry file and line.
configure() {  # dir sanitize
  cmake -S . -B "$1" -G Ninja -DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_FLAGS="-O1 -g1" \
    -DSTRANDLINK_SANITIZE="$2" -DSTRANDLINK_BUILD_BENCH=OFF >/dev/null
}

status=0

configure build/plain ""
cmake --build build/plain -j "$JOBS"
ctest --test-dir build/plain -j "$JOBS" --output-on-failure || status=1

configure build/asan address
cmake --build build/asan -j "$JOBS"
ctest --test-dir build/asan -j "$JOBS" --output-on-failure || status=1

configure build/tsan thread
cmake --build build/tsan -j "$JOBS" --target threaded_tests
ctest --test-dir build/tsan -j "$JOBS" -L threaded --output-on-failure || status=1

if [ -f python/CMakeLists.txt ] && [ -d tests/python ]; then
  /usr/bin/python3 -m pytest -q tests/python || status=1
fi

bash scripts/fuzz.sh || status=1

exit $status
