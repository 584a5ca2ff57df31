#!/usr/bin/env bash
# The board's state: what every security decision reads. Each case is a way
# a technician or an attacker could reach the floor, restore or the trust
# store through the files beside the board; each says what must hold.
# Keys, signatures and images are made here by the native kova-image.
# Usage: kovaflash_state.sh KOVAFLASH RUNNER KOVA_IMAGE   (RUNNER: "" natively, wine64)
. "$(dirname "$0")/tool_test.sh" "$@"
board=$work/board
kf() { launch "$runner" "$kovaflash" --board "$board" "$@"; }
ki() { "$kova_image" "$@" >/dev/null || bad "kova-image $*"; }
# A field of `info --json`'s "state" (what the board's state knows).
known() { kf --json info | python3 -c 'import json,sys; print(json.load(sys.stdin)["state"].get(sys.argv[1]))' "$1"; }
# The installed firmware is IMAGE (an update keeps the 64 KiB at 0x1E0000).
flash_is() { kf verify "$1" >/dev/null 2>&1; }
native_only() { [ -z "$runner" ] || { echo "not run under $runner: $1"; return 1; }; }
# expect NAME EXIT WORDS OUTPUT STATUS: the case's exit code and words.
expect() {
    [ "$5" = "$2" ] && grep -qF -- "$3" <<<"$4" || bad "$1: exit $5, want $2 and \"$3\": $4"
}

cd "$work" || exit 1
ki keygen vendor
ki keygen stranger
ki keygen other-vendor
ki make installed.bin --seed 5 --revision 0
for v in 1 3 5; do
    ki make "v$v.bin" --seed $((10 + v)) --revision 1
    ki sign "v$v.bin" --key vendor.key --release "05.0$v" --security-version "$v"
done
ki make unsigned.bin --seed 20 --revision 1
ki make strange.bin --seed 21 --revision 1
ki sign strange.bin --key stranger.key --release 99 --security-version 4294967295
fresh() { rm -rf "$board" && kf board init --image installed.bin --trust vendor.pub >/dev/null || bad "board init"; }

# 1. Restore takes only what the state holds, below the floor only the
# last completed update's own backup, and never one the last update did
# not take.
fresh
kf update v5.bin --yes >/dev/null || bad "update to v5"
first=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["last_write"]["backup"]["path"])' "$board/board-state.json")
out=$(kf update v3.bin --yes --no-backup --allow-older 2>&1)
expect "v3 below the floor with --allow-older" 0 "installed anyway (--allow-older)" "$out" $?
out=$(kf restore --yes)
expect "restore after --no-backup" 2 "took no backup (--no-backup)" "$out" $?
flash_is v3.bin || bad "restore after --no-backup wrote the flash"
out=$(kf restore "$first" --yes)
expect "an older own backup, not the last update's, below the floor" 3 "below the board's floor 5" "$out" $?
out=$(kf update "$first" --yes --allow-unsigned)
expect "the last-but-one update's backup as an update" 3 "below the board's floor 5" "$out" $?
out=$(kf restore "$first" --yes --allow-older 2>&1)
expect "an older own backup with --allow-older" 0 "not needed: a backup this tool took" "$out" $?
flash_is installed.bin || bad "restore with --allow-older did not bring back the first firmware"
[ "$(known floor)" = 5 ] || bad "a restore moved the floor: $(known floor)"

# The last update's backup comes back below the floor with no safety, and
# only through restore: an update of the same file is an image.
fresh
kf update v3.bin --yes >/dev/null && kf update v5.bin --yes >/dev/null || bad "v3 then v5"
last=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["last_write"]["backup"]["path"])' "$board/board-state.json")
out=$(kf update "$last" --yes --allow-unsigned 2>&1)
expect "the last update's backup as an update" 3 "below the board's floor 5" "$out" $?
out=$(kf restore --yes)
expect "the last update's backup" 0 "undoes that update" "$out" $?
flash_is v3.bin || bad "restore did not bring back v3"
[ "$(known origin)" = signed ] && [ "$(known security_version)" = 3 ] ||
    bad "the restored firmware's facts: $(known origin) $(known security_version)"

# The exemption is for the very backup the last update took: another
# written since at its path (`backup --replace`, of a flash changed behind
# the tool's back) is not it.
if native_only "a flash changed behind the tool's back"; then
    fresh
    kf update v3.bin --yes --backup "$work/way-back.bin" >/dev/null || bad "v3 with a named backup"
    cp v1.bin "$board/flash.bin"
    kf backup "$work/way-back.bin" --replace >/dev/null || bad "backup over the last update's backup"
    out=$(kf restore "$work/way-back.bin" --yes)
    expect "another backup at the path of the last update's" 3 "below the board's floor 3" "$out" $?
