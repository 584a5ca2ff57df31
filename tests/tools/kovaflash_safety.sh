#!/usr/bin/env bash
# What a technician trusts kovaflash for, against a simulated board:
# images the board would be locked out by are refused and nothing is
# written; bad input is one line and exit 2 with nothing written; one
# writer at a time, and state that is whole after a kill at any moment;
# read-only commands work on a read-only board; backup, update, verify.
# Usage: kovaflash_safety.sh KOVAFLASH KOVA_IMAGE HOLD_BOARD_LOCK [RUNNER]
#   (HOLD_BOARD_LOCK: the lock holder built beside KOVAFLASH; RUNNER: e.g. wine64)
set -uo pipefail
tool=$1 image_tool=$2 holder_tool=$3 runner=${4:-}
work=$(mktemp -d)
# Whatever ends the test ends nobody's Wine server too (its prefix goes with $work).
finish() {
    [ -n "${holder_pid:-}" ] && kill "$holder_pid" 2>/dev/null
    if [ -n "${nobody_boot:-}" ]; then
        "${as_nobody[@]}" wineserver -k 2>/dev/null
        "${as_nobody[@]}" wineserver -w 2>/dev/null
    fi
    rm -rf "$work"
}
trap finish EXIT
board=$work/board images=$work/images
mkdir -p "$images"
fail=0
# Wine starts its services with the first program it runs, and they keep
# that program's output open: start them here, attached to nothing, so no
# case's pipe waits on them.
[ -z "$runner" ] || $runner cmd /c exit </dev/null >/dev/null 2>&1
bad() { echo "FAIL: $*"; fail=1; }
# As root, the read-only cases (5.) run as nobody; under Wine in a prefix of
# nobody's own, which wineboot makes now, beside the cases before them.
as_nobody=()
nobody_boot=
if [ "$(id -u)" = 0 ]; then
    as_nobody=(setpriv --reuid=65534 --regid=65534 --clear-groups)
    if [ -n "$runner" ]; then
        chmod a+x "$work"
        mkdir "$work/nobody-prefix" && chown 65534:65534 "$work/nobody-prefix"
        as_nobody+=(env WINEPREFIX="$work/nobody-prefix" HOME="$work/nobody-prefix")
        (cd / && exec "${as_nobody[@]}" $runner wineboot -i </dev/null >/dev/null 2>&1) &
        nobody_boot=$!
    fi
fi
. "$(dirname "$0")/launch.sh"
# Under Wine, text lines end in CR LF.
# The board here trusts no key: images are taken unsigned (the signature
# cases have a script of their own).
kf() { $runner "$tool" --allow-unsigned --board "$board" --allow-unsigned "$@" | tr -d '\r'; return "${PIPESTATUS[0]}"; }
state() { (cd "$board" && sha256sum flash.bin ec-ram.bin smbus-eeprom.bin) 2>/dev/null; }
# Everything in the board directory: names, sizes, contents.
snapshot() { (cd "$board" && find . -type f ! -name kovaflash.lock -printf '%p %s\n' | sort && cat flash.bin ec-ram.bin | sha256sum); }

make() { "$image_tool" make "$images/$1" "${@:2}" >/dev/null || bad "kova-image make $*"; }
make installed.bin --seed 7 --revision 0
make good.bin --seed 8 --revision 1
kf board init --image "$images/installed.bin" >/dev/null || bad "board init"

