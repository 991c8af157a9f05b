#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# make dist: the plug-in for every platform, each under its own file name (hosts key their
# plug-in lists on it) in dist/<platform>/, with the LV2 bundle Trimwise.lv2/ beside it on the
# Linux platforms, and dist/SHA256SUMS over all of them. The cross builds describe their bundle
# by running the generator under their emulator (qemu-user).
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
   lv2=""
   [[ $platform == linux-* ]] && lv2=Trimwise_lv2
   cmake --build --preset "$preset" -j"$jobs" --target Trimwise $lv2
   mkdir -p "dist/$platform"
   cp "build/$preset/$file" "dist/$platform/$file"
   if [[ -n $lv2 ]]; then
      cp -r "build/$preset/lv2/Trimwise.lv2" "dist/$platform/"
   fi
done
(cd dist && find . -type f ! -name SHA256SUMS | sed 's|^\./||' | sort | xargs sha256sum -- >SHA256SUMS)
cat dist/SHA256SUMS
