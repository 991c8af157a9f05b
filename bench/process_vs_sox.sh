#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# plughost process against sox doing the same gain (left x0.5, right x0.25) on the same files:
# wall-time ratio (median over interleaved rounds) and peak memory of each, for 32-bit float
# WAV, 24-bit WAV and 16-bit FLAC. Equal work: sox without dither (-D), the same FLAC
# compression level, both outputs flushed to the disk (plughost syncs its output itself; sox's is
# synced with `sync FILE` inside the timed span), files on the real disk under build/.
#
# usage: bench/process_vs_sox.sh [SECONDS_OF_AUDIO (300)] [ROUNDS (5)]
# Needs the default build (plughost and Trimwise.so), sox and GNU time.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${1:-300}
rounds=${2:-5}
plughost=build/default/tools/plughost
plugin=build/default/Trimwise.so
work=build/process-vs-sox
for tool in sox /usr/bin/time "$plughost" "$plugin"; do
   if ! command -v "$tool" >/dev/null && [[ ! -e $tool ]]; then
      echo "missing $tool: build the default preset and install sox and time" >&2
      exit 1
   fi
done
mkdir -p "$work"
if [[ $(df --output=fstype "$work" | tail -1) == tmpfs ]]; then
   echo "warning: $work is on tmpfs; the comparison is meant for a real disk" >&2
fi

# name, sox options that make the input, extension
formats=("32-bit float WAV|-b 32 -e floating-point|wav" "24-bit WAV|-b 24 -e signed-integer|wav"
   "16-bit FLAC|-b 16 -C 5|flac")

now() { date +%s%N; }

# Runs a command under GNU time; prints "NANOSECONDS KILOBYTES". The output file is removed
# first, and synced before the clock stops when the command does not sync it itself.
measure() {
   local out=$1 sync=$2
   shift 2
   rm -f "$out"
   local start end
   start=$(now)
   /usr/bin/time -f %M -o "$work/rss" "$@"
   if [[ $sync == yes ]]; then sync "$out"; fi
   end=$(now)
   echo "$((end - start)) $(cat "$work/rss")"
}

median() { sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }

echo "processor: $(lscpu | sed -n 's/^Model name: *//p' | head -1)"
echo "audio: $seconds s, 48 kHz stereo pink noise; $rounds interleaved rounds; median ratio"
echo
printf '| %-16s | %-26s | %-22s | %-16s |\n' input "plughost wall time / sox" "plughost peak memory" "sox peak memory"
printf '|%s|%s|%s|%s|\n' ------------------ ---------------------------- ------------------------ ------------------
for row in "${formats[@]}"; do
   IFS='|' read -r name make ext <<<"$row"
   in="$work/in-${name// /-}.$ext"
   if [[ ! -f $in ]]; then
      # shellcheck disable=SC2086
      sox -D -n -r 48000 -c 2 $make "$in" synth "$seconds" pinknoise vol 0.5
   fi
   compress=()
   if [[ $ext == flac ]]; then compress=(-C 5); fi
   ratios=()
   for ((r = 0; r < rounds; r++)); do
      # Alternate which tool goes first, so neither always meets a warmer cache.
      for turn in 0 1; do
         if (((r + turn) % 2 == 0)); then
            read -r soxNs soxKb < <(measure "$work/out-sox.$ext" yes \
               sox -D "$in" "${compress[@]}" "$work/out-sox.$ext" remix 1v0.5 2v0.25)
         else
            read -r phNs phKb < <(measure "$work/out-ph.$ext" no \
               "$plughost" process "$plugin" -i "$in" -o "$work/out-ph.$ext" -q \
               -p "Left Gain=0.5" -p "Right Gain=0.25")
         fi
      done
      ratios+=("$(awk -v a="$phNs" -v b="$soxNs" 'BEGIN {printf "%.3f", a / b}')")
   done
   ratio=$(printf '%s\n' "${ratios[@]}" | median)
   printf '| %-16s | %-26s | %-22s | %-16s |\n' "$name" "$(printf '%.2fx (%s)' "$ratio" "${ratios[*]}")" \
      "$((phKb / 1024)) MB" "$((soxKb / 1024)) MB"
done
rm -f "$work"/out-*
