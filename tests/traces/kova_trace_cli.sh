#!/usr/bin/env bash
# kova-trace on the corpus: show (text and JSON), and board, which makes a
# simulated board of what a trace saw, as it found the board and as it left
# it; and its refusals.
#   kova_trace_cli.sh KOVA_TRACE KOVAFLASH KOVA_IMAGE
set -uo pipefail
kt=$1 kovaflash=$2 kova_image=$3
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail=0
bad() { echo "FAIL: $*"; fail=1; }
"$kova_image" make "$work/installed.bin" --fill 0xFF --revision 0 >/dev/null
"$kova_image" make "$work/new.bin" --fill 0xFF --revision 1 >/dev/null

# show --json: the update's block writes, counted from the firmware calls,
# are what the library's own counter says it made (check's count before,
# the update's after).
"$kt" --json show "$here/update-few.kvt" >"$work/show.json" || bad "show --json: $(cat "$work/show.json")"
python3 - "$work/show.json" <<'PYEOF' || bad "show --json of update-few: $(cat "$work/show.json")"
import json, sys
s = json.load(open(sys.argv[1]))
check, update = s["calls"]
written = sum(len(p["blocks_written"]) for p in update["phases"])
before, after = check["returned"]["count"], update["returned"]["count"]
phases = [p["phase"] for p in update["phases"]]
sys.exit(0 if s["complete"] and written == before - after and written > 0 and phases[0] == "acquisition"
         and phases[-1] == "release" and "pass a" in phases and "end" in phases else 1)
PYEOF
out=$("$kt" show --events "$here/ec-read.kvt")
[ $? = 0 ] && grep -q '^call KOVA_get_ec_ram index=64' <<<"$out" && grep -q '^#[0-9]* \[EC RAM\] SetPortVal' <<<"$out" ||
    bad "show --events of an EC read: $out"

# board: as the recording found the board (the installed firmware) and as
# it left it (the new one), with the F-segment and the register read.
out=$("$kt" board "$here/update-few.kvt" "$work/found")
[ $? = 0 ] && cmp -s "$work/found/flash.bin" "$work/installed.bin" || bad "board as found: $out"
[ "$(cat "$work/found/registers.txt")" = "0xFEA1 0x00" ] && [ "$(stat -c %s "$work/found/fseg.bin")" = 65536 ] ||
    bad "board as found: registers $(cat "$work/found/registers.txt"), F-segment"
"$kt" board --end "$here/update-few.kvt" "$work/left" >/dev/null && cmp -s "$work/left/flash.bin" "$work/new.bin" ||
    bad "board as left is not the new firmware"
out=$("$kovaflash" --board "$work/found" --allow-unsigned check "$work/new.bin" 2>&1)
[ $? = 0 ] && grep -q 'an update makes 5 block writes' <<<"$out" || bad "check on the board made of a trace: $out"
# Its register as registers.txt says: bit 7 set leaves pass c out, so an
# image whose first 64 KiB differ counts fewer blocks (15, not 18).
"$kova_image" make "$work/low.bin" --fill 0xFF --revision 1 --header-offset 0x100 >/dev/null
for row in "0x00 18" "0x80 15"; do
    echo "0xFEA1 ${row% *}" >"$work/found/registers.txt"
    out=$("$kovaflash" --board "$work/found" --allow-unsigned check "$work/low.bin" 2>&1)
    [ $? = 0 ] && grep -q "^blocks differ : ${row#* } " <<<"$out" || bad "register 0xFEA1 = ${row% *} on the board: $out"
done
# An update on it: the firmware answers through the flash interface its
# own F-segment (fseg.bin) holds, and the flash ends as the image.
echo "0xFEA1 0x00" >"$work/found/registers.txt"
out=$("$kovaflash" --board "$work/found" --allow-unsigned update "$work/new.bin" --yes 2>&1)
[ $? = 0 ] && cmp -s "$work/found/flash.bin" "$work/new.bin" || bad "an update on the board made of a trace: $out"
echo "FEA1 = 80" >"$work/found/registers.txt"
out=$("$kovaflash" --board "$work/found" info 2>&1)
[ $? = 2 ] && grep -qF "registers.txt: \"FEA1 = 80\" is not a register" <<<"$out" || bad "a bad registers.txt: $out"

# Refusals, exit 2: a board already there, a trace without the flash, not a trace.
out=$("$kt" board "$here/update-few.kvt" "$work/left" 2>&1)
[ $? = 2 ] && grep -q 'exists (--replace writes over it)' <<<"$out" || bad "board over a board: $out"
out=$("$kt" board "$here/ec-read.kvt" "$work/none" 2>&1)
[ $? = 2 ] && grep -q 'never saw the whole flash' <<<"$out" || bad "board of a trace without the flash: $out"
out=$("$kt" --json replay "$work/new.bin" 2>/dev/null)
[ $? = 2 ] && python3 -c 'import json,sys; sys.exit(0 if "not a trace" in json.loads(sys.argv[1])["error"] else 1)' "$out" ||
    bad "an image given as a trace: $out"
out=$("$kt" replay "$here/update-few.kvt" 2>&1)
[ $? = 2 ] && grep -q 'give that image' <<<"$out" || bad "an update's trace without its image: $out"
out=$("$kt" replay "$here/update-few.kvt" "$work/installed.bin" 2>&1)
[ $? = 2 ] && grep -q 'not the one the trace' <<<"$out" || bad "an update's trace with another image: $out"
exit $fail