fi

# Only an update's backup is let below the floor: after two restores, the
# last one's backup (of the firmware found before the first update) is not.
fresh
kf update v5.bin --yes >/dev/null && kf restore --yes >/dev/null 2>&1 || bad "v5, then restore"
v5_backup=$(python3 -c 'import json,sys; print(json.load(open(sys.argv[1]))["last_write"]["backup"]["path"])' "$board/board-state.json")
out=$(kf restore "$v5_backup" --yes 2>&1)
expect "the backup of v5 the restore took" 0 "not needed: a backup this tool took" "$out" $?
out=$(kf restore --yes)
expect "the backup the last restore took, below the floor" 3 "below the board's floor 5" "$out" $?

# A firmware that came in through a safety needs it again to come back.
fresh
kf update unsigned.bin --yes --allow-unsigned >/dev/null 2>&1 && kf update v3.bin --yes >/dev/null ||
    bad "unsigned, then v3"
out=$(kf restore --yes)
expect "the backup of an unsigned image" 3 "came onto this board with --allow-unsigned" "$out" $?
flash_is v3.bin || bad "a refused restore wrote the flash"
out=$(kf restore --yes --allow-unsigned 2>&1)
expect "the backup of an unsigned image, with --allow-unsigned" 0 "verified" "$out" $?
# A file `kovaflash backup` wrote is a backup the state holds.
fresh
kf update v3.bin --yes >/dev/null || bad "update to v3"
out=$(kf backup "$work/mine.bin")
expect "backup FILE" 0 "kovaflash restore $work/mine.bin" "$out" $?
kf update v5.bin --yes >/dev/null || bad "update to v5"
out=$(kf restore "$work/mine.bin" --yes --allow-older 2>&1)
expect "restore of a file backup wrote" 0 "not needed: a backup this tool took" "$out" $?
cp v1.bin "$work/swapped.bin"
cp "$work/swapped.bin" "$work/mine.bin"
out=$(kf restore "$work/mine.bin" --yes --allow-older)
expect "a backup file swapped for another" 3 "has no signature" "$out" $?

# 2. Backups are named from the root: restore works from any folder.
fresh
(cd "$work" && launch "$runner" "$kovaflash" --board board update v3.bin --yes >/dev/null) || bad "update with a relative board"
mkdir -p "$work/elsewhere/deeper"
out=$(cd "$work/elsewhere/deeper" && launch "$runner" "$kovaflash" --board ../../board restore --yes)
expect "restore from another folder" 0 "restored      : " "$out" $?
flash_is installed.bin || bad "restore from another folder did not bring back the firmware"
# The history is the audit log only: without it, restore still knows its backup.
kf update v3.bin --yes >/dev/null || bad "update to v3 again"
mv "$board/history.jsonl" "$work/history.aside"
out=$(kf restore --yes)
expect "restore without a history" 0 "undoes that update" "$out" $?

# Pruning removes dated backups, and the state stops offering them.
fresh
for v in 1 3 5; do kf update "v$v.bin" --yes --keep-backups 1 >/dev/null || bad "update to v$v"; done
python3 - "$board/board-state.json" <<'PYEOF' || bad "the state offers a backup pruning removed"
import json, os, sys
paths = [b["path"] for b in json.load(open(sys.argv[1]))["backups"]]
gone = [p for p in paths if not os.path.exists(p)]
print(*("offered, but gone: " + p for p in gone), sep="\n")
sys.exit(1 if gone or len(paths) != 2 else 0)
PYEOF

# 3. Only a signature by a key of the board's own store moves the floor.
fresh
mkdir mykeys && cp stranger.pub mykeys/
out=$(kf update strange.bin --yes --trusted-keys mykeys)
expect "a stranger's key in --trusted-keys" 0 "never raises the floor" "$out" $?
[ "$(known floor)" = 0 ] && [ "$(known origin)" = other-keys ] ||
    bad "a stranger's signature moved the floor: floor $(known floor), origin $(known origin)"
kf update v3.bin --yes >/dev/null || bad "a vendor release after a stranger's"
[ "$(known floor)" = 3 ] || bad "a vendor release did not raise the floor: $(known floor)"

