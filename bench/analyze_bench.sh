#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# plughost analyze against its two targets: (a) every measurement of MVerb at 48 kHz, the cost
# section included, in at most 10 s; (b) the collection report of every plug-in of Debian's
# dpf-plugins-vst, zynaddsubfx-vst and amsynth with -j 2 in at most 5 minutes, with its peak
# memory. Then prints, as a Markdown table for the README, each plug-in's reported against
# measured latency and tail, with its findings.
#
# usage: bench/analyze_bench.sh [OUT_FOLDER (build/analyze-bench)]
# Needs the default build (plughost, and the Python package for the report), GNU time and the
# Debian plug-in packages (scripts/setup.sh installs them).
set -euo pipefail
cd "$(dirname "$0")/.."

plughost=$PWD/build/default/tools/plughost
out=${1:-$PWD/build/analyze-bench}
mverb=/usr/lib/vst/MVerb-vst.so
for tool in /usr/bin/time /usr/bin/python3 "$plughost" "$mverb"; do
   if [[ ! -e $tool ]]; then
      echo "missing $tool: build the default preset and run scripts/setup.sh" >&2
      exit 1
   fi
done
rm -rf "$out"
mkdir -p "$out"

# GNU time's "Elapsed (wall clock)" as seconds, and its peak resident memory in MiB.
wall() { awk -F': ' '/Elapsed/ { n = split($2, t, ":"); s = 0; for (i = 1; i <= n; ++i) s = s * 60 + t[i]; print s }' "$1"; }
peak() { awk -F': ' '/Maximum resident/ { printf "%.0f", $2 / 1024 }' "$1"; }

echo "machine: $(nproc) cores, load average $(cut -d' ' -f1-3 /proc/loadavg)"

# (a) One plug-in, every measurement.
/usr/bin/time -v -o "$out/mverb.time" "$plughost" analyze "$mverb" --rate 48000 --json \
   >"$out/mverb.json"
/usr/bin/python3 - "$out/mverb.json" "$(wall "$out/mverb.time")" "$(peak "$out/mverb.time")" <<'EOF'
import json, sys
doc = json.load(open(sys.argv[1]))
seconds, peak = float(sys.argv[2]), sys.argv[3]
statuses = ", ".join(f"{k} {doc[k]['status']}" for k in doc["what"] if k in doc)
cost = doc.get("cost", {})
print(f"(a) MVerb, every measurement at 48 kHz: {seconds:.1f} s (target 10 s: "
      f"{'met' if seconds <= 10 else 'MISSED'}), peak {peak} MiB")
print(f"    {statuses}")
if cost.get("status") == "ok":
    print(f"    cost section {cost['seconds']:.2f} s, machine_loaded {cost['machine_loaded']}, "
          f"other cores busy {cost['other_cores_busy']:.0%}, load average {cost['load_average']}")
EOF

# (b) The collection report of the Debian plug-ins, as tests/validate/debian_plugins.sh lists them.
plugins=()
for package in dpf-plugins-vst zynaddsubfx-vst amsynth; do
   if ! dpkg-query -W -f='${Status}' "$package" 2>/dev/null | grep -q "install ok installed"; then
      echo "skipping $package: not installed (scripts/setup.sh installs it)"
      continue
   fi
   while IFS= read -r file; do
      plugins+=("$file")
   done < <(dpkg -L "$package" | grep -E '^/usr/lib/(lx)?vst/.*\.so$' | sort)
done
rc=0
/usr/bin/time -v -o "$out/collection.time" "$plughost" analyze "${plugins[@]}" -j 2 --json \
   --report "$out/index.html" >"$out/collection.jsonl" 2>"$out/collection.err" || rc=$?
seconds=$(wall "$out/collection.time")
echo "(b) collection report of ${#plugins[@]} plug-ins with -j 2: ${seconds} s (target 300 s:" \
   "$(awk -v s="$seconds" 'BEGIN { print (s <= 300 ? "met" : "MISSED") }')), peak" \
   "$(peak "$out/collection.time") MiB, exit $rc, index $out/index.html"

# The README's table: reported against measured latency and tail, and the findings.
/usr/bin/python3 - "$out/collection.jsonl" <<'EOF'
import json, os, sys

def n(v, fmt="{:.0f}"):
    return "–" if v is None else fmt.format(v)

print()
print("| plug-in | status | latency reported / measured (frames) | tail reported / to −60 dB (s) | seconds | findings |")
print("|---|---|---|---|---|---|")
for line in open(sys.argv[1]):
    d = json.loads(line)
    name = os.path.basename(d["plugin"]["path"])[:-3]
    lat, time = d.get("latency", {}), d.get("time", {})
    status = d.get("status") or next((d[k]["status"] for k in d.get("what", [])
                                      if isinstance(d.get(k), dict) and d[k]["status"] not in ("ok", "not_applicable")), "ok")
    latency = (f"{n(lat.get('reported'))} / {n(lat.get('measured'))}"
               if lat.get("status") == "ok" else lat.get("status", "–"))
    if time.get("status") == "ok":
        capped = "≥ " if time.get("tail_s_60db_capped") else ""
        tail = f"{n(time.get('tail_reported_s'), '{:.3g}')} / {capped}{n(time.get('tail_s_60db'), '{:.3g}')}"
    else:
        tail = time.get("status", "–")
    findings = "; ".join(f["text"] for f in d.get("findings", [])) or "–"
    print(f"| {name} | {status} | {latency} | {tail} | {n(d.get('seconds'), '{:.1f}')} | {findings} |")
EOF
