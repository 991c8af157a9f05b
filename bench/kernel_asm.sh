#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Shows how each gain kernel of a built plug-in multiplies: per kernel function, the multiply
# instructions with the register width they work on (xmm 128, ymm 256, zmm 512 bits; ss/sd are
# single samples). A kernel that lost its vectorization shows only ss/sd multiplies.
#   bench/kernel_asm.sh [build/default/Trimwise.so]
set -euo pipefail
lib=${1:-build/default/Trimwise.so}
if [[ ! -f $lib ]]; then
   echo "kernel_asm: no such file: $lib" >&2
   echo "hint: build first (make build), or pass the path of Trimwise.so" >&2
   exit 2
fi
objdump -d --no-show-raw-insn -C "$lib" | awk '
   /^[0-9a-f]+ <.*>:$/ {
      fn = ""
      if (match($0, /stereo(Portable|Sse2|Avx|Avx512)<(float|double)>/)) {
         fn = substr($0, RSTART, RLENGTH)
      } else if (match($0, /applyStereoGain\((float|double)/)) {
         fn = "applyStereoGain<" substr($0, RSTART + 16, RLENGTH - 16) ">"
      }
      next
   }
   fn != "" && /\tv?mul[ps][sd]/ {
      split($0, f, "\t")
      split(f[2], w, " ")
      reg = f[2] ~ /zmm/ ? "zmm" : f[2] ~ /ymm/ ? "ymm" : "xmm"
      key = fn " " w[1] " " reg
      if (!(key in count)) order[++n] = key
      count[key]++
   }
   END {
      for (i = 1; i <= n; i++) {
         split(order[i], part, " ")
         printf "%-24s %-7s %s x%d\n", part[1], part[2], part[3], count[order[i]]
      }
   }'
