#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# make dist: the plug-in for every platform, each under its own file name (hosts key their
# plug-in lists on it) in dist/<platform>/, and dist/SHA256SUMS over all of them.
set -euo pipefail
cd "$(dirname "$0")/.."
jobs=${1:-2}

# platform folder, preset, file name
targets=(
   "linux-x86_64 default Trimwise.so"
   "linux-aarch64 linux-aarch64 Trimwise.so"
   "linux-i686 linux-i686 Trimwise.so"
   "windows-x64 windows-x64 Trimwise.dll"
)
rm -rf dist
for t in "${targets[@]}"; do
   read -r platform preset file <<<"$t"
   echo "== $platform"
   cmake --preset "$preset" >/dev/null
   cmake --build --preset "$preset" -j"$jobs" --target Trimwise
   mkdir -p "dist/$platform"
   cp "build/$preset/$file" "dist/$platform/$file"
done
(cd dist && sha256sum -- */Trimwise.* >SHA256SUMS)
cat dist/SHA256SUMS
