#!/usr/bin/env bash
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
if [[ ! -f $WINEPREFIX/system.reg ]]; then
   mkdir -p "$(dirname "$WINEPREFIX")" || fail "cannot create $(dirname "$WINEPREFIX")"
   (
      flock 9
      if [[ ! -f $WINEPREFIX/system.reg ]]; then
         log=$("$wine" wineboot --init 2>&1) ||
            fail "creating the prefix $WINEPREFIX failed: $(tail -n 3 <<<"$log")"
         [[ -f $WINEPREFIX/system.reg ]] || fail "wineboot left no prefix in $WINEPREFIX"
      fi
   ) 9>"$WINEPREFIX.lock" || exit 125
fi
exec "$wine" "$@"
