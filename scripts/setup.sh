#!/usr/bin/env bash
# Installs every Debian package the project builds, tests and benchmarks with.
# Idempotent: when everything is present it only asks dpkg and returns.
set -euo pipefail

PACKAGES=(
  build-essential cmake ninja-build pkg-config git ccache
  libboost-dev libboost-log-dev libboost-filesystem-dev
  libzmq3-dev cppzmq-dev
  libflatbuffers-dev flatbuffers-compiler
  zlib1g-dev rapidjson-dev nlohmann-json3-dev
  pybind11-dev python3-dev python3-numpy python3-pytest python3-hypothesis
  libgtest-dev libgmock-dev libbenchmark-dev
  samtools python3-pysam tabix
  clang-14 libclang-rt-14-dev llvm-14
)

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
$SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
