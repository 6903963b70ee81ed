# Installs, on a Debian machine, the packages the build and the tests need and that are missing.
# Sourced by the scripts beside it.
packages=(cmake ninja-build g++ clang libclang-rt-dev libgtest-dev libgmock-dev libbenchmark-dev zlib1g-dev
          libpng-dev libcli11-dev nlohmann-json3-dev libx11-dev libssl-dev xvfb python3 pkgconf)
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

