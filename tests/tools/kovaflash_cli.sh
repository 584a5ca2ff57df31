#!/usr/bin/env bash
# The host tool against a simulated board directory: identity, an EC byte that
# survives between runs, and clear errors with exit status 2 for bad numbers.
# With KOVA_IMAGE also the firmware update: check, update, board init, and
# the failures a host sees as exit status 1 with the library's message.
# Usage: kovaflash_cli.sh KOVAFLASH [RUNNER [KOVA_IMAGE]]   (RUNNER: e.g. wine, or "")
set -uo pipefail
tool=$1
runner=${2:-}
image_tool=${3:-}
board=$(mktemp -d)
images=$(mktemp -d)
trap 'rm -rf "$board" "$images"' EXIT
fail=0
# Wine starts its services with the first program it runs, and they keep
# that program's output open: start them here, attached to nothing, so no
# case's pipe waits on them.
[ -z "$runner" ] || $runner cmd /c exit </dev/null >/dev/null 2>&1
# The board here trusts no key: images are taken unsigned (the signature
# cases have a script of their own).
. "$(dirname "$0")/launch.sh"
run() { launch "$runner" "$tool" --board "$board" --allow-unsigned "$@"; }

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

expect 2 "no board in .*: create one with .kovaflash board init." info
expect 0 'installed firmware generated, revision 0' board init
expect 2 'holds a board already; --replace replaces it' board init
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

# Board devices. The board's flash holds the generated firmware, whose
# platform tag "R2318" sits at 0x1FFFE0.
expect 0 '^0x1FFFE0  52 32 33 31 38 ' flash read 0x1FFFE0
expect 0 '^0x1FFFF0  ' flash read 0x1FFFE0 --count 17
expect 2 "ADDRESS '0x1000000' is not a number from 0 to 2097151" flash read 0x1000000
expect 2 "--count '0' is not a number from 1 to 4096" flash read 0 --count 0
expect 2 "--wait: give 0 to 86400 seconds" ec write 1 1 --wait nan
expect 2 "run past the end of the 2 MiB flash" flash read 0x1FFFF0 --count 17
expect 2 "" bogus --board
expect 2 "--count '4097' is not a number" flash read 0 --count 4097
expect 0 'host status +: 0x02 \(INTR: done\)' smbus write-byte 0xA1 0x10 0x5A
expect 0 'result +: 0x02EF' smbus write-word 0xA0 0x20 0xBEEF
expect 0 'data 0 +: 0x04' smbus write-block 0xA0 0x30 4
expect 1 'host status +: 0x04 \(DEV_ERR: no acknowledge\)' smbus write-byte 0x30 0 0
expect 2 "VALUE '0x100' is not a number" smbus write-byte 0xA0 0 0x100
expect 2 "COUNT '33' is not a number from 0 to 32" smbus write-block 0xA0 0 33
expect 2 "SLAVE '0x1FF' is not a number" smbus write-word 0x1FF 0 0
expect 0 'FACS +: 0x00210000' acpi lock
expect 0 'lock word +: 0x00000002 \(owned\) held' acpi lock
expect 0 'lock word +: 0x00000000 \(free\) released' acpi lock

# --json: stdout is exactly one JSON object whatever the command and however
# it ends, parser errors included, and its exit_code is the exit status.
json_cases=(
    "0|info" "0|--version" "0|ec read 1" "0|ec write 1 2" "0|flash read 0 --count 20"
    "0|smbus write-byte 0xA1 0x10 0x5A" "1|smbus write-byte 0x30 0 0" "0|acpi lock"
    "2|ec read 256" "2|--bogus" "2|ec" "2|" "2|check /nonexistent.bin"
)
for row in "${json_cases[@]}"; do
    IFS='|' read -r want args <<<"$row"
    out=$($runner "$tool" --board "$board" --allow-unsigned --json $args 2>/dev/null)
    status=$?
    python3 -c '
import json, sys
want, text = int(sys.argv[1]), sys.stdin.read().strip()
obj, end = json.JSONDecoder().raw_decode(text)
assert end == len(text), "more than one object"
assert isinstance(obj, dict) and obj.get("exit_code") == want, obj
assert (want != 0 or "error" not in obj) and (want != 2 or "error" in obj), obj
' "$status" <<<"$out" && [ "$status" = "$want" ] || { echo "FAIL: --json $args: status $status (want $want): $out"; fail=1; }
done

