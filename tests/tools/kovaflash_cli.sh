#!/usr/bin/env bash
# The host tool against a simulated board directory: identity, an EC byte that
# survives between runs, and clear errors with exit status 2 for bad numbers.
# Usage: kovaflash_cli.sh KOVAFLASH [RUNNER]   (RUNNER: e.g. wine)
set -uo pipefail
tool=$1
runner=${2:-}
board=$(mktemp -d)
trap 'rm -rf "$board"' EXIT
fail=0
run() { $runner "$tool" --board "$board" "$@" 2>&1 | tr -d '\r'; return "${PIPESTATUS[0]}"; }

expect() {  # expect STATUS PATTERN ARGS...
    local want=$1 pattern=$2 out status
    shift 2
    out=$(run "$@")
    status=$?
    if [ "$status" != "$want" ] || ! grep -qE -- "$pattern" <<<"$out"; then
        echo "FAIL: kovaflash $*: status $status (want $want), output:"
        echo "$out"
        echo "  expected to match: $pattern"
        fail=1
    fi
}

expect 0 'board model +: K5R' info
expect 0 'customer +: ZALT' info
expect 0 'version +: 05\.01' info
expect 0 'date +: 03/24/2009' info
expect 0 'flash size +: 2097152 bytes \(0x200000\)' info
expect 0 'EC\[0x10\] <- 0x5A' ec write 0x10 0x5A
expect 0 'EC\[0x10\] = 0x5A' ec read 16
expect 0 'EC\[0xFF\] <- 0x00' ec write 255 0
expect 0 'EC\[0xFF\] = 0x00' ec read 0xff
expect 0 'EC\[0x10\] = 0x5A' ec read 0x10
expect 2 "INDEX '256' is not a number from 0 to 255" ec read 256
expect 2 "VALUE '0x100' is not a number" ec write 1 0x100
expect 2 "INDEX '0x1G' is not a number" ec read 0x1G
expect 2 "INDEX '-1' is not a number" ec read -1
expect 2 "INDEX '' is not a number" ec read ''
expect 2 "INDEX '12abc' is not a number" ec read 12abc
expect 2 "VALUE is required|VALUE" ec write 1
expect 2 "" bogus
exit $fail
