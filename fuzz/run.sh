#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs the command fuzzer for a bounded number of executions from the committed seed corpus and
# fails on any finding. New inputs go to a scratch folder, crashing ones to BUILDDIR/fuzz-findings.
#   usage: fuzz/run.sh BUILDDIR [RUNS]     (RUNS defaults to 1000000)
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
build=${1:-}
runs=${2:-1000000}
if [[ -z $build ]]; then
   echo "fuzz/run.sh: error: no build folder given" >&2
   echo "hint: cmake --preset fuzz && cmake --build --preset fuzz && fuzz/run.sh build/fuzz" >&2
   exit 2
fi
fuzzer=$build/fuzz/command_fuzzer
if [[ ! -x $fuzzer ]]; then
   echo "fuzz/run.sh: error: $fuzzer does not exist" >&2
   echo "hint: build it with: cmake --preset fuzz && cmake --build --preset fuzz" >&2
   exit 2
fi
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
findings=$build/fuzz-findings
mkdir -p "$findings"
start=$SECONDS
"$fuzzer" -runs="$runs" -seed=1 -max_len=4096 -timeout=10 -print_final_stats=1 \
   -artifact_prefix="$findings/" "$scratch" "$here/corpus"
echo "command_fuzzer: $runs runs, no findings, $((SECONDS - start)) s"
