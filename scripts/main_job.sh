#!/usr/bin/env bash
# The main job: installs what is missing, builds libstrandlink and installs
# it into build/main-job/prefix, builds the example program against that
# installed package only, and streams reads through the project's test
# server on loopback (or, with --address ENDPOINT, through a real server).
# Further options go to the program (`--help` lists them):
#   bash scripts/main_job.sh --reads 20000 --threads 8
# With --python first, it also builds the Python module strandpy, installs
# it with the library and runs the Python example (examples/stream_reads.py)
# over the installed module instead:
#   bash scripts/main_job.sh --python --reads 500
set -euo pipefail
cd "$(dirname "$0")/.."

python=OFF
if [ "${1:-}" = "--python" ]; then
  python=ON
  shift
fi

if [ "$python" = ON ]; then bash scripts/setup.sh python; else bash scripts/setup.sh main; fi

JOBS=${JOBS:-$(nproc)}
out=build/main-job
targets=(strandlink strandlink_data_model test_server)
if [ "$python" = ON ]; then targets+=(strandpy); fi

# The library alone: no tests, no benchmarks, so no GoogleTest.
cmake -S . -B "$out/library" -G Ninja -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF \
  -DSTRANDLINK_BUILD_BENCH=OFF -DSTRANDLINK_BUILD_PYTHON="$python" >/dev/null
cmake --build "$out/library" -j "$JOBS" --target "${targets[@]}"
# Installs what was built: the library and its package, and strandpy when
# it was built.
cmake --install "$out/library" --prefix "$PWD/$out/prefix" >/dev/null

if [ "$python" = ON ]; then
  exec env PYTHONPATH="$PWD/$out/prefix/lib/python3.11/site-packages${PYTHONPATH:+:$PYTHONPATH}" \
    STRANDLINK_TEST_SERVER="$PWD/$out/library/testing/test_server" \
    /usr/bin/python3 examples/stream_reads.py "$@"
fi

cmake -S examples -B "$out/examples" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_PREFIX_PATH="$PWD/$out/prefix" -DSTRANDLINK_TEST_SERVER="$PWD/$out/library/testing/test_server" >/dev/null
cmake --build "$out/examples" -j "$JOBS"

exec "$out/examples/stream_reads" "$@"