# 4. The trust store: one entry a key, names one whatever their case, and
# --replace says what it replaced.
fresh
out=$(kf trust add vendor.pub --name second)
expect "the trusted key under a second name" 0 "is trusted already, as vendor" "$out" $?
out=$(kf trust add stranger.pub --name VENDOR)
expect "another key under the name in capitals" 2 "another key is trusted as vendor" "$out" $?
out=$(kf trust add stranger.pub --name Vendor --replace)
expect "--replace" 0 "replaced      : vendor (" "$out" $?
grep -q '"replaced"' "$board/history.jsonl" || bad "the history does not say which key --replace replaced"
out=$(kf trust remove VENDOR)
expect "remove in capitals" 0 "removed from" "$out" $?
[ -z "$(ls "$board/trusted-keys")" ] || bad "a key is left after remove: $(ls "$board/trusted-keys")"
# board init --replace with two keys of one name fails whole: the old
# board's store stays as it was.
fresh
mkdir -p k1 k2 && cp vendor.pub k1/vendor.pub && cp stranger.pub k2/vendor.pub
before=$(kf trust list)
out=$(kf board init --replace --image installed.bin --trust k2/vendor.pub --trust k1/vendor.pub)
expect "board init with two keys named vendor" 2 "another key is trusted as vendor" "$out" $?
[ "$(kf trust list)" = "$before" ] || bad "a failed board init changed the store: $(kf trust list)"
ls -A "$board" | grep -q '^\.trusted-keys\.' && bad "a failed board init left its store aside: $(ls -A "$board")"
# A key's default name is its file's, less ".pub".
out=$(kf trust add stranger.pub)
expect "trust add with no name" 0 "stranger (" "$out" $?
[ -f "$board/trusted-keys/stranger.pub" ] || bad "the default name: $(ls "$board/trusted-keys")"
# A change that could not be recorded is not made.
cp "$board/history.jsonl" "$work/history.good" && echo '{"seq": 1,' >>"$board/history.jsonl"
out=$(kf trust add other-vendor.pub 2>&1; kf trust remove stranger)
grep -q 'history.jsonl: damaged' <<<"$out" && [ -f "$board/trusted-keys/stranger.pub" ] &&
    [ ! -e "$board/trusted-keys/other-vendor.pub" ] ||
    bad "a trust change with a damaged history: $out $(ls "$board/trusted-keys")"
cp "$work/history.good" "$board/history.jsonl"
# The board's records are never a backup's target.
for name in board-state.json security-floor history.jsonl; do
    out=$(kf update v3.bin --yes --backup "$board/$name" --replace)
    expect "--backup $name" 2 "a backup never replaces it" "$out" $?
done
# A store that is a file is refused by every command that reads it.
fresh
rm -r "$board/trusted-keys" && echo "not a folder" >"$board/trusted-keys"
for cmd in "check v3.bin" "trust add vendor.pub" "trust list"; do
    out=$(kf $cmd)
    expect "$cmd with a file for a store" 2 "not a folder of trusted keys" "$out" $?
done

# 5. A write cut short is completed by its rerun, and a new board forgets it.
if native_only "a kill at the state's last write (strace)" && command -v strace >/dev/null; then
    # Killed as it writes the state after the flash was saved (its 6th
    # rename: history and state as it begins, three board files, the state).
    cut_at_end() {
        ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 strace -f -qq -o /dev/null \
            -e trace=rename -e inject=rename:signal=SIGKILL:when=6 \
            "$kovaflash" --board "$board" "$@" >/dev/null 2>&1
    }
    fresh
    cut_at_end update v5.bin --yes
    flash_is v5.bin || bad "the cut update did not save the flash"
    out=$(kf info)
    grep -q "unfinished   : the last update of v5.bin" <<<"$out" || bad "info after a cut update: $out"
    out=$(kf update v5.bin --yes 2>&1)
    expect "the rerun of a cut update" 0 "its records are completed" "$out" $?
    [ "$(known floor)" = 5 ] || bad "the rerun did not raise the floor: $(known floor)"
    grep -q 'did not finish' <<<"$(kf info 2>&1)" && bad "the rerun left the update unfinished"
    cut_at_end restore --yes
    out=$(kf restore --yes 2>&1)
    expect "the rerun of a cut restore" 0 "its records are completed" "$out" $?
    flash_is installed.bin || bad "the cut restore's rerun"
    # Cut before the flash was saved: the rerun keeps the first backup,
    # which holds what is installed; unless that file changed, or the
    # flash did, and then it backs up the flash as it is.
    cut_before_save() {
        ASAN_OPTIONS=${ASAN_OPTIONS:+$ASAN_OPTIONS:}detect_leaks=0 strace -f -qq -o /dev/null \
            -e trace=rename -e inject=rename:signal=SIGKILL:when=5 \
            "$kovaflash" --board "$board" "$@" >/dev/null 2>&1
    }
    for how in "as it was|holds what is installed now" "first backup changed|is gone or changed" \
        "flash changed|way back      : "; do
        IFS='|' read -r name words <<<"$how"
        fresh
        cut_before_save update v5.bin --yes
        first=$(ls "$board"/backup-*.bin)
        case $name in
        "first backup changed") cp v1.bin "$first" ;;
        "flash changed") cp v1.bin "$board/flash.bin" ;;
        esac
        out=$(kf update v5.bin --yes 2>&1)
        status=$?
        expect "the rerun of an update cut before its save, $name" 0 "$words" "$out" $status
        taken=$(ls "$board"/backup-*.bin | wc -l)
        [ "$taken" = "$([ "$name" = "as it was" ] && echo 1 || echo 2)" ] || bad "$name: $taken backups: $out"
    done
    # board init --replace over a write left open: the new board has none,
    # and backs up what it holds.
    cut_at_end update v5.bin --yes
    kf board init --replace --image installed.bin --trust vendor.pub >/dev/null || bad "board init over a cut update"
    out=$(kf update v3.bin --yes 2>&1)
    status=$?
    grep -q 'did not finish' <<<"$out" && bad "a new board reports the old board's update: $out"
    grep -q 'taken before the interrupted' <<<"$out" && bad "a new board kept the old board's backup: $out"
    expect "the first update of a new board" 0 "backup        : $board/backup-" "$out" $status
