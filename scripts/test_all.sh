#!/usr/bin/env bash
# Installs what is missing, then builds and runs every test three ways:
#   build/plain    plain build, all tests
#   build/asan     AddressSanitizer + UndefinedBehaviorSanitizer, all tests
#   build/tsan     ThreadSanitizer, the tests of the threaded parts
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh test

JOBS=${JOBS:-$(nproc)}
source scripts/test_env.sh

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
    run_python_tests plain || status=1
    run_python_tests asan || status=1
  else
    status=1
  fi
fi

bash scripts/fuzz.sh || status=1

exit $status