if [ -n "$image_tool" ]; then
    "$image_tool" make "$images/new.bin" --seed 3 --revision 1 >/dev/null
    "$image_tool" make "$images/same-seed.bin" --seed 0 --revision 1 >/dev/null
    "$image_tool" make "$images/rev2.bin" --seed 3 --revision 2 >/dev/null
    "$image_tool" make "$images/other-board.bin" --seed 3 --model K5S >/dev/null
    cp "$images/new.bin" "$images/broken.bin"
    printf '\x01' | dd of="$images/broken.bin" bs=1 seek=$((0x1F8000)) conv=notrunc status=none
    head -c 4096 "$images/new.bin" >"$images/short.bin"

    # The board directory above came with generated firmware of revision 0.
    expect 0 'result +: 0x00000000' check "$images/new.bin"
    expect 5 '^496 blocks of 4 KiB differ from the image: 0x000000 .* and 480 more \(--map shows them all\)$' verify "$images/new.bin"
    expect 0 'message +: Image validation sucessfully completed\. $' check "$images/new.bin"
    expect 0 'blocks differ : 528 ' check "$images/new.bin"
    # Same filler, later revision: one boot-block block and the two copy areas.
    expect 0 'blocks differ : 33 ' check "$images/same-seed.bin"
    expect 0 '^0x1C0000  \.{48}X\.{15}$' check "$images/same-seed.bin" --map
    expect 2 'no terminal to confirm on: pass --yes' update "$images/new.bin"
    # The library counts 33, the update writes 65 (the copies placed and
    # restored): both said, and the progress runs to the real end.
    for says in 'dry run +: 1 block differs \(33 counted by the library, once per pass\); the update makes 65 block writes' \
        'blocks written: 65'; do
        cp -r "$board" "$images/board-copy"
        expect 0 "$says" update "$images/same-seed.bin" --yes --no-backup
        rm -rf "$board" && mv "$images/board-copy" "$board"
    done
    expect 0 'writing: 0% .* 100%' update "$images/same-seed.bin" --yes --no-backup
    expect 0 'dry run +: 496 blocks differ \(528 counted by the library, once per pass\); the update makes 528 block writes' update "$images/new.bin" --yes
    expect 0 '^up to date$' verify "$images/new.bin"
    out=$($runner "$tool" verify "$images/new.bin" --json --allow-unsigned --board "$board" | tr -d '\r')
    grep -q '"up_to_date": true' <<<"$out" || { echo "FAIL: global options after the command: $out"; fail=1; }
    expect 0 'up to date +: the installed firmware is this image; nothing written' update "$images/new.bin" --yes
    expect 0 'blocks counted: 32 ' check "$images/new.bin"
    expect 0 '^0x000000  \.{64}$' check "$images/new.bin" --map
    expect 0 'dry run \(handle 0\): nothing written' update "$images/same-seed.bin" --handle 0
    expect 1 'result +: 0x80000000' check "$images/broken.bin"
    expect 1 'message +: Image integrity check failed\.' update "$images/broken.bin" --yes
    expect 2 'short.bin: 4096 bytes, an image is exactly 2097152' check "$images/short.bin"
    expect 2 'missing.bin: no such file' update "$images/missing.bin"

    "$image_tool" make "$images/older.bin" --seed 3 --revision 0 >/dev/null
    expect 0 'this is a downgrade' update "$images/older.bin" --yes --no-backup

    # Installed firmware the library must refuse to replace.
    expect 0 'installed firmware .*rev2.bin' board init --replace --image "$images/rev2.bin"
    expect 1 'result +: 0x80000005' check "$images/new.bin"
    expect 1 'message +: Image outdated\. $' update "$images/new.bin" --yes
    expect 0 '' board init --replace --image "$images/other-board.bin"
    expect 1 'result +: 0x80000002' update "$images/new.bin" --yes
    expect 1 'message +: Invalid image\. $' check "$images/new.bin"
    expect 1 'cause +: the installed firmware fails .*board "K5S".*the image is not the cause' check "$images/new.bin"
    # An update cut short in its boot-block pass: the new boot block lies
    # whole in its copy at 0x30000, the top of the flash is part new, its
    # last block erased. Only the interrupted image completes it; check,
    # update and restore say so instead of the plain refusal.
    "$image_tool" make "$images/cut-old.bin" --seed 21 --revision 0 >/dev/null
    "$image_tool" make "$images/cut-new.bin" --seed 22 --revision 1 >/dev/null
    python3 - "$images/cut-old.bin" "$images/cut-new.bin" "$images/cut.bin" <<'PYEOF'
