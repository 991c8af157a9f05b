#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs `plughost validate` at host level over every plug-in of Debian's dpf-plugins-vst,
# zynaddsubfx-vst and amsynth, and compares what fails with debian_expected.txt: the faults
# these plug-ins really have. A check failing that is not listed there is a validator that
# blames a working plug-in (or a new fault of the package); either way the stage fails.
# Usage: debian_plugins.sh PLUGHOST [SCALE]
set -uo pipefail

plughost=$1
scale=${2:-0.2}
here=$(cd "$(dirname "$0")" && pwd)
expected=$here/debian_expected.txt
jobs=2

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

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT

# One plug-in: its name and the checks that failed, on one line.
validate_one() {
   local file=$1 name
   name=$(basename "$file" .so)
   PLUGHOST_VALIDATE_SCALE=$scale "$plughost" validate "$file" --level host --timeout 60 \
      >"$out/$name.txt" 2>/dev/null
   echo "$?" >"$out/$name.rc"
}
export -f validate_one
export plughost scale out

printf '%s\n' "${plugins[@]}" | xargs -P "$jobs" -I{} bash -c 'validate_one "$1"' _ {}

status=0
for file in "${plugins[@]}"; do
   name=$(basename "$file" .so)
   rc=$(cat "$out/$name.rc")
   failed=$(grep '^FAIL ' "$out/$name.txt" | sed 's/^FAIL \([^:]*\):.*/\1/' | sort | tr '\n' ' ')
   want=$(grep "^$name:" "$expected" | cut -d: -f2- | tr ' ' '\n' | grep -v '^$' | sort |
      tr '\n' ' ')
   if [[ $rc -ne 0 && $rc -ne 1 ]]; then
      echo "$name: validate exited with $rc"
      cat "$out/$name.txt"
      status=1
      continue
   fi
   unexpected=$(comm -23 <(tr ' ' '\n' <<<"$failed" | grep -v '^$') \
      <(tr ' ' '\n' <<<"$want" | grep -v '^$'))
   if [[ -n $unexpected ]]; then
      echo "$name: unexpected FAIL of" $unexpected
      grep '^FAIL ' "$out/$name.txt"
      status=1
   else
      printf '%-22s %s\n' "$name" "$(tail -1 "$out/$name.txt")${failed:+ (known: $failed)}"
   fi
done
echo "${#plugins[@]} plug-ins validated at host level (scale $scale)"
exit $status
