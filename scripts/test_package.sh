#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The framework as other projects get it. The package is installed into a prefix that is then
# moved; the NoteGate example is built against that prefix alone (no package registry, no system
# or environment paths), tested, and checked with that prefix's plughost. Then the same example
# embedded with add_subdirectory and FetchContent, the plug-in function's options, and the two
# mistakes an author can make: no createEffectInstance (under GCC and Clang) and a version the
# package does not have.
#
#   scripts/test_package.sh [build-dir]     (default build/default, configured and built)
set -euo pipefail
cd "$(dirname "$0")/.."
src=$PWD
build=${1:-build/default}
jobs=${JOBS:-2}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

step() { echo "--- [$SECONDS s] $*"; }
fail() {
   echo "FAILED: $*" >&2
   exit 1
}

# Compilers and Ninja by absolute path: the configurations below search no environment path.
gxx=$(command -v g++)
clangxx=$(command -v clang++)
ninja=$(command -v ninja)

step "install into a prefix, then move it"
cmake --build "$build" -j"$jobs" --target Trimwise trimwise_framework plughost >/dev/null
cmake --install "$build" --prefix "$tmp/installed" >/dev/null
mv "$tmp/installed" "$tmp/prefix"
prefix=$tmp/prefix
if grep -rlF -e "$src" -e "$tmp/installed" "$prefix/lib" "$prefix/share" --include='*.cmake'; then
   fail "the installed CMake files name the source tree or the first prefix"
fi

only_prefix=(-G Ninja -DCMAKE_MAKE_PROGRAM="$ninja" -DCMAKE_BUILD_TYPE=Release
   -DCMAKE_PREFIX_PATH="$prefix"
   -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF
   -DCMAKE_FIND_USE_CMAKE_SYSTEM_PATH=OFF -DCMAKE_FIND_USE_SYSTEM_ENVIRONMENT_PATH=OFF
   -DCMAKE_FIND_USE_CMAKE_ENVIRONMENT_PATH=OFF)

step "NoteGate example against the moved prefix, warnings as errors"
cmake -S examples/note_gate -B "$tmp/example" "${only_prefix[@]}" -DCMAKE_CXX_COMPILER="$gxx" \
   -DCMAKE_CXX_FLAGS="-Wall -Wextra -Wpedantic" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
grep -qxF "Trimwise_DIR:PATH=$prefix/lib/cmake/Trimwise" "$tmp/example/CMakeCache.txt" ||
   fail "the example did not find the package in the moved prefix"
grep -qxF "PLUGHOST:FILEPATH=$prefix/bin/plughost" "$tmp/example/CMakeCache.txt" ||
   fail "the example did not find plughost in the moved prefix"
cmake --build "$tmp/example" -j"$jobs" >/dev/null
ctest --test-dir "$tmp/example" --output-on-failure
gate_test=$tmp/example/note_gate_test

step "host example (Trimwise::host) against the moved prefix: its output is plughost's"
cmake -S examples/host -B "$tmp/host" "${only_prefix[@]}" -DCMAKE_CXX_COMPILER="$gxx" \
   -DPKG_CONFIG_EXECUTABLE="$(command -v pkg-config)" \
   -DCMAKE_CXX_FLAGS="-Wall -Wextra -Wpedantic" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
cmake --build "$tmp/host" -j"$jobs" >/dev/null
plughost=$prefix/bin/plughost
settings=("Left Gain=-6 dB" "Right Gain=0.3")
VST_PATH=$prefix/lib/vst "$tmp/host/play_through" Trimwise "$tmp/in.wav" "$tmp/host.wav" \
   "${settings[@]}" >/dev/null 2>&1 && fail "the host example read a file that does not exist"
"$plughost" process "$prefix/lib/vst/Trimwise.so" --seconds 0.5 -o "$tmp/in.wav" -q
VST_PATH=$prefix/lib/vst "$tmp/host/play_through" Trimwise "$tmp/in.wav" "$tmp/host.wav" \
   "${settings[@]}" >/dev/null
"$plughost" process "$prefix/lib/vst/Trimwise.so" -i "$tmp/in.wav" -o "$tmp/ref.wav" -q \
   -p "${settings[0]}" -p "${settings[1]}"
