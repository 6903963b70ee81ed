#!/usr/bin/env bash
# Compiles every translation unit of the library for the target (Platform/QNX/ and the portable
# sources; never Platform/Linux/) with the host compiler, against the declaration-only target
# headers in cmake/target-check/include, with warnings as errors. Nothing is linked or run: this
# catches target code that would not compile before anyone holds a device.
#   BUILD_DIR  build directory (default: build-target-check)
#   CXX, CC    compilers, read by CMake when BUILD_DIR is configured the first time
set -euo pipefail
cd "$(dirname "$0")/.."

source scripts/packages.sh

build_dir=${BUILD_DIR:-build-target-check}
cmake -S . -B "$build_dir" -G Ninja -DCORESYSTEM_WERROR=ON -DCORESYSTEM_TARGET_CHECK=ON
cmake --build "$build_dir" -- -k 0  # every error at once
echo "target side compiles against the target's declarations ($(find "$build_dir" -name "*.o" | wc -l) translation units)"
