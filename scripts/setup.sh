#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Installs the Debian packages the build and the tests need, only those that are missing.
set -euo pipefail

packages=(
  cmake ninja-build g++ clang clang-format libclang-rt-14-dev
  libgtest-dev libgmock-dev libbenchmark-dev
  libcli11-dev libsndfile1-dev libsmf-dev nlohmann-json3-dev
  doxygen lintian help2man dpkg-dev fakeroot file gzip
  g++-aarch64-linux-gnu g++-i686-linux-gnu g++-mingw-w64-x86-64 binutils-mingw-w64-x86-64
  qemu-user wine64
  valgrind
  dpf-plugins-vst zynaddsubfx-vst amsynth
  lv2-dev lilv-utils liblilv-dev sordi
  python3-dev pybind11-dev python3-numpy python3-pytest python3-tqdm python3-distributed
  libfftw3-dev python3-matplotlib python3-selenium chromium chromium-driver
)

missing=()
for p in "${packages[@]}"; do
  if ! dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed"; then
    missing+=("$p")
  fi
done

if ((${#missing[@]} == 0)); then
  exit 0
fi

sudo=""
if [[ $(id -u) -ne 0 ]]; then
  sudo="sudo"
fi
echo "Installing: ${missing[*]}"
export DEBIAN_FRONTEND=noninteractive
$sudo apt-get update -qq
$sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
