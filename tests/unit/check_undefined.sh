#!/usr/bin/env bash
# Fails unless every symbol the library needs from outside is one of the
# hardware-access operations (no runtime, no memcpy/memset, no libstdc++).
set -euo pipefail
lib=$1 def=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# Link the archive's objects together so that only truly external
# references stay undefined.
ld -r --whole-archive "$lib" -o "$work/all.o"
allowed=$(sed -n 's/^ *\([A-Za-z0-9_]*\)@.*/\1/p' "$def" | sort)
undefined=$(nm -u "$work/all.o" | awk '$1=="U" {print $2}' | sort -u)
status=0
for sym in $undefined; do
    if ! grep -qx "$sym" <<<"$allowed"; then
        echo "library needs '$sym', which is not a ZUNDA operation"
        status=1
    fi
done
[ -n "$undefined" ] || { echo "no ZUNDA operation referenced at all"; status=1; }
exit $status
