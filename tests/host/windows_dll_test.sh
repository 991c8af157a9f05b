#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# The Windows DLL as a host's loader sees it, read with the cross objdump:
# - imports: system DLLs only (KERNEL32.dll, msvcrt.dll); a run-time DLL such as
#   libstdc++-6.dll or libwinpthread-1.dll would be missing on a user's machine;
# - exports: exactly VSTPluginMain and main, undecorated, at one address;
# - no aligned vector move addressing the stack: GCC does not align the Win64 stack for 32- and
#   64-byte vectors, so such a move can fault on Windows even where a run under wine passes.
# Usage: windows_dll_test.sh <objdump> <dll>
set -uo pipefail
objdump=$1
dll=$2
failed=0
fail() {
   echo "FAIL: $*"
   failed=1
}

headers=$("$objdump" -p "$dll") || {
   echo "FAIL: $objdump -p $dll did not run"
   exit 1
}

imports=$(sed -n 's/^\s*DLL Name: //p' <<<"$headers" | sort -u)
[[ -n $imports ]] || fail "no import table found"
while read -r name; do
   case ${name,,} in
   kernel32.dll | msvcrt.dll) ;;
   *) fail "imports $name (allowed: KERNEL32.dll, msvcrt.dll)" ;;
   esac
done <<<"$imports"

names=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/s/^\s*\[ *[0-9]*\] //p' <<<"$headers" | sort)
[[ $names == $'VSTPluginMain\nmain' ]] || fail "exports are [${names//$'\n'/, }], not [VSTPluginMain, main]"
addresses=$(sed -n '/^Export Address Table -- /,/^$/s/^\s*\[ *[0-9]*\] +base\[ *[0-9]*\] \([0-9a-f]*\) Export RVA$/\1/p' <<<"$headers" | sort -u)
[[ $(wc -l <<<"$addresses") == 1 && -n $addresses ]] ||
   fail "the exports are at more than one address: ${addresses//$'\n'/ }"

code=$("$objdump" -d --no-show-raw-insn "$dll") || fail "$objdump -d $dll did not run"
wide=$(grep -cE '%[yz]mm' <<<"$code")
((wide > 0)) || fail "no 256- or 512-bit instruction found: the scan did not see the kernels"
aligned=$(grep -E '\s(v?movap[sd]|v?movdqa(32|64)?|vmovntp[sd]|v?movntdq)\s.*\(%r[sb]p[,)]' <<<"$code")
[[ -z $aligned ]] || fail "aligned vector moves address the stack:"$'\n'"$(head -n 20 <<<"$aligned")"

((failed == 0)) || exit 1
echo "imports: ${imports//$'\n'/ }; exports: ${names//$'\n'/ } at RVA $addresses;" \
   "$wide wide-vector instructions, no aligned vector move on the stack"