# 1. Images whose identity would lock the board out: exit 3, nothing written.
refused=(
    "model|--model K7X|image is for board \"K7X\", this board is \"K5R\""
    "vendor|--vendor ACME|image is from vendor \"ACME\", this board's is \"ZALT\""
    "second|--second X|second boot-info string is \"X\", this board's is empty"
    "tag|--platform-tag R2319|platform tag \"R2319\", this board's is \"R2318\""
    "revision|--revision 2|boot-info revision 2, this library accepts at most 1"
)
before=$(snapshot)
for row in "${refused[@]}"; do
    IFS='|' read -r name option says <<<"$row"
    make "$name.bin" --seed 8 $option
    for cmd in check update; do
        out=$(kf $cmd "$images/$name.bin" --yes 2>&1)
        status=$?
        [ $status = 3 ] || bad "$cmd $name: exit $status, want 3: $out"
        grep -qF "$says" <<<"$out" || bad "$cmd $name: does not say '$says': $out"
    done
    grep -q "not installable: .*$(sed 's/[][\.*^$]/\\&/g' <<<"$says")" <<<"$("$image_tool" inspect "$images/$name.bin")" ||
        bad "kova-image inspect $name does not say it is not installable"
    [ "$(snapshot)" = "$before" ] || bad "refusing $name wrote to the board"
done
out=$(kf update "$images/model.bin" --yes --force --no-backup 2>&1)
[ $? = 0 ] && grep -q "WARNING: .*later updates through this library will be refused" <<<"$out" ||
    bad "--force does not write with a warning: $out"
[ "$(kf update "$images/good.bin" --yes 2>&1 | grep -c 0x80000002)" = 1 ] ||
    bad "after a forced foreign image the library should refuse the next update"
kf board init --replace --image "$images/installed.bin" >/dev/null

# 2. Bad input: one line, exit 2, nothing written, whatever the command.
mkfifo "$work/fifo"
head -c 4096 "$images/good.bin" >"$work/short.bin"
{ cat "$images/good.bin"; printf x; } >"$work/long.bin"
inputs=(
    "$work|is a directory"
    "$work/fifo|not a regular file"
    "/dev/zero|not a regular file"
    "$work/short.bin|4096 bytes, an image is exactly 2097152"
    "$work/long.bin|more than 2097152 bytes"
    "$work/none.bin|no such file"
)
before=$(snapshot)
for row in "${inputs[@]}"; do
    IFS='|' read -r path says <<<"$row"
    for cmd in "check" "update --yes" "verify" "board init --replace --image"; do
        out=$(timeout 10 $runner "$tool" --allow-unsigned --board "$board" $cmd "$path" 2>&1)
        status=$?
        [ $status = 2 ] || bad "$cmd $path: exit $status, want 2: $out"
        [ "$(wc -l <<<"$out")" = 1 ] && grep -qF "$says" <<<"$out" || bad "$cmd $path: want one line saying '$says': $out"
    done
done
out=$(kf backup "$work" 2>&1)
[ $? = 2 ] && grep -q "is a directory" <<<"$out" || bad "backup to a directory: $out"
[ "$(snapshot)" = "$before" ] || bad "bad input wrote to the board"

# Board state that is damaged: named, with the repair, and never regenerated.
cp -a "$board" "$work/damaged"
head -c 1000 "$board/flash.bin" >"$work/damaged/flash.bin"
out=$($runner "$tool" --allow-unsigned --board "$work/damaged" info 2>&1)
[ $? = 2 ] && grep -q "damaged/flash.bin: 1000 bytes, expected 2097152; .kovaflash board init --replace." <<<"$out" ||
    bad "truncated flash.bin: $out"
rm "$work/damaged/flash.bin"
out=$($runner "$tool" --allow-unsigned --board "$work/damaged" ec write 1 1 2>&1)
[ $? = 2 ] && grep -q "damaged/flash.bin: missing" <<<"$out" && [ ! -e "$work/damaged/flash.bin" ] ||
    bad "missing flash.bin: $out"
$runner "$tool" --allow-unsigned --board "$work/damaged" board init --replace >/dev/null &&
    $runner "$tool" --allow-unsigned --board "$work/damaged" info >/dev/null ||
    bad "board init --replace does not repair a damaged board"

