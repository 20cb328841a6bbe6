# Shared by the test scripts (sourced, not run): the sanitizer settings, how
# each test tree is configured, and how the Python tests run over a tree.

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

# The Python tests over the module of the plain or the AddressSanitizer tree,
# always with the plain tree's test server and Debian's interpreter, the one
# the module is built for. Further arguments go to pytest.
run_python_tests() {  # plain|asan [pytest args...]
  local tree=$1
  shift
  if [ "$tree" = asan ]; then
    # The interpreter is not instrumented, so the runtime comes preloaded
    # (with the C++ runtime, whose exceptions it intercepts), and Python's own
    # allocations are not checked for leaks.
    LD_PRELOAD="$(gcc -print-file-name=libasan.so) $(gcc -print-file-name=libstdc++.so.6)" \
      ASAN_OPTIONS="$ASAN_OPTIONS:detect_leaks=0" \
      PYTHONPATH="$PWD/build/asan/python${PYTHONPATH:+:$PYTHONPATH}" \
      STRANDLINK_TEST_SERVER="$PWD/build/plain/testing/test_server" \
      /usr/bin/python3 -m pytest -q -p no:cacheprovider tests/python -k "not install and not interpreter" "$@"
  else
    PYTHONPATH="$PWD/build/plain/python${PYTHONPATH:+:$PYTHONPATH}" \
      STRANDLINK_TEST_SERVER="$PWD/build/plain/testing/test_server" \
      /usr/bin/python3 -m pytest -q tests/python "$@"
  fi
}
