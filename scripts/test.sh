#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Every test of the project, stage by stage; exits non-zero if any stage fails.
set -uo pipefail
cd "$(dirname "$0")/.."

jobs=2
passed=0
failed=0
failures=()

stage() {
   local name=$1
   shift
   echo
   echo "=== $name"
   local start=$SECONDS
   if "$@"; then
      passed=$((passed + 1))
      echo "=== $name: ok ($((SECONDS - start)) s)"
   else
      failed=$((failed + 1))
      failures+=("$name")
      echo "=== $name: FAILED ($((SECONDS - start)) s)"
   fi
}

build_and_test() {
   local preset=$1
   cmake --preset "$preset" >/dev/null &&
      cmake --build --preset "$preset" -j"$jobs" &&
      ctest --preset "$preset" -j"$jobs"
}

build_only() {
   local preset=$1
   cmake --preset "$preset" >/dev/null && cmake --build --preset "$preset" -j"$jobs"
}

stage "format" bash -c "git ls-files '*.cpp' '*.h' | xargs clang-format --dry-run --Werror"
stage "release build (gcc) and tests" build_and_test default
stage "installed package: example, embedding, author errors" bash scripts/test_package.sh build/default
stage "API reference (doxygen)" bash scripts/test_docs.sh
stage "Debian packages and lintian" bash scripts/test_deb.sh build/default
stage "asan+ubsan build and tests" build_and_test asan
stage "tsan build and tests" build_and_test tsan
stage "windows-x64 build and tests under wine" bash scripts/cross_stage.sh windows-x64 "$jobs"
stage "linux-aarch64 build and tests under qemu-aarch64" bash scripts/cross_stage.sh linux-aarch64 "$jobs"
stage "linux-i686 build and tests under qemu-i386" bash scripts/cross_stage.sh linux-i686 "$jobs"
if [[ -x build/asan/tools/plughost ]]; then
   stage "plughost validate under asan" build/asan/tools/plughost validate build/asan/Trimwise.so \
      --level hostile
fi
if [[ -x build/default/tools/plughost ]]; then
   stage "validate Debian's plug-ins" bash tests/validate/debian_plugins.sh \
      build/default/tools/plughost 1.0
fi
if [[ -x build/default/tools/plughost ]] && command -v valgrind >/dev/null; then
   stage "validate --memcheck on Trimwise and a Debian plug-in" build/default/tools/plughost \
      validate --memcheck --timeout 6 -j 2 build/default/Trimwise.so $(ls /usr/lib/vst/3BandEQ-vst.so 2>/dev/null)
fi
if [[ -f fuzz/run.sh ]]; then
   stage "fuzzing (asan+ubsan)" bash -c "$(declare -f build_only); jobs=$jobs; build_only fuzz && bash fuzz/run.sh build/fuzz 500000"
fi

echo
if ((failed > 0)); then
   echo "failed stages: ${failures[*]}"
fi
echo "stages: $passed passed, $failed failed"
((failed == 0))