# 3. One writer at a time. A holder of the lock (taking it as kovaflash
# takes it) makes every writer fail at once with exit 4, saying who holds
# it, or wait with --wait. The holder says when it holds the lock, and
# lets go when the test says.
hold_lock "$runner" "$holder_tool" "$board" || bad "the lock holder did not take the lock"
pid=$(tr -d '\r' <"$board/kovaflash.lock")
for cmd in "update $images/good.bin --yes" "ec write 1 2" "smbus write-byte 0xA0 0 1" "board init --replace"; do
    out=$(timeout 2 $runner "$tool" --allow-unsigned --board "$board" $cmd 2>&1)
    status=$?
    [ $status = 4 ] && grep -q "board busy (held by pid $pid)" <<<"$out" || bad "$cmd while held: exit $status: $out"
done
# Readers too: an EC read between another process's EC write steps would
# interleave the mailbox exchange.
for cmd in "ec read 1" "info" "flash read 0" "verify $images/good.bin" "check $images/good.bin" "history" "acpi lock"; do
    out=$(timeout 2 $runner "$tool" --allow-unsigned --board "$board" $cmd 2>&1)
    status=$?
    [ $status = 4 ] && grep -q "board busy (held by pid $pid)" <<<"$out" || bad "reader $cmd while held: exit $status: $out"
done
# Deleting the lock file lets no one in: the holder still holds the board.
rm "$board/kovaflash.lock"
for cmd in "ec write 1 2" "update $images/good.bin --yes"; do
    out=$(timeout 5 $runner "$tool" --allow-unsigned --board "$board" $cmd 2>&1)
    status=$?
    [ $status = 4 ] && grep -q "board busy" <<<"$out" || bad "$cmd after the lock file was deleted: exit $status: $out"
done
release_lock || bad "the lock holder failed"
hold_lock "$runner" "$holder_tool" "$board" || bad "the lock holder did not take the lock again"
pid=$(tr -d '\r' <"$board/kovaflash.lock")
# --wait: the writer says once whom it waits for; the holder lets go then.
exec {waiter}< <(exec {holder_in}>&-; exec $runner "$tool" --allow-unsigned --board "$board" ec write 1 0x33 --wait 30 2>&1)
waiter_pid=$!
out=$(read_until "$waiter" "waiting up to 30 s")
release_lock || bad "the lock holder failed"
out+=$(cat <&"$waiter")
exec {waiter}<&-
wait "$waiter_pid" || bad "--wait does not wait for the lock: $out"
[ "$(grep -c "board busy (held by pid $pid); waiting up to 30 s" <<<"$out")" = 1 ] || bad "--wait does not say once whom it waits for: $out"
[ "$(kf ec read 1)" = "EC[0x01] = 0x33" ] || bad "the write after --wait is lost"
# A holder killed while another waits for the board: the waiter takes it
# (natively the flock ends with the process; on Windows the mutex is
# abandoned, and taken over with a notice).
hold_lock "$runner" "$holder_tool" "$board" || bad "the lock holder did not take the lock"
exec {waiter}< <(exec {holder_in}>&-; exec $runner "$tool" --allow-unsigned --board "$board" ec read 1 --wait 30 2>&1)
waiter_pid=$!
out=$(read_until "$waiter" "waiting up to 30 s")
kill -9 "$holder_pid"
release_lock
out+=$(cat <&"$waiter")
exec {waiter}<&-
wait "$waiter_pid" || bad "the waiter after its holder was killed: $out"
grep -q "EC\[0x01\] = 0x33" <<<"$out" || bad "the waiter after its holder was killed: $out"
if [ -n "$runner" ]; then
    grep -q "ended without letting go" <<<"$out" || bad "an abandoned mutex taken over without a notice: $out"
fi

