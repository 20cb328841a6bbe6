#!/usr/bin/env bash
# Installs the Debian packages the project needs, by level:
#   main    the library, the test server and the C++ example (the main job)
#   python  main, plus the Python module strandpy and its example
#   test    python, plus what the tests, the fuzz targets and the benchmarks
#           add (GoogleTest, Google Benchmark, pytest, the BAM tools, clang)
# Without an argument: test (everything).
# Idempotent and quiet: when everything is present it only asks dpkg and
# returns; otherwise it names what it installs in one line.
set -euo pipefail

level=${1:-test}

MAIN=(
  build-essential cmake ninja-build pkg-config git ccache
  libboost-dev libboost-log-dev libboost-filesystem-dev libboost-thread-dev libboost-program-options-dev
  libzmq3-dev cppzmq-dev
  libflatbuffers-dev flatbuffers-compiler
  zlib1g-dev rapidjson-dev nlohmann-json3-dev
)
PYTHON=(pybind11-dev python3-dev python3-numpy)
TEST=(
  python3-pytest python3-hypothesis
  libgtest-dev libgmock-dev libbenchmark-dev
  samtools python3-pysam tabix
  clang-14 libclang-rt-14-dev llvm-14
)

case "$level" in
  main) PACKAGES=("${MAIN[@]}") ;;
  python) PACKAGES=("${MAIN[@]}" "${PYTHON[@]}") ;;
  test) PACKAGES=("${MAIN[@]}" "${PYTHON[@]}" "${TEST[@]}") ;;
  *)
    echo "usage: setup.sh [main|python|test]" >&2
    exit 2
    ;;
esac

missing=()
for p in "${PACKAGES[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if [ ${#missing[@]} -eq 0 ]; then
  exit 0
fi

SUDO=""
if [ "$(id -u)" -ne 0 ]; then SUDO="sudo"; fi
echo "setup: installing ${missing[*]}" >&2
export DEBIAN_FRONTEND=noninteractive
$SUDO apt-get update -qq >/dev/null
# apt's own errors still reach stderr; debconf's note about apt-utils does not.
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null \
  2> >(grep -v '^debconf: delaying package configuration' >&2)
