#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Debian packages of `make package`: their file lists, the extracted plughost running the
# extracted plug-in, a plug-in built from the extracted development package alone, and lintian
# with no errors (its warnings are printed and listed in the README).
#
#   scripts/test_deb.sh [build-dir]     (default build/default, configured)
set -euo pipefail
cd "$(dirname "$0")/.."
build=${1:-build/default}
jobs=${JOBS:-2}
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT

fail() {
   echo "FAILED: $*" >&2
   exit 1
}

version=$(sed -n 's/^project(Trimwise VERSION \([0-9.]*\).*/\1/p' CMakeLists.txt)
arch=$(dpkg --print-architecture)

rm -rf "$build/packages"
cmake --build "$build" -j"$jobs" --target Trimwise Trimwise_lv2 trimwise_framework plughost \
   plughost_manpage python_package >/dev/null
(cd "$build" && cpack -G DEB >/dev/null)

declare -A expected
expected[trimwise]="
/usr/lib/lv2/Trimwise.lv2/Trimwise.so
/usr/lib/lv2/Trimwise.lv2/Trimwise.ttl
/usr/lib/lv2/Trimwise.lv2/manifest.ttl
/usr/lib/vst/Trimwise.so
/usr/share/doc/trimwise/changelog.gz
/usr/share/doc/trimwise/copyright"
expected[plughost]="
/usr/bin/plughost
/usr/share/doc/plughost/changelog.gz
/usr/share/doc/plughost/copyright
/usr/share/man/man1/plughost.1.gz"
expected[trimwise-dev]="
/usr/include/trimwise/framework/audio_effect.h
/usr/include/trimwise/framework/audio_effect_x.h
/usr/include/trimwise/framework/plugin_interface.h
/usr/include/trimwise/deprecated/framework/audio_effect.h
/usr/include/trimwise/deprecated/framework/audio_effect_x.h
/usr/include/trimwise/deprecated/framework/plugin_interface.h
/usr/LIBDIR/cmake/Trimwise/PluginPlatform.cmake
/usr/LIBDIR/cmake/Trimwise/TrimwiseCheckExports.cmake
/usr/LIBDIR/cmake/Trimwise/TrimwiseConfig.cmake
/usr/LIBDIR/cmake/Trimwise/TrimwiseConfigVersion.cmake
/usr/LIBDIR/cmake/Trimwise/TrimwisePlugin.cmake
/usr/LIBDIR/cmake/Trimwise/TrimwiseTargets-release.cmake
/usr/LIBDIR/cmake/Trimwise/TrimwiseTargets.cmake
/usr/LIBDIR/libtrimwise_framework.a
/usr/share/doc/trimwise-dev/changelog.gz
/usr/share/doc/trimwise-dev/copyright
/usr/share/trimwise/src/framework/audio_effect.cpp
/usr/share/trimwise/src/framework/audio_effect_x.cpp
/usr/share/trimwise/src/entry/entry.cpp
/usr/share/trimwise/src/entry/exports.map
/usr/share/trimwise/src/entry/lv2_entry.cpp
/usr/share/trimwise/src/entry/lv2_exports.map
/usr/share/trimwise/src/entry/lv2_ports.h
/usr/share/trimwise/src/entry/lv2_ttl_generator.cpp"
if [[ -f entry/exports.def ]]; then
   expected[trimwise-dev]+=$'\n/usr/share/trimwise/src/entry/exports.def'
fi
# The host library, Trimwise::host.
expected[trimwise-dev]+="
/usr/include/trimwise/host/errors.h
/usr/include/trimwise/host/instance.h
/usr/include/trimwise/host/plugin.h
/usr/include/trimwise/host/raw/instance.h
/usr/include/trimwise/host/raw/module.h
/usr/LIBDIR/libtrimwise_host.a"
libdir=$(sed -n 's/^CMAKE_INSTALL_LIBDIR:PATH=//p' "$build/CMakeCache.txt")

debs=()
for name in trimwise plughost trimwise-dev; do
   deb=$build/packages/${name}_${version}_${arch}.deb
   [[ -f $deb ]] || fail "no $deb (the file name must be the Debian default)"
   debs+=("$deb")
   echo "--- $name: file list"
   # Regular files only, without the leading "."; directories are implied by them.
   dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' | sort >"$tmp/got"
   sed "s|/LIBDIR/|/$libdir/|" <<<"${expected[$name]}" | sed '/^$/d' | sort >"$tmp/want"
   diff -u "$tmp/want" "$tmp/got" || fail "$name: unexpected file list"
   dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/^ *//' >"$tmp/depends"
   echo "depends: $(paste -sd, "$tmp/depends")"
