#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# One cross target of make test: checks that its emulator starts, builds the target's preset
# (no sanitizers, tools, benchmarks or fuzzers) and runs its tests on the target under qemu-user
# or wine. Fails with the reason when the emulator cannot start; never passes without tests.
# Usage: cross_stage.sh windows-x64|linux-aarch64|linux-i686 [jobs]
set -uo pipefail
cd "$(dirname "$0")/.."
preset=$1
jobs=${2:-2}

fail() {
   echo "$preset: $*" >&2
   exit 1
}

case $preset in
linux-aarch64)
   emulator=(qemu-aarch64 -L /usr/aarch64-linux-gnu)
   probe=(/usr/aarch64-linux-gnu/lib/ld-linux-aarch64.so.1 --version)
   ;;
linux-i686)
   emulator=(qemu-i386 -L /usr/i686-linux-gnu)
   probe=(/usr/i686-linux-gnu/lib/ld-linux.so.2 --version)
   ;;
windows-x64)
   emulator=(cmake/toolchains/wine-run.sh)
   probe=(cmd /c exit 0)
   export WINEPREFIX=$PWD/build/wine WINEDEBUG=-all WINEDLLOVERRIDES=mscoree,mshtml=
   wineserver=/usr/lib/wine/wineserver
   [[ -x $wineserver ]] || fail "wine cannot start: $wineserver not found (Debian package wine64)"
   # One server for the whole stage, so that each test program does not start its own.
   mkdir -p "$WINEPREFIX" || fail "cannot create $WINEPREFIX"
   "$wineserver" -p || fail "wine cannot start: wineserver -p failed"
   trap '"$wineserver" -k 2>/dev/null' EXIT
   ;;
*) fail "unknown cross preset (windows-x64, linux-aarch64, linux-i686)" ;;
esac

command -v "${emulator[0]}" >/dev/null || fail "${emulator[0]} not found (scripts/setup.sh installs it)"
# The first wine program also starts wine's services, which keep their output open: the probe
# writes to a file, so that it returns, and the tests find the services running.
probe_log=build/$preset.probe.log
mkdir -p build
if ! "${emulator[@]}" "${probe[@]}" >"$probe_log" 2>&1 </dev/null; then
   fail "${emulator[*]} cannot run a program of the target: $(tail -n 3 "$probe_log")"
fi

cmake --preset "$preset" >/dev/null || fail "configure failed"
cmake --build --preset "$preset" -j"$jobs" || fail "build failed"
# Once in a while wine hangs in a program's start or exit, not in a test; a program that timed
# out runs once more, and one that fails a test does not.
ctest --preset "$preset" -j"$jobs" --repeat after-timeout:2
status=$?
# What the kernel and layout tests covered on this target.
grep -h '^\[ kernels\|^\[ layout' "build/$preset/Testing/Temporary/LastTest.log" 2>/dev/null
exit $status