# Killed at random moments, an update leaves every state file whole: the
# flash is the old firmware or the new one, never a mix.
old=$(sha256sum <"$images/installed.bin")
updated_flash() { kf board init --replace --image "$images/installed.bin" >/dev/null; kf update "$images/good.bin" --yes --no-backup >/dev/null 2>&1; sha256sum <"$board/flash.bin"; }
new=$(updated_flash)
olds=0 news=0
for round in $(seq 20); do
    # A killed writer's lock may be let go a moment after it is gone (under Wine).
    out=$(kf board init --replace --wait 5 --image "$images/installed.bin" 2>&1) || bad "round $round: board init: $out"
    $runner "$tool" --allow-unsigned --board "$board" update "$images/good.bin" --yes --no-backup >/dev/null 2>&1 &  # $! is the tool itself
    sleep "$(printf '0.%03d' $((RANDOM % 400)))"  # an update here takes 0.1 to 0.3 s
    kill -9 $! 2>/dev/null
    wait $! 2>/dev/null
    now=$(sha256sum <"$board/flash.bin")
    if [ "$now" = "$old" ]; then olds=$((olds + 1)); elif [ "$now" = "$new" ]; then news=$((news + 1)); else
        bad "round $round: flash.bin is neither the old nor the new firmware"
    fi
    [ "$(stat -c %s "$board/ec-ram.bin")" = 256 ] || bad "round $round: ec-ram.bin is not whole"
    kf info >/dev/null || bad "round $round: the board does not load after the kill"
done
echo "killed updates: $olds left the old firmware, $news the new one, none a mix"
# A signal before the flash is written cancels the update; one while the
# library writes is held off until the update is finished and verified.
# Either way the exit status is 128 + the signal's and the flash is whole.
# Under Wine, SIGINT reaches the program as Ctrl-C; SIGTERM ends the Wine
# process itself, which a Windows program cannot see or defer.
signals=(INT TERM HUP)
[ -z "$runner" ] || { signals=(INT); echo "not run under $runner: SIGTERM, SIGHUP (Wine ends the process, unseen by it)"; }
for sig in "${signals[@]}"; do
    code=$((128 + $(kill -l "$sig")))
    kf board init --replace --wait 5 --image "$images/installed.bin" >/dev/null
    hold_lock "$runner" "$holder_tool" "$board" || bad "SIG$sig: the lock holder did not take the lock"
    # The update waits for the lock; the signal comes once it says it waits.
    exec {waiter}< <(exec {holder_in}>&-; exec $runner "$tool" --allow-unsigned --board "$board" update "$images/good.bin" --yes --no-backup --wait 30 2>&1)
    waiter_pid=$!
    read_until "$waiter" "waiting up to" >"$work/out"
    kill -"$sig" "$waiter_pid"
    cat <&"$waiter" >>"$work/out"
    exec {waiter}<&-
    wait "$waiter_pid"
    status=$?
    release_lock
    [ $status = $code ] && grep -q "interrupted: nothing written" "$work/out" && cmp -s "$board/flash.bin" "$images/installed.bin" ||
        bad "SIG$sig before the write: exit $status, flash $(cmp -s "$board/flash.bin" "$images/installed.bin" && echo old || echo changed): $(cat "$work/out")"
    held_off=0
    for attempt in $(seq 20); do
        kf board init --replace --wait 5 --image "$images/installed.bin" >/dev/null
        # The signal comes once the tool says it writes.
        exec {writer}< <(exec $runner "$tool" --allow-unsigned --board "$board" update "$images/good.bin" --yes --no-backup 2>&1 >"$work/out")
        pid=$!
        read_until_text "$writer" "writing:" >"$work/err"
        kill -"$sig" $pid 2>/dev/null
        cat <&"$writer" >>"$work/err"
        exec {writer}<&-
        wait $pid
        status=$?
        [ $status = 0 ] && continue  # it had finished before the signal came
        if [ $status = $code ] && grep -q "finishing and verifying the update first" "$work/err" &&
            grep -q "^verified" "$work/out" && kf verify "$images/good.bin" >/dev/null; then
            held_off=1
            break
        fi
        bad "SIG$sig while writing: exit $status: $(cat "$work/out" "$work/err")"
        break
    done
    [ $held_off = 1 ] || bad "SIG$sig never reached an update while it wrote"
