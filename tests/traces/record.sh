#!/usr/bin/env bash
# Records the field-trace corpus (corpus.txt) anew: each case on a fresh
# simulated board, kovaflash.exe beside the recording ZUNDA.dll, which
# forwards to the real-board simulator as the maker's library, under wine64.
# Run it when the library's behaviour is meant to change, and commit the
# traces with the change: the replays then hold the library to it.
#   record.sh CROSS64_BIN NATIVE_BIN [NAME...]
set -uo pipefail
cross=$1 native=$2
shift 2
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
export WINEARCH=win64 WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
mkdir -p "$work/bin"
cp "$cross/real-board/kovaflash.exe" "$cross/real-board/KOVA.dll" "$work/bin/"
cp "$cross/real-board/ZUNDA.dll" "$work/bin/ZUNDA-maker.dll"
cp "$cross/recorder/ZUNDA.dll" "$work/bin/ZUNDA.dll"
# The kit's example host, for the cases whose command starts with "host":
# it notes its calls through the recorder as kovaflash does.
src=$(cd "$here/../.." && pwd)
x86_64-w64-mingw32-gcc -std=c89 -I"$src/include" -I"$src/platform" "$src/tools/kit/examples/host.c" \
    "$work/bin/KOVA.dll" -lbcrypt -lcrypt32 -o "$work/bin/host.exe" || { echo "cannot build examples/host.c"; exit 1; }
status=0
while IFS='|' read -r name installed command image fault; do
    case $name in '' | '#'*) continue ;; esac
    if [ $# -gt 0 ] && ! printf '%s\n' "$@" | grep -qx "$name"; then continue; fi
    case_dir=$work/$name
    mkdir -p "$case_dir/traces"
    # "interrupted:RECIPE": the flash an update to RECIPE's image left when
    # power went in pass b: the copy at 0x30000 already holds the image's
    # boot block, and the boot block's upper half is erased.
    recipe=${installed#interrupted:}
    # shellcheck disable=SC2086
    "$native/kova-image" make "$case_dir/installed.bin" $recipe >/dev/null || { echo "$name: installed image"; status=1; continue; }
    if [ "$recipe" != "$installed" ]; then
        python3 - "$case_dir/installed.bin" <<'PYEOF'
import sys
d = bytearray(open(sys.argv[1], "rb").read())
d[0x30000:0x40000] = d[0x1F0000:0x200000]
d[0x1F8000:0x200000] = b"\xff" * 0x8000
open(sys.argv[1], "wb").write(d)
PYEOF
    fi
    "$native/kovaflash" --board "$case_dir/board" board init --image "$case_dir/installed.bin" >/dev/null 2>&1
    rm -f "$case_dir/board/kovaflash.lock"
    if [ "$image" != - ]; then
        # shellcheck disable=SC2086
        "$native/kova-image" make "$case_dir/image.bin" $image >/dev/null
    fi
    if [ "${command%% *}" = host ]; then
        # host IMAGE update KEY: the image signed with a key made for it.
        "$native/kova-image" keygen "$case_dir/vendor" >/dev/null
        "$native/kova-image" sign "$case_dir/image.bin" --key "$case_dir/vendor.key" --release 01.00 \
            --security-version 1 >/dev/null
        args=${command#host }
        args=${args//IMAGE/$case_dir/image.bin}
        run=("$work/bin/host.exe" ${args//KEY/$case_dir/vendor.pub})
    else
        # shellcheck disable=SC2206
        run=("$work/bin/kovaflash.exe" --board "$case_dir/host" ${command//IMAGE/$case_dir/image.bin})
    fi
    out=$(ZUNDA_SIM_BOARD=$case_dir/board KOVA_TRACE_DIR=$case_dir/traces ZUNDA_SIM_FAULT=$fault \
        /usr/lib/wine/wine64 "${run[@]}" 2>&1)
    code=$?
    made=("$case_dir"/traces/*.kvt)
    if [ ${#made[@]} != 1 ] || [ ! -f "${made[0]}" ]; then
        echo "$name: no trace (kovaflash.exe exit $code): $out"
        status=1
        continue
    fi
    cp "${made[0]}" "$here/$name.kvt"
    echo "$name: $(basename "${run[0]}") exit $code, $(stat -c %s "$here/$name.kvt") bytes"
done <"$here/corpus.txt"
exit $status
