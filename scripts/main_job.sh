#!/usr/bin/env bash
# The main job: installs what is missing, builds libstrandlink and installs
# it into build/main-job/prefix, builds the example program against that
# installed package only, and streams reads through the project's test
# server on loopback (or, with --address ENDPOINT, through a real server).
# Further options go to the program (see examples/stream_reads.cpp):
#   bash scripts/main_job.sh --reads 20000 --threads 8
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/setup.sh

JOBS=${JOBS:-$(nproc)}
out=build/main-job
cmake -S . -B "$out/library" -G Ninja -DCMAKE_BUILD_TYPE=Release -DSTRANDLINK_BUILD_BENCH=OFF >/dev/null
cmake --build "$out/library" -j "$JOBS" --target strandlink strandlink_data_model test_server
# The library and its package only; the Python module is not built here.
cmake --install "$out/library" --prefix "$PWD/$out/prefix" --component Unspecified >/dev/null

cmake -S examples -B "$out/examples" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$PWD/$out/prefix" >/dev/null
cmake --build "$out/examples" -j "$JOBS"

exec "$out/examples/stream_reads" --test-server "$out/library/testing/test_server" "$@"