fi

# 6. Paths no text can hold, and paths longer than a history line.
if native_only "a board folder whose name is not UTF-8"; then
    board=$work/$'b\xff\xfe'
    fresh
    kf update v3.bin --yes >/dev/null || bad "update in a folder whose name is not UTF-8"
    out=$(kf restore --yes)
    expect "restore in a folder whose name is not UTF-8" 0 "undoes that update" "$out" $?
    board=$work/board
fi
if native_only "paths of 3,900 characters"; then
    deep=$work
    while [ ${#deep} -lt 3800 ]; do deep=$deep/$(printf 'd%.0s' {1..200}); done
    mkdir -p "$deep" && cp v3.bin v3.bin.sig "$deep/"
    fresh
    out=$(kf update "$deep/v3.bin" --yes --backup "$deep/backup.bin")
    expect "an update with paths of ${#deep} characters" 0 "verified" "$out" $?
    for cmd in "history" "ec write 1 1"; do
        out=$(kf $cmd)
        expect "$cmd after records of long paths" 0 "" "$out" $?
    done
fi

# 7. An older kit's floor file, as a person may write it: either line end,
# the last one optional.
for text in 'kova-security-floor 1\r\nfloor 4\r\n' 'kova-security-floor 1\nfloor 4'; do
    fresh
    rm "$board/board-state.json" && printf "$text" >"$board/security-floor"
    out=$(kf check v3.bin)
    expect "a floor file \"$text\"" 3 "below the board's floor 4" "$out" $?
done

# 8. Who may change it: the records and keys are the caller's or root's,
# and no one else may write them.
if native_only "owners and modes"; then
    fresh
    for f in board-state.json history.jsonl trusted-keys trusted-keys/vendor.pub .; do
        chmod g+w "$board/$f"
        out=$(kf check v3.bin)
        expect "$f writable by its group" 2 "chmod go-w" "$out" $?
        chmod g-w "$board/$f"
    done
    if [ "$(id -u)" = 0 ]; then
        chown 65534 "$board/board-state.json"
        out=$(kf info)
        expect "a state owned by someone else" 2 "owned by uid 65534, neither you nor root" "$out" $?
        chown 0 "$board/board-state.json"
    fi
    # A store that is a link: nothing is written through it.
    mv "$board/trusted-keys" "$work/real-keys" && ln -s "$work/real-keys" "$board/trusted-keys"
    out=$(kf trust add stranger.pub)
    expect "trust add through a linked store" 2 "is a symbolic link" "$out" $?
    [ ! -e "$work/real-keys/stranger.pub" ] || bad "a key was written through the link"
    out=$(kf check v3.bin)
    expect "check with a linked store" 2 "is a symbolic link" "$out" $?
    kf board init --replace --image installed.bin --trust vendor.pub >/dev/null || bad "board init over a linked store"
    [ -d "$board/trusted-keys" ] && [ ! -L "$board/trusted-keys" ] && [ "$(ls "$work/real-keys")" = vendor.pub ] ||
        bad "board init wrote through a linked store: $(ls -l "$board" "$work/real-keys")"
fi
exit $fail
