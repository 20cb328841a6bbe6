#!/usr/bin/env bash
# The main job's path through the build, checked: the project configured
# without the tests (and without GoogleTest or Google Benchmark to be
# found), only the library and the test server built, `cmake --install`
# with no component named (the Python module's rule is there, the module is
# not built, so it is not installed), then the examples built against that
# installed package and run against the test server.
# usage: library_only_install.sh SOURCE_DIR WORK_DIR
# WORK_DIR keeps the library build between runs; the rest is made anew.
set -euo pipefail
source=$1
work=$2
build=$work/build
prefix=$work/prefix
rm -rf "$prefix" "$work/examples"

fail() { echo "library_only_install: $*" >&2; exit 1; }

cmake -S "$source" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=None -DCMAKE_CXX_FLAGS="-O0 -g0" \
  -DBUILD_TESTING=OFF -DSTRANDLINK_BUILD_BENCH=OFF -DSTRANDLINK_BUILD_PYTHON=ON \
  -DCMAKE_DISABLE_FIND_PACKAGE_GTest=ON -DCMAKE_DISABLE_FIND_PACKAGE_benchmark=ON >/dev/null
cmake --build "$build" -j 2 --target strandlink strandlink_data_model test_server >/dev/null
if find "$build/python" -name 'strandpy*.so' 2>/dev/null | grep -q .; then
  fail "the module was built although not asked for"
fi

cmake --install "$build" --prefix "$prefix" >/dev/null || fail "cmake --install with no component failed"
for f in lib/libstrandlink.so lib/libstrandlink_data_model.a lib/cmake/strandlink/strandlinkConfig.cmake \
         lib/pkgconfig/strandlink.pc include/strandlink/apps/strandlink.h; do
  test -e "$prefix/$f" || fail "not installed: $f"
done
if find "$prefix" -name 'strandpy*' | grep -q .; then
  fail "a module that was not built was installed"
fi

cmake -S "$source/examples" -B "$work/examples" -G Ninja -DCMAKE_BUILD_TYPE=None \
  -DCMAKE_PREFIX_PATH="$prefix" -DSTRANDLINK_TEST_SERVER="$build/testing/test_server" >/dev/null
cmake --build "$work/examples" >/dev/null
# Run from elsewhere, with no test server named: it finds the one it was
# built with.
(cd / && "$work/examples/stream_reads" --reads 40 --threads 2 --finish-timeout 120) >"$work/run.txt" 2>&1 ||
  { cat "$work/run.txt" >&2; fail "the example failed against the installed package"; }
grep -q "^OK: every read came back once" "$work/run.txt" || fail "no OK line"
echo "library-only install passed"
