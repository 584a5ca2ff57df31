#!/usr/bin/env bash
# The recording ZUNDA.dll under wine64, between kovaflash.exe and the
# real-board simulator standing as the maker's library (ZUNDA-maker.dll):
# the same update with and without it leaves identical boards and prints
# the same; its trace replays to the same outcome; a trace it cannot write
# or a maker's library it cannot load is said, and changes nothing else;
# a process killed mid-update leaves a trace read as incomplete, which
# replays up to its cut.
#   recorder.sh REAL_BOARD_BIN RECORDER_DLL RUNNER NATIVE_BIN
set -uo pipefail
real=$1 recorder=$2 runner=$3 native=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail=0
bad() { echo "FAIL: $*"; fail=1; }
# shellcheck source=../tools/launch.sh
. "$(dirname "$0")/../tools/launch.sh"
[ -z "$runner" ] || $runner cmd /c exit </dev/null >/dev/null 2>&1

# One folder, as a technician has it: the recorder goes in as ZUNDA.dll,
# the maker's library beside it as ZUNDA-maker.dll; and out again.
bin=$work/bin
mkdir -p "$bin"
cp "$real/kovaflash.exe" "$real/KOVA.dll" "$bin/"
recorder_in() { cp "$real/ZUNDA.dll" "$bin/ZUNDA-maker.dll" && cp "$recorder" "$bin/ZUNDA.dll"; }
recorder_out() { cp "$real/ZUNDA.dll" "$bin/ZUNDA.dll" && rm -f "$bin/ZUNDA-maker.dll"; }
"$native/kova-image" make "$work/installed.bin" --seed 4 --revision 0 >/dev/null
"$native/kova-image" make "$work/new.bin" --seed 9 --revision 1 >/dev/null

fresh_board() { rm -rf "$work/board" "$work/host" "$work/backup.bin"; "$native/kovaflash" --board "$work/board" board init --image "$work/installed.bin" >/dev/null 2>&1; rm -f "$work/board/kovaflash.lock"; }
board_state() { (cd "$work/board" && sha256sum flash.bin ec-ram.bin smbus-eeprom.bin); }
# kf BIN_DIR ARGS...: kovaflash.exe on the board; stdout to $work/out, stderr to $work/err.
kf() {
    local bin=$1
    shift
    ZUNDA_SIM_BOARD=$work/board $runner "$bin/kovaflash.exe" --board "$work/host" "$@" >"$work/out" 2>"$work/err"
}
update=(--allow-unsigned update "$work/new.bin" --backup "$work/backup.bin" --yes)

# The same update, without and with the recorder.
fresh_board
recorder_out
kf "$bin" "${update[@]}" || bad "the update without the recorder: $(cat "$work/out" "$work/err")"
want_state=$(board_state) want_out=$(cat "$work/out") want_err=$(cat "$work/err")
fresh_board
recorder_in
mkdir -p "$work/traces"
KOVA_TRACE_DIR=$work/traces kf "$bin" "${update[@]}" || bad "the update with the recorder: $(cat "$work/out" "$work/err")"
[ "$(board_state)" = "$want_state" ] || bad "the recorder changed what the update left on the board"
[ "$(cat "$work/out")" = "$want_out" ] || bad "the recorder changed what kovaflash printed: $(diff <(echo "$want_out") "$work/out")"
grep -q '^kovaflash: a recording ZUNDA.dll is in place (diagnostics): recording to ' "$work/err" ||
    bad "kovaflash does not say it is being recorded: $(cat "$work/err")"
[ "$(grep -v 'a recording ZUNDA.dll is in place' "$work/err")" = "$want_err" ] || bad "the recorder changed kovaflash's warnings"