done

# Ctrl-C at the prompt ends the run at once: the read is not restarted to
# wait for an answer.
if [ -z "$runner" ] && command -v script >/dev/null; then
    kf board init --replace --image "$images/installed.bin" >/dev/null
    # A terminal whose keyboard stays open with nothing typed: the prompt
    # waits for an answer until the Ctrl-C.
    mkfifo "$work/keyboard"
    exec {terminal}< <(exec script -qec "$tool --allow-unsigned --board $board update $images/good.bin; echo status \$?" /dev/null <"$work/keyboard" 2>&1)
    exec {keyboard}>"$work/keyboard"
    read_until_text "$terminal" "[y/N] " >"$work/out"
    start=$SECONDS
    pkill -INT -f "^$tool --allow-unsigned --board $board update"
    read_until "$terminal" "status" 10 >>"$work/out"  # a read begun again would wait for ever
    grep -q 'status 130' "$work/out" && grep -q 'interrupted: nothing written' "$work/out" && [ $((SECONDS - start)) -lt 3 ] ||
        bad "Ctrl-C at the prompt: $(tr -d '\r' <"$work/out")"
    exec {keyboard}>&- {terminal}<&-
fi

# An update cut short (power, kill) once the board's state says it began is
# said by the next run; its rerun keeps the backup the first try took
# (killed before the flash was saved), or completes the records (after).
cut=0
began() { grep -q '"unfinished": {' "$board/board-state.json" 2>/dev/null; }
for attempt in $(seq 10); do
    kf board init --replace --wait 5 --image "$images/installed.bin" >/dev/null
    # Killed once it says it writes: its state says the update began.
    exec {writer}< <(exec $runner "$tool" --allow-unsigned --board "$board" update "$images/good.bin" --yes 2>&1 >/dev/null)
    pid=$!
    read_until_text "$writer" "writing:" >/dev/null
    kill -9 $pid 2>/dev/null
    exec {writer}<&-
    wait $pid 2>/dev/null
    began && { cut=1; break; }
done
if [ $cut = 1 ]; then
    backups=$(ls "$board"/backup-*.bin | wc -l)
    out=$(kf update "$images/good.bin" --yes --wait 5 2>&1)
    grep -q "the last update of $images/good.bin, begun at .*, did not finish: run it again to complete it" <<<"$out" &&
        { { grep -q 'taken before the interrupted update' <<<"$out" && grep -q '^verified' <<<"$out"; } ||
            grep -q 'its records are completed' <<<"$out"; } &&
        [ "$(ls "$board"/backup-*.bin | wc -l)" = "$backups" ] || bad "the run after an update cut short: $out"
    kf history | grep -q 'did not finish' && bad "history still says unfinished after the rerun completed it"
else
    bad "no update was cut short after it began, in 10 tries"
fi

# Every file reaches the disk before it takes its name: each rename (or
# link) of a temporary follows an fsync of that very file.
if [ -z "$runner" ] && command -v strace >/dev/null; then
    kf board init --replace --image "$images/installed.bin" >/dev/null
    # LeakSanitizer cannot run under ptrace.
    ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 strace -f -y -o "$work/trace" -e trace=fsync,fdatasync,rename,renameat,renameat2,link,linkat \
        "$tool" --allow-unsigned --board "$board" update "$images/good.bin" --yes >"$work/out" 2>&1 ||
        bad "the traced update failed: $(cat "$work/out")"
    python3 - "$work/trace" <<'PYEOF' || bad "a rename without an fsync of its file before it"
