#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test three ways:
#   build/plain    plain build, all tests
#   build/asan     AddressSanitizer + UndefinedBehaviorSanitizer, all tests
#   build/tsan     ThreadSanitizer, the tests of the threaded parts
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh test

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
# The engine soak: 100 server restarts while reads stream, under ASan.
build/asan/tests/soak/engine_soak --restarts 100 || status=1

configure build/tsan thread
cmake --build build/tsan -j "$JOBS" --target threaded_tests
ctest --test-dir build/tsan -j "$JOBS" -L "^threaded$" --output-on-failure || status=1

if [ -f python/CMakeLists.txt ] && [ -d tests/python ]; then
  # The module, its test-only companion and the test server of the plain
  # build; Debian's interpreter, the one the module is built for.
  if cmake --build build/plain -j "$JOBS" --target strandpy strandpy_probe test_server; then
    PYTHONPATH="$PWD/build/plain/python${PYTHONPATH:+:$PYTHONPATH}" \
      STRANDLINK_TEST_SERVER="$PWD/build/plain/testing/test_server" \
      /usr/bin/python3 -m pytest -q tests/python || status=1
    # Once more over the module of the AddressSanitizer build; the
    # interpreter is not instrumented, so the runtime comes preloaded (with
    # the C++ runtime, whose exceptions it intercepts), and Python's own
    # allocations are not checked for leaks.
    LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so.6)" \
      ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=0" \
      PYTHONPATH="$PWD/build/asan/python${PYTHONPATH:+:$PYTHONPATH}" \
      STRANDLINK_TEST_SERVER="$PWD/build/plain/testing/test_server" \
      /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/python -k "not install and not interpreter" \
      || status=1
  else
    status=1
  fi
fi

bash scripts/fuzz.sh || status=1

exit $status
