#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Runs a Windows x64 program under wine64 with this tree's own prefix (build/wine unless
# WINEPREFIX is set). The first start creates the prefix (about 15 s), once, under a lock, so
# that tests started in parallel do not race for it. Exits with the program's status, or 125
# with the reason when wine cannot start.
set -uo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$root/build/wine}
export WINEDEBUG=${WINEDEBUG:--all}
# Creating the prefix offline must not look for the .NET and HTML components.
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
wine=${WINE64:-/usr/lib/wine/wine64}

fail() {
   echo "wine-run: $*" >&2
   exit 125
}

[[ -x $wine ]] || fail "$wine not found (Debian package wine64)"
# A marker of our own: a persistent wineserver writes the registry files only when it exits.
ready=$WINEPREFIX/.prefix-ready
if [[ ! -f $ready ]]; then
   mkdir -p "$(dirname "$WINEPREFIX")" || fail "cannot create $(dirname "$WINEPREFIX")"
   (
      flock 9
      if [[ ! -f $ready ]]; then
         # Into a file, not a pipe: the services wineboot starts keep its output open.
         log=$WINEPREFIX.boot.log
         "$wine" wineboot --init >"$log" 2>&1 </dev/null ||
            fail "creating the prefix $WINEPREFIX failed: $(tail -n 3 "$log")"
         [[ -d $WINEPREFIX/drive_c/windows ]] || fail "wineboot left no prefix in $WINEPREFIX"
         touch "$ready"
      fi
   ) 9>"$WINEPREFIX.lock" || exit 125
fi
exec "$wine" "$@"
