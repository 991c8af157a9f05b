#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Validates every plug-in of Debian's dpf-plugins-vst, zynaddsubfx-vst and amsynth at host level
# in one collection run of `plughost validate`, and compares what fails with
# debian_expected.txt: the faults these plug-ins really have. A check failing that is not listed
# there is a validator that blames a working plug-in (or a new fault of the package); either way
# the stage fails.
# Usage: debian_plugins.sh PLUGHOST [SCALE]
set -uo pipefail

plughost=$1
scale=${2:-1.0}
here=$(cd "$(dirname "$0")" && pwd)
expected=$here/debian_expected.txt

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
if ((${#plugins[@]} == 0)); then
   echo "no Debian plug-ins installed: nothing to validate"
   exit 0
fi

out=$(mktemp)
trap 'rm -f "$out"' EXIT
start=$(date +%s.%N)
"$plughost" validate "${plugins[@]}" --level host --scale "$scale" --timeout 60 \
   --plugin-timeout 300 -j 2 --json >"$out" 2>/dev/null
rc=$?
end=$(date +%s.%N)
if ((rc != 0 && rc != 1)); then
   echo "validate exited with $rc"
   exit 1
fi

# One record per plug-in: its failed checks must all be listed for it in the expected file.
/usr/bin/python3 - "$out" "$expected" <<'EOF'
import json, os, sys
records = [json.loads(line) for line in open(sys.argv[1])]
expected = {}
for line in open(sys.argv[2]):
    if line.strip() and not line.startswith("#"):
        name, checks = line.split(":", 1)
        expected[name.strip()] = set(checks.split())
status = 0
for r in records:
    name = os.path.basename(r["plugin"])[:-3]
    failed = {c["name"] for c in r["checks"] if c["status"] == "FAIL"}
    unexpected = failed - expected.get(name, set())
    if r["schema"] != 1 or r["result"] == "not loadable":
        print(f"{name}: {r['result']}: {r.get('problem', 'schema ' + str(r['schema']))}")
        status = 1
    elif unexpected:
        print(f"{name}: unexpected FAIL of {' '.join(sorted(unexpected))}")
        for c in r["checks"]:
            if c["name"] in unexpected:
                print(f"  {c['name']}: {c['detail']}")
        status = 1
    else:
        known = f" (known: {' '.join(sorted(failed))})" if failed else ""
        print(f"{name:22} {r['passed'] + r['warned']} passed, {r['failed']} failed, "
              f"{r['seconds']:.1f} s{known}")
sys.exit(status)
EOF
status=$?
printf '%d plug-ins validated at host level (scale %s) in %.1f s\n' "${#plugins[@]}" "$scale" \
   "$(echo "$end - $start" | bc)"
exit $status
