#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# plughost process over many files: throughput of -j 2 against -j 1, and plughost -j 2 against
# sox run two at a time by xargs -P 2 for the same gain (left x0.5, right x0.25), on the same
# files; then a worker's peak memory against the number and the length of the files. Ratios are
# medians over interleaved rounds. Equal work: sox without dither (-D), FLAC at compression
# level 5 on both sides, every output flushed to the disk (plughost syncs each output itself;
# each sox output is synced by `sync FILE` inside the timed span), files on the real disk.
#
# usage: bench/batch_jobs.sh [FILES (20)] [SECONDS_PER_FILE (60)] [ROUNDS (5)]
# Needs the default build (plughost and Trimwise.so), sox and GNU time.
set -euo pipefail
cd "$(dirname "$0")/.."

files=${1:-20}
seconds=${2:-60}
rounds=${3:-5}
plughost=$PWD/build/default/tools/plughost
plugin=$PWD/build/default/Trimwise.so
work=$PWD/build/batch-jobs
for tool in sox xargs /usr/bin/time "$plughost" "$plugin"; do
   if ! command -v "$tool" >/dev/null && [[ ! -e $tool ]]; then
      echo "missing $tool: build the default preset and install sox and time" >&2
      exit 1
   fi
done
mkdir -p "$work"
if [[ $(df --output=fstype "$work" | tail -1) == tmpfs ]]; then
   echo "warning: $work is on tmpfs; the comparison is meant for a real disk" >&2
fi

now() { date +%s%N; }
median() { sort -n | awk '{a[NR]=$1} END {print (NR % 2) ? a[(NR + 1) / 2] : (a[NR / 2] + a[NR / 2 + 1]) / 2}'; }

# Makes FILES inputs of SECONDS of 48 kHz stereo pink noise in folder $1 with sox options $2.
make_inputs() {
   local folder=$1 make=$2 ext=$3 count=$4 length=$5
   mkdir -p "$folder"
   for ((i = 0; i < count; i++)); do
      local f="$folder/in$i.$ext"
      # shellcheck disable=SC2086
      [[ -f $f ]] || sox -D -n -r 48000 -c 2 $make "$f" synth "$length" pinknoise vol 0.5
   done
}

# Wall time in nanoseconds of a command, its output folder emptied first.
timed() {
   local out=$1
   shift
   rm -rf "$out"
   mkdir -p "$out"
   local start end
   start=$(now)
   "$@" >/dev/null
   end=$(now)
   echo $((end - start))
}

sox_pair() {
   local in=$1 out=$2 ext=$3
   local compress=()
   if [[ $ext == flac ]]; then compress=(-C 5); fi
   find "$in" -name "*.$ext" -print0 | xargs -0 -P 2 -I{} sh -c \
      'o="$1/$(basename "$2")"; shift 2; sox -D "$0" "$@" "$o" remix 1v0.5 2v0.25 && sync "$o"' \
      {} "$out" {} "${compress[@]}"
}

echo "processor: $(lscpu | sed -n 's/^Model name: *//p' | head -1), $(nproc) cores"
echo "$files files of $seconds s, 48 kHz stereo pink noise; $rounds interleaved rounds; median"
echo
printf '| %-16s | %-22s | %-26s |\n' input "-j 2 throughput / -j 1" "plughost -j 2 time / sox -P 2"
printf '|%s|%s|%s|\n' ------------------ ------------------------ ----------------------------
for row in "16-bit FLAC|-b 16 -C 5|flac" "24-bit WAV|-b 24 -e signed-integer|wav"; do
   IFS='|' read -r name make ext <<<"$row"
   in="$work/in-$ext"
   make_inputs "$in" "$make" "$ext" "$files" "$seconds"
   speedups=()
   versus=()
   for ((r = 0; r < rounds; r++)); do
      run=(j1 j2 sox)
      # Rotate which goes first, so none always meets a warmer cache.
      for ((k = 0; k < 3; k++)); do
         case ${run[(r + k) % 3]} in
         j1) t1=$(timed "$work/out" "$plughost" process "$plugin" -i "$in" -O "$work/out" -j 1 -q \
            -p "Left Gain=0.5" -p "Right Gain=0.25") ;;
         j2) t2=$(timed "$work/out" "$plughost" process "$plugin" -i "$in" -O "$work/out" -j 2 -q \
            -p "Left Gain=0.5" -p "Right Gain=0.25") ;;
         sox) ts=$(timed "$work/out" sox_pair "$in" "$work/out" "$ext") ;;
         esac
      done
      speedups+=("$(awk -v a="$t1" -v b="$t2" 'BEGIN {printf "%.3f", a / b}')")
      versus+=("$(awk -v a="$t2" -v b="$ts" 'BEGIN {printf "%.3f", a / b}')")
   done
   printf '| %-16s | %-22s | %-26s |\n' "$name" \
      "$(printf '%s\n' "${speedups[@]}" | median)x" "$(printf '%s\n' "${versus[@]}" | median)"
done

# Peak memory (GNU time reports the largest of plughost and the workers it waited for).
peak() {
   rm -rf "$work/out"
   /usr/bin/time -f %M -o "$work/rss" "$plughost" process "$plugin" -i "$1" -O "$work/out" -j 1 -q
   cat "$work/rss"
}
make_inputs "$work/mem-few" "-b 16 -C 5" flac 2 "$seconds"
make_inputs "$work/mem-short" "-b 16 -C 5" flac "$files" 5
echo
echo "peak memory, -j 1, FLAC:"
echo "  2 files of $seconds s:  $(peak "$work/mem-few") KB"
echo "  $files files of $seconds s: $(peak "$work/in-flac") KB"
echo "  $files files of 5 s:  $(peak "$work/mem-short") KB"
