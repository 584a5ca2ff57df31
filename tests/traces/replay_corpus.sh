#!/usr/bin/env bash
# Replays every trace of the corpus (corpus.txt) against one library: the
# library linked into kova-trace, or the real KOVA.dll in the CPU emulator.
# Each must make every request as recorded and end as recorded. A change in
# the library's behaviour fails here, naming the first event that differs.
#   replay_corpus.sh REPLAYER KOVA_IMAGE
#   (REPLAYER: "kova-trace replay" as one word list, or emu_replay)
set -uo pipefail
replayer=$1 kova_image=$2
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail=0
bad() { echo "FAIL: $*"; fail=1; }
cases=0
lanes=()
running=0
# Every trace, two at a time (one per core), each into a file of its own;
# read once all are done. The traces with the most events go first, so that
# no long replay starts last.
ordered=$(python3 - "$here" <<'PYEOF'
import sys, zlib
here = sys.argv[1]
lines = [l for l in open(f"{here}/corpus.txt") if l.strip() and not l.startswith("#")]
def events(line):
    return len(zlib.decompress(open(f"{here}/{line.split('|')[0]}.kvt", "rb").read()[8:]))
sys.stdout.writelines(sorted(lines, key=events, reverse=True))
PYEOF
) || bad "cannot read the corpus"
while IFS='|' read -r name _installed _command image _fault; do
    cases=$((cases + 1))
    args=("$here/$name.kvt")
    if [ "$image" != - ]; then
        # shellcheck disable=SC2086
        "$kova_image" make "$work/$name.bin" $image >/dev/null || { bad "$name: cannot make its image"; continue; }
        args+=("$work/$name.bin")
    fi
    lane=$work/$name
    lanes+=("$lane")
    if [ $running -ge 2 ]; then
        wait -n
        running=$((running - 1))
    fi
    ($replayer "${args[@]}" >"$lane.out" 2>&1; echo $? >"$lane.code") &
    running=$((running + 1))
done <<<"$ordered"
wait
for lane in "${lanes[@]}"; do
    code=$(cat "$lane.code")
    [ "$code" = 0 ] && grep -q '^result    : reproduced' "$lane.out" ||
        bad "$(basename "$lane") (exit $code): $(cat "$lane.out")"
done
[ "$cases" -ge 29 ] || bad "the corpus lists $cases traces"
# A trace cut short in the middle of an update: every event before the cut
# as recorded, and the cut said.
python3 "$here/edit_trace.py" "$here/update-few.kvt" "$work/cut.kvt" cut-after 60
"$kova_image" make "$work/cut.bin" --fill 0xFF --revision 1 >/dev/null
out=$($replayer "$work/cut.kvt" "$work/cut.bin" 2>&1)
[ $? = 0 ] && grep -q '^result    : reproduced up to the cut: 2 calls, .*; cut at event 61, in phase pass b ' <<<"$out" ||
    bad "a cut trace: $out"
# A host that holds its own mappings, 200 small ones or one of 16 MiB: the
# emulator shows the library only the library's, and replays the trace.
for change in "200 0x1000" "1 0x1001000"; do
    # shellcheck disable=SC2086
    python3 "$here/edit_trace.py" "$here/ec-read.kvt" "$work/host.kvt" host-mappings $change
    out=$($replayer "$work/host.kvt" 2>&1)
    code=$?
    [ $code = 0 ] && grep -q '^result    : reproduced' <<<"$out" || bad "host mappings $change (exit $code): $out"
done
echo "$cases traces replayed by $(basename "${replayer%% *}")"
exit $fail
