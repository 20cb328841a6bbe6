#!/usr/bin/env bash
# Installs the build into a temporary prefix, then builds the consumer
# program against it twice (find_package, pkg-config) and runs both.
# usage: install_test.sh BUILD_DIR CONSUMER_SOURCE_DIR "EXTRA_CXX_FLAGS"
set -euo pipefail
build=$1
source=$2
flags=${3:-}

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
prefix=$work/prefix

cmake --install "$build" --prefix "$prefix" >/dev/null
for f in apps/strandlink.h apps/read.h apps/result.h apps/server_query.h data_model/metadata.h common/export.h \
  bam/bam_index.h bam/bam_record.h bam/bam_utils.h bam/bgzf.h bam/sam_line.h; do
  test -f "$prefix/include/strandlink/$f" || { echo "not installed: include/strandlink/$f" >&2; exit 1; }
done

# find_package, with Boost out of reach: the public headers use none of
# it, so the package must not ask for it.
cmake -S "$source" -B "$work/cmake" -G Ninja -DCMAKE_BUILD_TYPE=None -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_CXX_FLAGS="$flags" -DCMAKE_DISABLE_FIND_PACKAGE_Boost=ON >/dev/null
cmake --build "$work/cmake" >/dev/null
"$work/cmake/consumer"

# pkg-config
pc_dir=$(dirname "$(find "$prefix" -name strandlink.pc | head -1)")
export PKG_CONFIG_PATH=$pc_dir
libdir=$(pkg-config --variable=libdir strandlink)
# Boost's shared libraries by their run-time file names only: linking with
# -lboost_... would need Boost's development packages.
if pkg-config --libs strandlink | grep -Eq -- '-lboost_'; then
  echo "pkg-config asks for Boost's development libraries: $(pkg-config --libs strandlink)" >&2
  exit 1
fi
# shellcheck disable=SC2046,SC2086
c++ -std=c++17 $flags "$source/consumer.cc" -o "$work/consumer_pc" $(pkg-config --cflags --libs strandlink) \
  -Wl,-rpath,"$libdir"
"$work/consumer_pc"
echo "install test passed"
