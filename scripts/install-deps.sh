#!/usr/bin/env bash
# Installs the Debian packages the build, the tests and the demo need. Safe to run again:
# only missing packages are installed, and nothing is installed when all are present.
set -euo pipefail

packages=(
    build-essential cmake ninja-build pkg-config ccache
    qtbase5-dev qttools5-dev-tools
    zlib1g-dev liblzma-dev
    libtomcrypt-dev libtommath-dev
    libprotobuf-dev protobuf-compiler
    libdivsufsort-dev
    clang lld libclang-rt-14-dev
    nginx
)
# Extra groups for the benchmarks: ./install-deps.sh bench
if [[ "${1:-}" == "bench" ]]; then
    packages+=(bsdiff xdelta3 zstd curl valgrind time)
fi

missing=()
for p in "${packages[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
        missing+=("$p")
    fi
done
[[ ${#missing[@]} -eq 0 ]] && exit 0

sudo=""
[[ $(id -u) -ne 0 ]] && sudo="sudo"
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
