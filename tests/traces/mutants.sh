#!/usr/bin/env bash
# Each library with a deliberate fault replays the corpus's update and must
# stop at the first event that differs, in the phase the fault lives in,
# with the recorded event and the one that came instead.
#   mutants.sh TRACES_DIR KOVA_IMAGE NAME=KOVA_TRACE...
set -uo pipefail
dir=$1 kova_image=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail=0
bad() { echo "FAIL: $*"; fail=1; }
declare -A tool
for pair in "$@"; do tool[${pair%%=*}]=${pair#*=}; done
"$kova_image" make "$work/image.bin" --fill 0xFF --revision 1 >/dev/null
# mutant | phase of the first difference | what the trace recorded there | what came instead
while IFS='|' read -r name phase recorded came; do
    [ -n "${tool[$name]:-}" ] || { bad "no tool built for mutant $name"; continue; }
    out=$("${tool[$name]}" replay "$dir/update-few.kvt" "$work/image.bin" 2>&1)
    code=$?
    [ $code = 1 ] && grep -q "^result    : differs at event [0-9]* ($phase)$" <<<"$out" &&
        grep -q "^  recorded  : $recorded" <<<"$out" && grep -q "^  came      : $came" <<<"$out" ||
        bad "$name (exit $code): $out"
done <<'TABLE'
pass-order|register 0xFEA1 (whether pass c runs)|the library wrote 15 bytes: 50 00 00 F0 FF FF|the library wrote 15 bytes: 50 00 00 F0 E3 FF
no-notification|end|SetPortVal(port 0xB2, value 0x24|UnmapPhysicalMemory
record-check|pass a|the library wrote 5 bytes: 8B F5 32 31 23|the library wrote 5 bytes: 74 0A CD CE 23
TABLE
exit $fail