levels() { "$plughost" process "$prefix/lib/vst/Trimwise.so" -i "$1" -o "$tmp/levels.wav" \
   --overwrite --json | grep -o '"inputPeaks":[^]]*],"outputPeaks":[^]]*],"inputRms":[^]]*]'; }
[[ -n "$(levels "$tmp/ref.wav")" && "$(levels "$tmp/host.wav")" == "$(levels "$tmp/ref.wav")" ]] ||
   fail "the host example's output differs from plughost's"

consumer=tests/package/consumer
for embed in embed_subdirectory embed_fetchcontent; do
   step "NoteGate with the source tree embedded ($embed)"
   cmake -S "$consumer" -B "$tmp/$embed" -G Ninja -DCMAKE_BUILD_TYPE=Release -DCASE="$embed" \
      -DTRIMWISE_SOURCE="$src" -DCMAKE_COMPILE_WARNING_AS_ERROR=ON >/dev/null
   cmake --build "$tmp/$embed" -j"$jobs" --target NoteGate >/dev/null
   "$gate_test" "$tmp/$embed/NoteGate.so"
done

step "output name, user folder and the prebuilt framework"
cmake -S "$consumer" -B "$tmp/options" "${only_prefix[@]}" -DCMAKE_CXX_COMPILER="$gxx" \
   -DCASE=options -DTRIMWISE_USER_PLUGIN_DIR="$tmp/user" >/dev/null
cmake --build "$tmp/options" -j"$jobs" >/dev/null
"$gate_test" "$tmp/user/Note Gate.so"
"$prefix/bin/plughost" info "$tmp/user/Note Gate.so" >/dev/null

for cxx in "$gxx" "$clangxx"; do
   step "no createEffectInstance: the link fails and names it ($(basename "$cxx"))"
   cmake -S "$consumer" -B "$tmp/missing-$(basename "$cxx")" "${only_prefix[@]}" \
      -DCMAKE_CXX_COMPILER="$cxx" -DCASE=missing_factory >/dev/null
   if cmake --build "$tmp/missing-$(basename "$cxx")" >"$tmp/missing.log" 2>&1; then
      fail "a module without createEffectInstance linked"
   fi
   grep -q "undefined reference to .createEffectInstance" "$tmp/missing.log" ||
      { cat "$tmp/missing.log"; fail "the link error does not name createEffectInstance"; }
done

step "the exports check rejects modules that export more or lack the factory, and removes them"
check=$prefix/lib/cmake/Trimwise/TrimwiseCheckExports.cmake
printf '%s\n' 'extern "C" void VSTPluginMain() {}' 'extern "C" void main2() {}' >"$tmp/extra.cpp"
printf '%s\n' 'struct AudioEffect* createEffectInstance(void*);' \
   'extern "C" void* VSTPluginMain(void* m) { return createEffectInstance(m); }' >"$tmp/nofactory.cpp"
for bad in extra:main2 nofactory:createEffectInstance; do
   "$gxx" -shared -fPIC -o "$tmp/${bad%%:*}.so" "$tmp/${bad%%:*}.cpp"
   if cmake -DMODULE="$tmp/${bad%%:*}.so" -DNM=nm -P "$check" >"$tmp/check.log" 2>&1; then
      fail "the exports check accepted ${bad%%:*}.so"
   fi
   grep -q "${bad#*:}" "$tmp/check.log" || { cat "$tmp/check.log"; fail "the check does not name ${bad#*:}"; }
   [[ ! -e "$tmp/${bad%%:*}.so" ]] || fail "the check left the rejected ${bad%%:*}.so"
done

step "a version the package does not have: configuring fails and names both versions"
if cmake -S "$consumer" -B "$tmp/version" "${only_prefix[@]}" -DCMAKE_CXX_COMPILER="$gxx" \
   -DCASE=newer_version >"$tmp/version.log" 2>&1; then
   fail "configuring against an incompatible version succeeded"
fi
version=$(sed -n 's/^project(Trimwise VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
grep -q '"1.99"' "$tmp/version.log" && grep -q "version: $version" "$tmp/version.log" ||
   { cat "$tmp/version.log"; fail "the error does not name 1.99 and $version"; }
echo "package: all checks passed"
