#!/usr/bin/env bash
# Builds CoreSystem with warnings as errors and runs its tests; on a fresh Debian machine it first
# installs the packages that are missing.
#   BUILD_DIR            build directory (default: build)
#   CXX, CC              compilers, read by CMake when BUILD_DIR is configured the first time
#   CORESYSTEM_SANITIZE  sanitizers, e.g. address,undefined or thread
#   CTEST_ARGS           extra ctest arguments as shell words, e.g. -R "^(SlogTest|PosixTest)\."
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/packages.sh

build_dir=${BUILD_DIR:-build}
ctest_args=()
eval "ctest_args=(${CTEST_ARGS:-})"  # shell words, so that quoted regexes survive

cmake -S . -B "$build_dir" -G Ninja -DCORESYSTEM_WERROR=ON -DCORESYSTEM_SANITIZE="${CORESYSTEM_SANITIZE:-}"
cmake --build "$build_dir"
cd "$build_dir"
ctest --output-on-failure -j2 --no-tests=error "${ctest_args[@]}"
