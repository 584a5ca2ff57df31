#!/usr/bin/env bash
# The kit as a Windows host developer gets it: the files and their
# checksums, the zip, kova.h as C89, C99 and C++, a C89 host linked against
# libKOVA.dll.a (run under Wine where the host runs 32-bit code, otherwise
# its import table is read), and KOVA.lib's members against KOVA.def.
#   check_kit.sh SOURCE_DIR CROSS_BUILD_DIR [NATIVE_BIN_DIR]
set -uo pipefail
src=$1 cross=$2 native=${3:-}
cc=i686-w64-mingw32-gcc cxx=i686-w64-mingw32-g++
work=$(mktemp -d /tmp/kova-kit.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail=0
bad() { echo "FAIL: $*"; fail=1; }

mapfile -t made < <(bash "$src/tools/dist.sh" "$src" "$cross" "$work") || { echo "FAIL: dist.sh"; exit 1; }
kit=${made[0]} zip=${made[1]}
want="KOVA.def KOVA.dll KOVA.lib README.txt SHA256SUMS kova.h kovaflash.exe libKOVA.dll.a"
[ "$(ls "$kit" | sort | xargs)" = "$want" ] || bad "kit holds $(ls "$kit" | xargs), not $want"
(cd "$kit" && sha256sum --quiet -c SHA256SUMS) || bad "SHA256SUMS do not match"
cmp -s "$kit/KOVA.dll" "$cross/bin/KOVA.dll" || bad "the kit's KOVA.dll is not the one built and tested"
# What ships is 32-bit: the x86-64 build is for tests only.
for f in "$kit"/*.dll "$kit"/*.exe "$kit"/*.a; do
    formats=$(i686-w64-mingw32-objdump -f "$f" 2>&1 | grep -o 'file format [^ ]*' | sort -u | xargs)
    [ "$formats" = "file format pe-i386" ] || [ "$formats" = "file format pei-i386" ] ||
        bad "$(basename "$f") is not a 32-bit file: $formats"
done
listed=$(unzip -Z1 "$zip" | sed "s|^$(basename "$kit")/||" | sort | xargs)
[ "$listed" = "$want" ] || bad "zip holds $listed"
second=$work/again
mkdir "$second"
sleep 1
bash "$src/tools/dist.sh" "$src" "$cross" "$second" >/dev/null
cmp -s "$zip" "$second/$(basename "$zip")" || bad "a second dist gives another zip"

# The header: C89, C99 and C++, pedantic; the host program itself is C89.
for std in "-x c -std=c89" "-x c -std=c99" "-x c++ -std=c++11" "-x c++ -std=c++17"; do
    compiler=$cc
    [[ $std == *c++* ]] && compiler=$cxx
    echo '#include "kova.h"' | $compiler $std -pedantic -Wall -Wextra -Werror -fsyntax-only -I"$kit" - ||
        bad "kova.h does not compile with $std"
done
# No auto-import: the data exports link only because kova.h declares them
# as imported data.
$cc -std=c89 -pedantic -Wall -Wextra -Werror -I"$kit" "$src/tests/kit/host.c" -L"$kit" -lKOVA \
    -Wl,--disable-auto-import -o "$work/host.exe" ||
    bad "the C89 host does not link against libKOVA.dll.a"

imports=$(i686-w64-mingw32-objdump -p "$work/host.exe" | sed -n '/DLL Name: KOVA.dll/,/^$/p')
[ -n "$imports" ] || bad "host.exe does not import KOVA.dll"
for name in KOVA_check_bios_image KOVA_get_ec_ram KOVA_set_ec_ram KOVA_mb KOVA_customer KOVA_date \
    KOVA_flash_size KOVA_message KOVA_block_count; do
    grep -qw "$name" <<<"$imports" || bad "host.exe does not import $name from KOVA.dll"
done
grep -q '@' <<<"$imports" && bad "host.exe imports decorated names: $(grep '@' <<<"$imports" | xargs)"

# KOVA.lib (MSVC format): one import member per name of KOVA.def, code for
# the functions, data for the variables, each resolved to the undecorated name.
def_names=$(awk 'f && NF {print $1} /^EXPORTS/ {f=1}' "$src/include/kova.def" | sort | xargs)
def_data=$(awk 'f && $2=="DATA" {print $1} /^EXPORTS/ {f=1}' "$src/include/kova.def" | sort | xargs)
lib=$(llvm-readobj --coff-imports "$kit/KOVA.lib")
lib_names=$(awk '/^Symbol: __imp_/ {s=$2; sub(/^__imp__/, "", s); sub(/@[0-9]+$/, "", s); print s}' <<<"$lib" | sort | xargs)
[ "$lib_names" = "$def_names" ] || bad "KOVA.lib names: $lib_names; KOVA.def: $def_names"
lib_data=$(awk '/^Type: data/ {d=1} /^Type: code/ {d=0} /^Symbol: __imp_/ && d {s=$2; sub(/^__imp__/, "", s); print s}' <<<"$lib" | sort | xargs)
[ "$lib_data" = "$def_data" ] || bad "KOVA.lib data members: $lib_data; KOVA.def: $def_data"
grep -q "^Export name\|Name type: name$" <<<"$lib" && bad "KOVA.lib keeps a decorated import name"
members=$(llvm-nm "$kit/KOVA.lib" | grep -c ' [TD] __imp__')
[ "$members" = "$(wc -w <<<"$def_names")" ] || bad "KOVA.lib has $members import symbols"

# The host, run: under Wine with the simulator's ZUNDA.dll and a board whose
# firmware the image updates, where the host runs 32-bit code and 32-bit
# Wine is installed (KOVA_WINE32=yes, as ./run test sets it; otherwise it
# holds the reason).
if [ "${KOVA_WINE32:-}" = yes ] && [ -n "$native" ]; then
    run=$work/run
    mkdir -p "$run"
    cp "$work/host.exe" "$kit/KOVA.dll" "$cross/bin/ZUNDA.dll" "$run/"
    "$native/kova-image" make "$work/installed.bin" --seed 3 --revision 0 >/dev/null
    "$native/kova-image" make "$work/new.bin" --seed 3 --revision 1 >/dev/null
    "$native/kovaflash" --board "$work/board" board init --image "$work/installed.bin" >/dev/null
    out=$(cd "$run" && ZUNDA_SIM_BOARD="$(winepath -w "$work/board" 2>/dev/null)" wine host.exe "$(winepath -w "$work/new.bin" 2>/dev/null)" 2>&1 | tr -d '\r')
    echo "$out"
    grep -qx 'board K5R vendor ZALT version 05.01 date 03/24/2009 flash 0x200000' <<<"$out" || bad "host.exe identity line"
    grep -q '^check 0x00000000 blocks [1-9][0-9]* "Image validation sucessfully completed. "$' <<<"$out" || bad "host.exe check line"
    grep -qx 'ec 0x40 = 0x5A' <<<"$out" || bad "host.exe EC line"
else
    echo "SKIPPED: running host.exe under Wine (${KOVA_WINE32:-32-bit Wine not known to run: KOVA_WINE32 unset}); linked and its imports read instead"
fi
[ $fail = 0 ] && echo "kit $(basename "$kit"): $(wc -w <<<"$want") files, all 32-bit (no x86-64 test file), zip $(stat -c %s "$zip") bytes, header C89/C99/C++, host linked, KOVA.lib matches KOVA.def"
exit $fail
