#!/usr/bin/env bash
# Builds CoreSystem with warnings as errors and runs its tests; on a fresh Debian machine it first
# installs the packages that are missing.
#   BUILD_DIR            build directory (default: build)
#   CXX, CC              compilers, read by CMake when BUILD_DIR is configured the first time
#   CORESYSTEM_SANITIZE  sanitizers, e.g. address,undefined or thread
#   CTEST_ARGS           extra ctest arguments as shell words, e.g. -R "^(SlogTest|PosixTest)\."
set -euo pipefail
cd "$(dirname "$0")/.."

packages=(cmake ninja-build g++ clang libclang-rt-dev libgtest-dev libgmock-dev libbenchmark-dev zlib1g-dev
          libpng-dev libcli11-dev nlohmann-json3-dev libx11-dev libssl-dev xvfb python3)
if command -v dpkg >/dev/null; then
    missing=()
    for package in "${packages[@]}"; do
        [[ $(dpkg -s "$package" 2>/dev/null) == *"Status: install ok installed"* ]] || missing+=("$package")
    done
    if ((${#missing[@]} > 0)); then
        echo "Installing: ${missing[*]}"
        sudo=""
        [[ $(id -u) -eq 0 ]] || sudo=sudo
        $sudo apt-get update
        $sudo env DEBIAN_FRONTEND=noninteractive apt-get install -y --no-install-recommends "${missing[@]}"
    fi
else
    echo "No dpkg here: not installing packages; needs ${packages[*]}" >&2
fi

build_dir=${BUILD_DIR:-build}
ctest_args=()
eval "ctest_args=(${CTEST_ARGS:-})"  # shell words, so that quoted regexes survive

cmake -S . -B "$build_dir" -G Ninja -DCORESYSTEM_WERROR=ON -DCORESYSTEM_SANITIZE="${CORESYSTEM_SANITIZE:-}"
cmake --build "$build_dir"
cd "$build_dir"
ctest --output-on-failure -j2 --no-tests=error "${ctest_args[@]}"
