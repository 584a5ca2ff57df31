#!/usr/bin/env bash
# Inspects KOVA.dll with objdump -p: a PE32 i386 DLL with entry point 0,
# DYNAMIC_BASE and NX_COMPAT, exporting exactly the names of kova.def and
# importing only ZUNDA.dll, only names of zunda.def; at most 10,240 bytes.
set -uo pipefail
objdump=$1 dll=$2 kova_def=$3 zunda_def=$4
dump=$("$objdump" -p "$dll") || { echo "objdump failed on $dll"; exit 1; }
fail=0
check() {  # check DESCRIPTION EXPECTED ACTUAL
    if [ "$2" != "$3" ]; then
        printf 'FAIL: %s\n  expected: %s\n  actual:   %s\n' "$1" "$2" "$3"
        fail=1
    fi
}

check "file format" "pei-i386" "$(sed -n 's/.*file format \(.*\)/\1/p' <<<"$dump")"
check "optional header magic (PE32)" "010b" "$(awk '$1=="Magic" {print $2}' <<<"$dump")"
check "entry point" "00000000" "$(awk '$1=="AddressOfEntryPoint" {print $2}' <<<"$dump")"
chars=$((16#$(awk '$1=="DllCharacteristics" {print $2}' <<<"$dump")))
check "DYNAMIC_BASE (0x40)" "64" "$((chars & 0x40))"
check "NX_COMPAT (0x100)" "256" "$((chars & 0x100))"
check "file is a DLL (characteristic 0x2000)" "8192" \
    "$(( 16#$(awk '$1=="Characteristics" {sub(/^0x/, "", $2); print $2; exit}' <<<"$dump") & 0x2000 ))"

want_exports=$(awk 'f && NF {print $1} /^EXPORTS/ {f=1}' "$kova_def" | sort)
got_exports=$(sed -n '/\[Ordinal\/Name Pointer\] Table/,/^$/p' <<<"$dump" | sed -n 's/^\s*\[ *[0-9]*\] \(.*\)$/\1/p' | sort)
check "export names" "$(echo $want_exports)" "$(echo $got_exports)"
check "export count (all twenty)" "20" "$(wc -w <<<"$got_exports")"

size=$(stat -c %s "$dll")
[ "$size" -le 10240 ] || { echo "FAIL: KOVA.dll is $size bytes, more than 10240"; fail=1; }
# TimeDateStamp of the COFF header (8 bytes into the PE header) and of the
# export directory: zero, as reproducible builds write no time.
pe=$(od -An -tu4 -j60 -N4 "$dll" | tr -d ' ')
check "PE header timestamp" "0" "$(od -An -tu4 -j$((pe + 8)) -N4 "$dll" | tr -d ' ')"
check "export directory timestamp" "0" "$(awk '$1=="Time/Date" && $2=="stamp" {print $NF}' <<<"$dump")"

dlls=$(sed -n 's/^\s*DLL Name: \(.*\)$/\1/p' <<<"$dump" | sort -u)
check "imported DLLs" "ZUNDA.dll" "$(echo $dlls)"
allowed=$(awk 'f && NF {sub(/@.*/, "", $1); print $1} /^EXPORTS/ {f=1}' "$zunda_def" | sort)
imports=$(sed -n '/DLL Name: ZUNDA.dll/,/^$/p' <<<"$dump" | awk 'NF==3 && $1 ~ /^[0-9a-f]+$/ {print $3}' | sort)
[ -n "$imports" ] || { echo "FAIL: no ZUNDA.dll import names found"; fail=1; }
for name in $imports; do
    grep -qx "$name" <<<"$allowed" || { echo "FAIL: imports '$name', not a ZUNDA operation"; fail=1; }
done
[ $fail = 0 ] && echo "KOVA.dll: $size bytes, PE32 i386, entry 0, exports $(wc -w <<<"$got_exports"), imports ZUNDA.dll: $(echo $imports)"
exit $fail