import re, sys
synced, renames, bad = set(), 0, []
for line in open(sys.argv[1]):
    m = re.search(r'f(?:data)?sync\(\d+<([^>]*)>\) = 0', line)
    if m:
        synced.add(m.group(1))
    if re.search(r'\b(rename|renameat2?|linkat?)\(', line) and line.rstrip().endswith("= 0"):
        source = re.findall(r'"([^"]*)"', line)[0]  # the temporary that takes the name
        renames += 1
        if not any(s == source or s.endswith("/" + source.split("/")[-1]) for s in synced):
            bad.append(source)
print(f"fsync before rename: {renames} renames, {len(bad)} without", *bad)
sys.exit(1 if bad or renames < 4 else 0)
PYEOF
else
    echo "not run: the fsync trace (natively with strace only)"
fi

# What a killed save leaves behind goes with the next writer; a reader and
# names that are not such a leftover leave it alone.
touch "$board/.flash.bin.Ab3xY9" "$board/.ec-ram.bin.Qw7eR2" "$board/.backup-20261209-101010-rev0.bin.Zx8cV4" \
    "$board/.history.jsonl.Hy4tR5" "$board/.board-state.json.St8aT3" "$board/.flash.bin.old" "$board/notes.txt"
mkdir "$board/.trusted-keys.Tk2eY6" && touch "$board/.trusted-keys.Tk2eY6/vendor.pub"
kf info >/dev/null && [ -e "$board/.flash.bin.Ab3xY9" ] || bad "a reader removed a temporary file"
kf ec write 1 1 --wait 5 >/dev/null
[ "$(cd "$board" && ls -A | grep -E '^\.(flash|ec-ram|smbus-eeprom|backup-.*|history|board-state|trusted-keys)\.' | tr '\n' ' ')" = ".flash.bin.old " ] &&
    [ -e "$board/notes.txt" ] || bad "a writer did not remove exactly the leftover temporary files: $(ls -A "$board")"

# A board or lock file that is a symbolic link is refused, and nothing it
# points to is touched. (Wine shows a Unix symbolic link to a Windows
# program as the file it points to, so there the Windows tool's own check,
# of reparse points, cannot be reached.)
echo outside >"$work/outside"
symlinked=(kovaflash.lock flash.bin)
[ -z "$runner" ] || { symlinked=(); echo "not run under $runner: symbolic links (Wine hides them)"; }
for name in "${symlinked[@]}"; do
    cp -a "$board" "$work/linked"
    rm "$work/linked/$name" && ln -s ../outside "$work/linked/$name"
    out=$($runner "$tool" --allow-unsigned --board "$work/linked" ec write 1 1 2>&1)
    [ $? = 2 ] && grep -q "$name: is a symbolic link; refused" <<<"$out" || bad "symlinked $name: $out"
    [ "$(cat "$work/outside")" = outside ] || bad "a write through the symlinked $name reached outside the board"
    rm -rf "$work/linked"
done

# 4. Backup, update, verify, and the way back.
kf board init --replace --image "$images/installed.bin" >/dev/null
kf backup "$work/saved.bin" >/dev/null && cmp -s "$work/saved.bin" "$images/installed.bin" ||
    bad "backup does not hold the installed firmware"
out=$(kf backup "$work/saved.bin" 2>&1)
[ $? = 2 ] && grep -q "exists (--replace replaces it)" <<<"$out" || bad "backup overwrote a file: $out"
out=$(kf update "$images/good.bin" --yes 2>&1)
[ $? = 0 ] && grep -q "^verified " <<<"$out" || bad "update did not verify: $out"
auto=$(ls "$board"/backup-*-rev0.bin 2>/dev/null | head -1)
[ -n "$auto" ] && cmp -s "$auto" "$images/installed.bin" || bad "update left no backup of what it replaced"
kf verify "$images/good.bin" >/dev/null || bad "verify after the update"
out=$(kf verify "$images/installed.bin" --json)
[ $? = 5 ] && grep -q '"up_to_date": false' <<<"$out" || bad "verify against the old image: $out"
kf update "$work/saved.bin" --yes --no-backup >/dev/null 2>&1 && kf verify "$work/saved.bin" >/dev/null ||
    bad "the backup does not update the board back"