# The trace: whole, the board's, and it replays to the same outcome.
traces=("$work"/traces/*.kvt)
[ ${#traces[@]} = 1 ] && [ -f "${traces[0]}" ] || bad "one trace expected, found: ${traces[*]}"
trace=${traces[0]}
size=$(stat -c %s "$trace")
# Firmware of random bytes, every block rewritten: the flash as first seen
# and every block the library sent, neither of which compresses.
[ "$size" -lt $((5 << 20)) ] || bad "a whole update's trace is $size bytes"
"$native/kova-trace" --json show "$trace" >"$work/show.json" || bad "show: $(cat "$work/show.json")"
# The header names the library by its version and SHA-256, and the host by its version.
python3 - "$work/show.json" "$bin/KOVA.dll" "$bin/ZUNDA-maker.dll" <<'PYEOF' || bad "show --json: $(cat "$work/show.json")"
import hashlib, json, sys
s = json.load(open(sys.argv[1]))
h = s["header"]
calls = [c["call"].split()[1] for c in s["calls"]]
sha = lambda path: hashlib.sha256(open(path, "rb").read()).hexdigest()
ok = (s["complete"] and h["tool"] == "kovaflash.exe" and h["board"] == "K5R" and h["format"] == "2"
      and s["board"]["model"] == "K5R" and calls == ["KOVA_check_bios_image", "KOVA_update_bios_firmware"]
      and h["maker-sha256"] == sha(sys.argv[3]) and h["library"] == "KOVA.dll"
      and h["library-sha256"] == sha(sys.argv[2]) and h["library-version"].count(".") == 3
      and h["tool-version"].count(".") == 3 and h["tool-version"] != "none" and h["recorder"] == "2"
      and "MSDM" in h["blanked"])
sys.exit(0 if ok else 1)
PYEOF
# Who called each operation: KOVA.dll inside its calls, kovaflash.exe
# (its backup and verify reads) outside them.
"$native/kova-trace" --json show --events "$trace" >"$work/events.json"
python3 - "$work/events.json" <<'PYEOF' || bad "operations not told by their caller"
import json, sys
ops = ("GetPortVal", "SetPortVal", "MapPhysToLin", "UnmapPhysicalMemory", "AllocatePhysMemory", "FreePhysMemory", "SEG32_CALLBACK")
events = [e for e in json.load(open(sys.argv[1]))["event_list"] if e["event"].startswith(ops)]
host = [e for e in events if e["phase"] == "host"]
library = [e for e in events if e["phase"] != "host"]
sys.exit(0 if host and library and not any(e["from_library"] for e in host) and all(e["from_library"] for e in library) else 1)
PYEOF
# Every read that succeeded kept its value, the same as the variable held
# before or not (the library's variables start at 0, and many reads give 0).
python3 - "$work/events.json" <<'PYEOF' || bad "a successful port read recorded as storing nothing"
import json, sys
reads = [e["event"] for e in json.load(open(sys.argv[1]))["event_list"] if e["event"].startswith("GetPortVal")]
sys.exit(0 if reads and not any(") = 0x1, nothing stored" in r for r in reads) else 1)
PYEOF
out=$("$native/kova-trace" replay "$trace" "$work/new.bin" 2>&1)
[ $? = 0 ] && grep -q '^result    : reproduced: 2 calls' <<<"$out" || bad "the fresh trace does not replay: $out"

# Beside the recorder by default, in traces\.
fresh_board
kf "$bin" info || bad "info with the recorder: $(cat "$work/err")"
ls "$bin"/traces/*.kvt >/dev/null 2>&1 || bad "no trace in the traces folder beside the recorder"

# A folder it cannot write to: said, and the update is the same.
fresh_board
touch "$work/not-a-folder"
KOVA_TRACE_DIR=$work/not-a-folder/traces kf "$bin" "${update[@]}" || bad "an update with no trace to write: $(cat "$work/err")"
grep -q 'recording ZUNDA.dll is in place (diagnostics): not recording: cannot make a trace in' "$work/err" ||
    bad "an unwritable trace folder is not said: $(cat "$work/err")"
[ "$(board_state)" = "$want_state" ] && [ "$(cat "$work/out")" = "$want_out" ] || bad "an unwritable trace folder changed the update"

# No maker's library beside it: said, exit 6 as without a driver, and nothing written.
fresh_board
before=$(board_state)
mv "$bin/ZUNDA-maker.dll" "$work/"
KOVA_TRACE_DIR=$work/traces kf "$bin" info
code=$?
[ $code = 6 ] && grep -q 'cannot load .*ZUNDA-maker.dll' "$work/err" || bad "no maker's library (exit $code): $(cat "$work/err")"
[ "$(board_state)" = "$before" ] || bad "the board changed without the maker's library"
mv "$work/ZUNDA-maker.dll" "$bin/"

# Killed in the middle of the update: the firmware holds its fifth block
# write and says so, and only then is the process killed.
fresh_board
rm -rf "$work/traces" && mkdir -p "$work/traces"
mkfifo "$work/said"
(KOVA_TRACE_DIR=$work/traces ZUNDA_SIM_BOARD=$work/board ZUNDA_SIM_FAULT=hold-after-writes=5 \
    exec $runner "$bin/kovaflash.exe" --board "$work/host" "${update[@]}" >/dev/null 2>"$work/said") &
pid=$!
exec {said}<"$work/said"
read_until "$said" "holding the update after 5 block writes" >/dev/null || bad "the update was not held"
kill -9 $pid 2>/dev/null || bad "the update ended before it could be killed"
wait $pid 2>/dev/null
exec {said}<&-
t=$(ls "$work"/traces/*.kvt 2>/dev/null | head -1)
out=$("$native/kova-trace" show "$t" 2>&1)
[ $? = 0 ] && grep -q '^complete  : NO' <<<"$out" || bad "a killed recording shows as whole: $out"
# It replays up to its cut: every event before it as recorded.
out=$("$native/kova-trace" replay "$t" "$work/new.bin" 2>&1)
[ $? = 0 ] && grep -q '^result    : reproduced up to the cut: .*; cut at event [0-9]*, in phase ' <<<"$out" ||
    bad "a killed recording does not replay up to its cut: $out"
exit $fail
