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
# Notes the replay cannot trust, and a trace cut short: a call without its
# outcome is a bad trace said before any call is made; a trace cut in the
# middle of an update replays up to its cut, naming it.
edit() { python3 "$here/edit_trace.py" "$@"; }
edit "$here/ec-read.kvt" "$work/no-outcome.kvt" drop-outcome
out=$("$kt" replay "$work/no-outcome.kvt" 2>&1)
[ $? = 2 ] && grep -q 'without its outcome, in a trace that is whole' <<<"$out" && ! grep -q '^call ' <<<"$out" ||
    bad "a call noted without its outcome: $out"
edit "$here/update-few.kvt" "$work/cut.kvt" cut-after 60
out=$("$kt" replay "$work/cut.kvt" "$work/new.bin" 2>&1)
[ $? = 0 ] && grep -q '^result    : reproduced up to the cut: 2 calls, .*; cut at event 61, in phase pass b ' <<<"$out" &&
    grep -q '^  recorded  : none: the recording was cut inside this call' <<<"$out" || bad "a trace cut short: $out"
# Cut after the call's last operation, before its outcome was noted: the
# call ends where the recording did, which is no difference.
edit "$here/ec-read.kvt" "$work/cut-end.kvt" cut-before-outcome
out=$("$kt" replay "$work/cut-end.kvt" 2>&1)
[ $? = 0 ] && grep -q '^result    : reproduced up to the cut: 1 call, ' <<<"$out" || bad "a trace cut before its outcome: $out"
# A trace of format 1 is still read and replayed.
out=$("$kt" replay "$here/format-1/update-few.kvt" "$work/new.bin" 2>&1)
[ $? = 0 ] && grep -q '^result    : reproduced: 2 calls' <<<"$out" || bad "a format 1 trace: $out"

# show: the summary first, times, names of ports, one number per mapping,
# plurals, and no control byte from the trace reaching the terminal.
edit "$here/ec-read.kvt" "$work/escape.kvt" note $'call KOVA_get_ec_ram index=1\x1b[2J\xc2\x9b\x9bЖ count=0'
out=$("$kt" show --events "$work/escape.kvt")
[ $? = 0 ] && ! grep -q $'\x1b' <<<"$out" && grep -qF 'index=1\x1B[2J\xC2\x9B\x9BЖ' <<<"$out" || bad "show of a note with control bytes: $out"
out=$("$kt" show --events "$here/update-few.kvt")
head -1 <<<"$out" | grep -q '^summary   : kovaflash.exe made 2 calls into KOVA.dll (KOVA_check_bios_image, KOVA_update_bios_firmware); the last returned 0x00000000 "BIOS update successfully completed. "; the recording is whole$' &&
    grep -q '^call KOVA_check_bios_image .*   \[at [0-9]*\.[0-9]\{3\} s\]$' <<<"$out" &&
    grep -q '^  returned .* after [0-9]*\.[0-9]\{3\} s$' <<<"$out" &&
    grep -q '^library   : KOVA.dll [0-9.]* (SHA-256 [0-9a-f]\{64\})$' <<<"$out" &&
    grep -q '^#[0-9]* \[begin\] SetPortVal(port 0xB2 (SMI command), value 0x20, size 1) = 0x1$' <<<"$out" &&
    grep -q 'MapPhysToLin(0x000F0000, length 0x10000) = mapping #2, handle 0x3$' <<<"$out" &&
    grep -q 'UnmapPhysicalMemory(handle 0x3, mapping #2) = 0x1$' <<<"$out" &&
    grep -q "the library wrote the command record at 0x000F4A30 (.*): the record's flash address 0xFFE30000, length 0x1000, code write" <<<"$out" &&
    grep -q '^  pass b  *4 operations, 1 block write: 0x1F0000$' <<<"$out" || bad "show --events of an update: $out"

# A host that notes nothing: the library's operations are still told from
# the host's, by who called them.
edit "$here/ec-read.kvt" "$work/silent.kvt" drop-notes
out=$("$kt" show "$work/silent.kvt")
[ $? = 0 ] && grep -q '^events    : [0-9]* (0 operations by the host outside its calls, [1-9][0-9]* operations by KOVA.dll outside any noted call)$' <<<"$out" ||
    bad "show of a trace without notes: $out"
out=$("$kt" replay "$work/silent.kvt" 2>&1)
[ $? = 2 ] && grep -q 'holds no call into KOVA.dll noted by its host' <<<"$out" || bad "replay of a trace without notes: $out"

# The product key of the board's MSDM table never reaches a trace: '*' in
# its place, and the trace replays all the same (trace_corpus).
python3 - "$here/acpi-msdm.kvt" <<'PYEOF' || bad "acpi-msdm.kvt holds the product key, or no MSDM table"
import sys, zlib
events = zlib.decompressobj().decompress(open(sys.argv[1], "rb").read()[8:])
at = events.find(b"MSDMU\0\0\0")
sys.exit(0 if at > 0 and b"KOVAS-IMULA-TEDPR-ODUCT-KEY42" not in events and events[at + 56:at + 85] == b"*" * 29 else 1)
PYEOF

# diff: alike, and where a write-protected board parts from a good one.
out=$("$kt" diff "$here/update-few.kvt" "$here/update-few.kvt")
[ $? = 0 ] && grep -q '^same      : both traces hold the same 103 events' <<<"$out" || bad "diff of a trace with itself: $out"
out=$("$kt" diff "$here/update-few.kvt" "$here/write-protected.kvt")
[ $? = 1 ] && grep -q '^parting   : at event 45 (pass a), after 44 events alike$' <<<"$out" &&
    grep -q '^  B       : SetPortVal(port 0xB2 (SMI command), value 0x23, size 1) = 0x1$' <<<"$out" ||
    bad "diff of a good and a write-protected board: $out"
exit $fail