# Updates close together get a backup each; a backup never lands on the
# image or a board file.
rm -f "$board"/backup-*.bin
for img in good installed good; do kf update "$images/$img.bin" --yes >/dev/null 2>&1 || bad "update to $img"; done
[ "$(ls "$board"/backup-*.bin | wc -l)" = 3 ] || bad "three updates, backups: $(ls "$board")"
# They do not pile up: the oldest and the newest few stay, and the tool says what went.
oldest=$(ls -tr "$board"/backup-*.bin | head -1)
out=$(kf update "$images/installed.bin" --yes --keep-backups 1 2>&1)
grep -q "^old backups   : removed " <<<"$out" && [ "$(ls "$board"/backup-*.bin | wc -l)" = 2 ] && [ -e "$oldest" ] ||
    bad "--keep-backups 1: $(ls "$board") $out"
cp "$images/good.bin" "$work/target.bin"
for target in "$work/target.bin" "$board/flash.bin"; do
    out=$(kf update "$work/target.bin" --yes --backup "$target" --replace 2>&1)
    [ $? = 2 ] && grep -q "a backup never replaces it" <<<"$out" || bad "--backup $target: $out"
done
cmp -s "$work/target.bin" "$images/good.bin" || bad "the image was replaced by a backup"
# File modes (a Unix matter): a rewritten board file keeps its mode, a new
# backup honours the umask. And a disk that fills while the board is saved
# (a file-size limit the small files fit under and flash.bin does not):
# exit 6, saying what flash.bin holds, which is the old firmware, whole.
if [ -z "$runner" ]; then
    kf board init --replace --image "$images/installed.bin" >/dev/null
    out=$(trap '' XFSZ; ulimit -f 1024; $runner "$tool" --allow-unsigned --board "$board" update "$images/good.bin" --yes --no-backup 2>&1)
    status=$?
    [ $status = 6 ] && grep -q "flash.bin still holds the firmware it held before" <<<"$out" ||
        bad "a save cut short by a full disk: exit $status: $out"
    cmp -s "$board/flash.bin" "$images/installed.bin" || bad "a save cut short left flash.bin changed"
    # A backup that does not fit stops the update before the flash is touched.
    out=$(trap '' XFSZ; ulimit -f 1024; $runner "$tool" --allow-unsigned --board "$board" update "$images/good.bin" --yes 2>&1)
    status=$?
    [ $status = 6 ] && grep -q "no backup was kept, and the flash was not touched" <<<"$out" &&
        cmp -s "$board/flash.bin" "$images/installed.bin" || bad "a backup that does not fit: exit $status: $out"
    ls -A "$board" | grep -qE '^\.flash\.bin\.[A-Za-z0-9]{6}$' && bad "a save cut short left its temporary file: $(ls -A "$board")"
    chmod 0600 "$board/flash.bin"
    (umask 077 && kf ec write 2 2 >/dev/null && kf backup "$work/private.bin" >/dev/null)
    [ "$(stat -c %a "$board/flash.bin") $(stat -c %a "$work/private.bin")" = "600 600" ] ||
        bad "modes not kept or umask not honoured: $(stat -c '%n %a' "$board/flash.bin" "$work/private.bin")"
    chmod 0644 "$board/flash.bin"
fi

# An update cut off while the boot block was rewritten: the block holding
# the boot-info erased, the new boot block whole at 0x30000. The same update
# resumes it, and says so.
cp "$images/installed.bin" "$work/cut.bin"
dd if="$images/good.bin" of="$work/cut.bin" bs=64K skip=31 seek=3 count=1 conv=notrunc status=none
head -c 4096 /dev/zero | tr '\0' '\377' | dd of="$work/cut.bin" bs=4096 seek=496 conv=notrunc status=none
kf board init --replace --image "$work/cut.bin" >/dev/null
grep -q "resuming .*an interrupted update of this image" <<<"$(kf check "$images/good.bin")" ||
    bad "check does not say it resumes an interrupted update"