import sys
old, new = bytearray(open(sys.argv[1], "rb").read()), open(sys.argv[2], "rb").read()
boot, copy, block = 0x1F0000, 0x30000, 0x1000
old[copy:copy + 0x10000] = new[boot:boot + 0x10000]           # pass a: the copy, whole
old[boot:boot + 0xF000] = new[boot:boot + 0xF000]             # pass b: all but the last block
old[boot + 0xF000:boot + 0x10000] = b"\xff" * block          # that one erased, not yet written
open(sys.argv[3], "wb").write(old)
PYEOF
    expect 0 '' board init --replace --image "$images/cut.bin"
    for cmd in check update restore; do
        expect 1 'cause +: an update was cut short while it rewrote the boot block.*run the interrupted update again to complete it, the image whose boot block lies at 0x30000, then .kovaflash restore.' \
            $cmd "$images/cut-old.bin" --yes
    done
    expect 0 'resuming +: an interrupted update of this image' update "$images/cut-new.bin" --yes
    ls "$board"/backup-*-incomplete.bin >/dev/null 2>&1 || { echo "FAIL: the backup of a torn flash is not named for it: $(ls "$board")"; fail=1; }
    expect 0 'up to date' verify "$images/cut-new.bin"
    # check --json carries the planned block writes, as update says them.
    out=$($runner "$tool" --board "$board" --allow-unsigned --json check "$images/new.bin" 2>/dev/null | tr -d '\r')
    python3 -c 'import json,sys; r=json.loads(sys.argv[1]); sys.exit(not (r["block_writes_planned"] > 0 and r["blocks_differ"] > 0))' "$out" ||
        { echo "FAIL: check --json lacks the planned block writes: $out"; fail=1; }
    expect 0 'generated, revision 0' board init --replace
    expect 0 'blocks differ : 528 ' check "$images/new.bin"

    # On a terminal: the prompt, and a bar that ends at 100%.
    if [ -z "$runner" ] && command -v script >/dev/null; then
        # stdout into a pipe, as into a log: asking needs only the terminal on stdin.
        out=$(echo n | script -qec "$tool --allow-unsigned --board $board update $images/new.bin | cat" /dev/null | tr -d '\r')
        grep -q 'Write .*new.bin to the BIOS flash (496 blocks differ, 528 block writes)? \[y/N\] ' <<<"$out" && grep -q 'declined: nothing written' <<<"$out" ||
            { echo "FAIL: no prompt, or it did not stop: $out"; fail=1; }
        # Declined under --json: the one object says why.
        out=$(echo n | script -qec "$tool --allow-unsigned --board $board --json update $images/new.bin 2>/dev/null" /dev/null | tr -d '\r' | sed -n '/^{/,/^}/p')
        python3 -c 'import json,sys; r=json.loads(sys.argv[1]); sys.exit(not (r["error"] == "declined: nothing written" and r["exit_code"] == 1))' "$out" ||
            { echo "FAIL: a declined prompt under --json: $out"; fail=1; }
        out=$(script -qec "$tool --allow-unsigned --board $board update $images/new.bin --yes" /dev/null | tr '\r' '\n')
        grep -qE '^\[#{40}\] 100%  528/528 blocks' <<<"$out" ||
            { echo "FAIL: no progress bar ending at 100%: $out"; fail=1; }
        # On a 40-column terminal the bar still fits its line.
        out=$(script -qec "stty cols 40; $tool --allow-unsigned --board $board update $images/same-seed.bin --yes --no-backup" /dev/null |
            tr '\r' '\n' | grep '^\[')
        grep -qE '\] 100%  [0-9]+/[0-9]+ blocks' <<<"$out" && [ "$(awk '{ if (length($0) >= 40) print }' <<<"$out")" = "" ] ||
            { echo "FAIL: the bar does not fit 40 columns: $out"; fail=1; }
    fi
fi
exit $fail
