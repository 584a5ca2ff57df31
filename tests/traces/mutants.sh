#!/usr/bin/env bash
# Each library with a deliberate fault replays the corpus trace that
# reaches it and must stop at the first event that differs, in the phase
# the fault lives in, with the recorded event and the one that came
# instead. A fault the tree no longer holds the text of fails here, by
# name; so does a fault built without a row below, or a row without one.
#   mutants.sh TRACES_DIR KOVA_IMAGE NAME=KOVA_TRACE...   (KOVA_TRACE "gone:FILE" when not built)
set -uo pipefail
dir=$1 kova_image=$2
shift 2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail=0
bad() { echo "FAIL: $*"; fail=1; }
declare -A tool
for pair in "$@"; do tool[${pair%%=*}]=${pair#*=}; done
declare -A image
while IFS='|' read -r name _installed _command recipe _fault; do
    case $name in '' | '#'*) continue ;; esac
    [ "$recipe" = - ] && continue
    # shellcheck disable=SC2086
    "$kova_image" make "$work/$name.bin" $recipe >/dev/null && image[$name]=$work/$name.bin
done <"$dir/corpus.txt"
declare -A tabled
# mutant | trace | phase of the first difference | what the trace recorded there | what came instead
while IFS='|' read -r name trace phase recorded came; do
    tabled[$name]=1
    case ${tool[$name]:-} in
    '') bad "no tool built for mutant $name"; continue ;;
    gone:*) bad "mutant $name: ${tool[$name]#gone:} no longer holds the text it changes: make the fault anew"; continue ;;
    esac
    args=("$dir/$trace.kvt")
    [ -n "${image[$trace]:-}" ] && args+=("${image[$trace]}")
    out=$("${tool[$name]}" replay "${args[@]}" 2>&1)
    code=$?
    result=$(grep '^result    : ' <<<"$out")
    was=$(grep '^  recorded  : ' <<<"$out" | tail -1)
    got=$(grep '^  came      : ' <<<"$out" | tail -1)
    # What came is the library's request, without an answer no board gave.
    [ $code = 1 ] && [[ $result == "result    : differs at event "*" ($phase)" ]] && [[ $was == *"$recorded"* ]] &&
        [[ $got == *"$came"* ]] && [[ $got != *") = "* ]] || bad "$name on $trace (exit $code): $out"
done <<'TABLE'
pass-order|update-few|register 0xFEA1 (whether pass c runs)|the record's flash address 0xFFFFF000|the record's flash address 0xFFE3F000
no-notification|update-few|end|SetPortVal(port 0xB2 (SMI command), value 0x24, size 1)|UnmapPhysicalMemory
record-check|update-few|pass a|(5 bytes: 8B F5 32 31 23)|(5 bytes: 74 0A CD CE 23)
check-counter|host-update|the outcome of KOVA_check_bios_image|counter 2,|counter 0,
compare-last-byte|block-last-byte|the outcome of KOVA_check_bios_image|counter 4,|counter 3,
notify-fixed-port|interface-moved|begin|SetPortVal(port 0x84 (the firmware's notification port), value 0x20|SetPortVal(port 0xB2 (SMI command), value 0x20
resume-test|resumed|begin|SetPortVal(port 0xB2 (SMI command), value 0x20|UnmapPhysicalMemory
length-zero|record-length-zero|end|length 0x0, code end|length 0x0, code write
ec-wait|ec-dead|the end of KOVA_get_ec_ram|SetPortVal(port 0xE1 (delay), value 0xFF|KOVA_get_ec_ram returned 0x000000FF
smbus-dev-err|smbus-absent|SMBus|GetPortVal(port 0x405 (SMBus HST_D0)|GetPortVal(port 0x400 (SMBus HST_STS)
smbus-clear|smbus-leftover|SMBus|SetPortVal(port 0x400 (SMBus HST_STS), value 0xFF|SetPortVal(port 0x400 (SMBus HST_STS), value 0x02
lock-release|acpi-lock-pending|ACPI global lock|GetPortVal(port 0x830 (global lock release, BIOS_RLS)|UnmapPhysicalMemory
TABLE
# A change that is no fault: every trace of the corpus replays as recorded.
equivalent=port-preset-zero
tabled[$equivalent]=1
while IFS='|' read -r name _installed _command _recipe _fault; do
    case $name in '' | '#'*) continue ;; esac
    args=("$dir/$name.kvt")
    [ -n "${image[$name]:-}" ] && args+=("${image[$name]}")
    out=$("${tool[$equivalent]}" replay "${args[@]}" 2>&1) || bad "$equivalent, no fault, stopped on $name: $out"
done <"$dir/corpus.txt"
for name in "${!tool[@]}"; do
    [ -n "${tabled[$name]:-}" ] || bad "mutant $name is built but has no row"
done
echo "${#tabled[@]} library faults, each stopped at its first differing event"
exit $fail
