#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Passes when the command exits with the given code and its error output holds the pattern.
#   expect_failure.sh <exit code> <pattern> <command> [arguments...]
want=$1
pattern=$2
shift 2
err=$("$@" 2>&1 >/dev/null)
rc=$?
echo "$err"
[[ $rc -eq $want ]] || { echo "exit code $rc, want $want"; exit 1; }
grep -qF -- "$pattern" <<<"$err" || { echo "no \"$pattern\" in the error"; exit 1; }
