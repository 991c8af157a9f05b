#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# How long `plughost list` takes over a few hundred plug-ins: the installed ones in /usr/lib/vst
# copied COPIES times (13 by default; copies, not links, which the search counts once) into a
# temporary folder, listed with the default number of probes at once and with one at a time.
# A benchmark, not a test: prints the plug-in count, both wall times and their ratio.
set -euo pipefail
cd "$(dirname "$0")/.."
plughost=${PLUGHOST:-build/default/tools/plughost}
copies=${COPIES:-13}
[[ -x $plughost ]] || { echo "build plughost first (make build)" >&2; exit 1; }
[[ -d /usr/lib/vst ]] || { echo "no plug-ins in /usr/lib/vst (apt-get install dpf-plugins-vst zynaddsubfx-vst amsynth)" >&2; exit 1; }
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
for i in $(seq 1 "$copies"); do
   mkdir -p "$dir/set$i"
   cp -r /usr/lib/vst/. "$dir/set$i/"
done
# Wall time of one listing in milliseconds.
run() {
   local start
   start=$(date +%s%N)
   env PLUGHOST_SYSTEM_PATH= HOME="$dir/home" VST_PATH="$dir" "$plughost" list "$@" >"$dir/out.txt"
   echo $((($(date +%s%N) - start) / 1000000))
}
parallel=$(run)
serial=$(run -j 1)
count=$(sed -n '/^plug-ins:/,/^$/p' "$dir/out.txt" | tail -n +3 | grep -c .)
ratio=$((serial * 100 / parallel))
printf 'plug-ins listed: %s (load average %s)\n' "$count" "$(cut -d' ' -f1 /proc/loadavg)"
printf 'default probes at once: %d ms, one at a time: %d ms, ratio %d.%02dx\n' \
   "$parallel" "$serial" $((ratio / 100)) $((ratio % 100))