out=$(kf update "$images/good.bin" --yes --no-backup 2>&1)
[ $? = 0 ] && grep -q "^resuming" <<<"$out" && grep -q "^verified" <<<"$out" || bad "update does not resume: $out"
grep -q "resuming" <<<"$(kf check "$images/good.bin")" && bad "a finished update still reads as interrupted"
kf update "$work/saved.bin" --yes --no-backup >/dev/null 2>&1

# 5. Read-only commands on a board directory nobody may write.
# Root writes anywhere: as root, the tool runs as nobody, from a copy in the
# work folder (the build tree may lie where nobody cannot reach), with the
# libraries beside it; under Wine with a prefix of nobody's own.
shopt -s nullglob
mkdir "$work/ro"
cp "$tool" "$(dirname "$tool")"/*.dll "$work/ro/"
shopt -u nullglob
ro_tool=$work/ro/$(basename "$tool")
if [ -n "$nobody_boot" ]; then
    wait "$nobody_boot"
    "${as_nobody[@]}" wineserver -w  # its prefix whole before nobody's first case
    # One server for all of nobody's cases, its services attached to nothing.
    "${as_nobody[@]}" wineserver -p </dev/null >/dev/null 2>&1
    (cd / && "${as_nobody[@]}" $runner cmd /c exit </dev/null >/dev/null 2>&1)
fi
find "$work" -path "$work/nobody-prefix" -prune -o -exec chmod a+rX {} + && chmod a+w "$work"
# From the work folder: nobody may be unable to enter the folder the test
# was started in (a clone in a private temporary folder), and Wine, unable
# to start there, would start on drive C: and read /tmp/... as C:\tmp\...
readonly_run() {
    local cmd=("$@")
    cmd[0]=$ro_tool
    (cd "$work" && "${as_nobody[@]}" $runner "${cmd[@]}")
}
chmod a-w "$board"
# A reader that may not write the folder still waits for a holder. (Under
# Wine, nobody runs in a prefix of its own, another machine to the mutex.)
if [ -z "$runner" ]; then
    hold_lock "$runner" "$holder_tool" "$board" || bad "the lock holder did not take the lock"
    out=$(readonly_run "$tool" --allow-unsigned --board "$board" info 2>&1)
    [ $? = 4 ] && grep -q "board busy" <<<"$out" || bad "a reader of a read-only board while it is held: $out"
    release_lock
else
    echo "not run under $runner: a reader of a read-only board while it is held (nobody's Wine prefix is another machine)"
fi
before=$(snapshot)
for cmd in "info" "check $images/good.bin" "verify $images/installed.bin" "flash read 0x100" "ec read 1" \
    "acpi lock" "history" "backup $work/ro-backup.bin --replace"; do
    out=$(readonly_run "$tool" --allow-unsigned --board "$board" $cmd 2>&1)
    [ $? = 0 ] || bad "$cmd on a read-only board: $out"
done
cp "$images/good.bin" "$work/secret.bin" && chmod 000 "$work/secret.bin"
out=$(readonly_run "$tool" --allow-unsigned --board "$board" check "$work/secret.bin" 2>&1)
[ $? = 2 ] && grep -q "secret.bin: cannot open (Permission denied)" <<<"$out" || bad "unreadable image: $out"
out=$(readonly_run "$tool" --allow-unsigned --board "$board" ec write 1 1 2>&1)
status=$?
if [ -z "$runner" ]; then
    [ $status = 6 ] && grep -q "nothing written" <<<"$out" || bad "a writer on a read-only board: exit $status: $out"
else
    [ $status != 0 ] || bad "a writer succeeded on a read-only board"
fi
[ "$(snapshot)" = "$before" ] || bad "a read-only command wrote to the board directory"
chmod u+w "$board"
exit $fail