done
# The Python module, where it is built: its files, and its dependencies on numpy, the Python
# version it was built for and plughost (its helper process).
python_deb=$build/packages/python3-plughost_${version}_${arch}.deb
if [[ -f $python_deb ]]; then
   echo "--- python3-plughost: file list"
   dpkg-deb -c "$python_deb" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }' | sort >"$tmp/got"
   cat "$tmp/got"
   for file in __init__.py _batch.py _errors.py analysis.py report.py _report.py _plughost.pyi \
      py.typed; do
      grep -qx "/usr/lib/python3/dist-packages/plughost/$file" "$tmp/got" ||
         fail "python3-plughost lacks plughost/$file"
   done
   grep -q '^/usr/lib/python3/dist-packages/plughost/_plughost\.cpython-.*\.so$' "$tmp/got" ||
      fail "python3-plughost lacks its extension"
   depends=$(dpkg-deb -f "$python_deb" Depends)
   echo "depends: $depends"
   for dependency in python3-numpy "python3 (>= " "plughost (= $version)"; do
      [[ $depends == *"$dependency"* ]] || fail "python3-plughost does not depend on $dependency"
   done
   debs+=("$python_deb")
   # plughost --report runs the module; it depends on plughost, so plughost only suggests it.
   [[ $(dpkg-deb -f "${debs[1]}" Suggests) == *python3-plughost* ]] ||
      fail "plughost does not suggest python3-plughost"
   [[ $(dpkg-deb -f "${debs[1]}" Depends) != *python3-plughost* ]] ||
      fail "plughost depends on python3-plughost: a dependency cycle"
fi
grep -q "^libc6" <(dpkg-deb -f "${debs[1]}" Depends | tr ',' '\n' | sed 's/^ *//') ||
   fail "plughost has no dependencies from dpkg-shlibdeps"

echo "--- the extracted plughost on the extracted plug-in"
for deb in "${debs[@]}"; do dpkg -x "$deb" "$tmp/root"; done
for binary in "$tmp/root/usr/bin/plughost" "$tmp/root/usr/lib/vst/Trimwise.so" \
   "$tmp/root/usr/lib/lv2/Trimwise.lv2/Trimwise.so"; do
   file "$binary" | grep -q ", stripped" || fail "$binary is not stripped"
done
"$tmp/root/usr/bin/plughost" info "$tmp/root/usr/lib/vst/Trimwise.so"
"$tmp/root/usr/bin/plughost" validate "$tmp/root/usr/lib/vst/Trimwise.so" >"$tmp/validate.log" ||
   { cat "$tmp/validate.log"; fail "plughost validate fails on the packaged plug-in"; }
if command -v lv2info >/dev/null; then
   LV2_PATH=$tmp/root/usr/lib/lv2:/usr/lib/lv2 lv2info 'urn:trimwise:Quillmark%2C%20LLC:Trimwise' |
      grep -q "Binary:.*/usr/lib/lv2/Trimwise.lv2/Trimwise.so" ||
      fail "lv2info does not find the packaged LV2 bundle"
fi
if [[ -f $python_deb ]]; then
   echo "--- the extracted Python module, isolated in the extracted plughost"
   PYTHONPATH=$tmp/root/usr/lib/python3/dist-packages PLUGHOST_HELPER=$tmp/root/usr/bin/plughost \
      /usr/bin/python3 -c '
import sys, numpy as np, plughost
p = plughost.load(sys.argv[1], isolated=True)
p.parameters["Left Gain"].set("-inf")
x = np.ones((2, 1000), np.float32)
out = p.process(x)
assert not out[0].any() and np.array_equal(out[1], x[1]), out
print(p.name, "from", p.path, "isolated: ok")' "$tmp/root/usr/lib/vst/Trimwise.so"
   echo "--- the extracted plughost's --report, drawn by the extracted Python module"
   PYTHONPATH=$tmp/root/usr/lib/python3/dist-packages "$tmp/root/usr/bin/plughost" analyze \
      "$tmp/root/usr/lib/vst/Trimwise.so" --what linear --report "$tmp/report.html" >/dev/null
   grep -q '<figure class="plot" data-measurement="linear"><svg' "$tmp/report.html" ||
      fail "the extracted plughost wrote no report with a plot"
fi
zcat "$tmp/root/usr/share/man/man1/plughost.1.gz" | grep -q "^\.SH DESCRIPTION" ||
   fail "the man page has no description"

echo "--- a plug-in built from the extracted trimwise-dev alone, with its prebuilt library"
cmake -S tests/package/consumer -B "$tmp/consumer" -G Ninja -DCMAKE_BUILD_TYPE=Release \
   -DCMAKE_MAKE_PROGRAM="$(command -v ninja)" -DCMAKE_CXX_COMPILER="$(command -v g++)" \
   -DCMAKE_PREFIX_PATH="$tmp/root/usr" -DCASE=options -DTRIMWISE_USER_PLUGIN_DIR="$tmp/user" \
   -DCMAKE_FIND_USE_PACKAGE_REGISTRY=OFF -DCMAKE_FIND_USE_SYSTEM_PACKAGE_REGISTRY=OFF \
   -DCMAKE_FIND_USE_CMAKE_SYSTEM_PATH=OFF -DCMAKE_FIND_USE_SYSTEM_ENVIRONMENT_PATH=OFF >/dev/null
cmake --build "$tmp/consumer" >/dev/null
"$tmp/root/usr/bin/plughost" info "$tmp/user/Note Gate.so" | head -1

echo "--- lintian"
# Errors fail the stage; warnings and information are shown (the README lists them).
lintian --fail-on error --display-info "${debs[@]}" | tee "$tmp/lintian.log"
echo "lintian: $(grep -c '^E:' "$tmp/lintian.log" || true) errors," \
   "$(grep -c '^W:' "$tmp/lintian.log" || true) warnings"
