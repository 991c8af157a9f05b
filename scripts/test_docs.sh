#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The API reference builds from the public headers with no warning about their classes, structs,
# namespaces or files, and no documentation error. Members documented only by their group's
# heading are counted, not failed on.
set -euo pipefail
cd "$(dirname "$0")/.."
rm -rf build/docs
mkdir -p build/docs
doxygen docs/Doxyfile
log=build/docs/warnings.log
[[ -f build/docs/html/classAudioEffectX.html ]] || { echo "FAILED: no HTML for AudioEffectX"; exit 1; }
if grep -v "warning: Member .* is not documented\.$" "$log" | grep .; then
   echo "FAILED: doxygen warnings (above)"
   exit 1
fi
echo "docs: build/docs/html/index.html; $(grep -c . "$log" || true) members without a comment of their own"
