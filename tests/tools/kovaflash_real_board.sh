#!/usr/bin/env bash
# kovaflash.exe beside a ZUNDA.dll that has no simulator control exports,
# as it runs beside the maker's library on the board: it takes its
# real-board path. That ZUNDA.dll drives the board ZUNDA_SIM_BOARD names
# and keeps what was written, as a board does; kovaflash's own folder
# (--board) holds only its lock and backups. Then the kit's C host, linked
# against the import library, against the same board.
# Usage: kovaflash_real_board.sh BIN_DIR RUNNER NATIVE_BIN_DIR
#   BIN_DIR: kovaflash.exe, KOVA.dll, that ZUNDA.dll and host.exe
set -uo pipefail
bin=$1 runner=$2 native=$3
work=$(mktemp -d)
trap 'rm -rf "$work" "$bin/trusted-keys" "$bin/board-records"' EXIT
rm -rf "$bin/trusted-keys" "$bin/board-records"
fail=0
# Wine starts its services with the first program it runs, and they keep
# that program's output open: start them here, attached to nothing, so no
# case's pipe waits on them.
[ -z "$runner" ] || $runner cmd /c exit </dev/null >/dev/null 2>&1
bad() { echo "FAIL: $*"; fail=1; }
board=$work/board host=$work/host
export ZUNDA_SIM_BOARD=$board
. "$(dirname "$0")/launch.sh"
kf() { launch "$runner" "$bin/kovaflash.exe" --board "$host" "$@"; }
state() { (cd "$board" && sha256sum flash.bin ec-ram.bin smbus-eeprom.bin && ls -A); }

"$native/kova-image" make "$work/installed.bin" --seed 4 --revision 0 >/dev/null
"$native/kova-image" make "$work/new.bin" --seed 4 --revision 1 >/dev/null
# On a board the trusted keys lie beside the program.
mkdir -p "$bin/trusted-keys"
"$native/kova-image" keygen "$work/vendor" >/dev/null && cp "$work/vendor.pub" "$bin/trusted-keys/"
"$native/kova-image" sign "$work/new.bin" --key "$work/vendor.key" --release 05.02 --security-version 2 >/dev/null
"$native/kovaflash" --board "$board" board init --image "$work/installed.bin" >/dev/null || bad "native board init"
rm -f "$board/kovaflash.lock"

# Nothing to load or save of its own, and no simulated board to make.
before=$(state)
out=$(kf info)
[ $? = 0 ] && grep -q 'revision     : 0' <<<"$out" || bad "info on the real-board path: $out"
for cmd in "check $work/new.bin" "verify $work/installed.bin" "flash read 0x1FFFE0" "ec read 0x40" \
    "backup $work/saved.bin"; do
    out=$(kf $cmd) || bad "$cmd: $out"
done
cmp -s "$work/saved.bin" "$work/installed.bin" || bad "backup is not the installed firmware"
out=$(kf board init --replace)
[ $? = 2 ] && grep -q "this ZUNDA.dll drives a real one" <<<"$out" || bad "board init on a real board: $out"
[ "$(state)" = "$before" ] || bad "a read-only command or a refused init changed the board"

# Without its driver (here: without a board) ZUNDA.dll maps nothing: the
# tool says what to do, exit 6, and writes nothing.
for cmd in info "update $work/new.bin --yes"; do
    out=$(ZUNDA_SIM_BOARD= kf $cmd)
    [ $? = 6 ] && grep -q "driver is not loaded.*Run as administrator" <<<"$out" || bad "$cmd without a driver: $out"
done
[ "$(state)" = "$before" ] || bad "a tool without a driver changed the board"

# Its help is the native tool's, which the kit's README.txt holds.
usage=$(dirname "$0")/../../tools/kit/usage.sh
exe_help=$(bash "$usage" "$bin/kovaflash.exe" "$runner")
[ "$exe_help" = "$(bash "$usage" "$native/kovaflash")" ] || bad "kovaflash.exe's help differs from the native tool's"
# Both could be empty, or both short of a command: count them against a list kept here.
[ "$(grep -c '^Usage: kovaflash ' <<<"$exe_help")" = 20 ] && grep -q '^Usage: kovaflash verify-kit ' <<<"$exe_help" ||
    bad "kovaflash.exe's help does not show its 19 commands and the main usage: $exe_help"

# With the key beside the program, an unsigned image is refused before
# anything is written; a trusted-keys folder named that is not there, too.
out=$(kf check "$work/installed.bin")
[ $? = 3 ] && grep -q 'has no signature' <<<"$out" && grep -q 'trusted-keys' <<<"$out" ||
    bad "the trusted keys beside kovaflash.exe: $out"
out=$(kf check "$work/new.bin" --trusted-keys 'C:\nowhere')
[ $? = 2 ] && grep -q 'no such folder of trusted keys' <<<"$out" || bad "--trusted-keys C:\\nowhere: $out"

# Writes reach the board and stay there, as on the hardware. (The update
# names the folder from the work folder; the restore below, from another.)
out=$(cd "$work" && launch "$runner" "$bin/kovaflash.exe" --board host update new.bin --yes)
[ $? = 0 ] && grep -q '^verified ' <<<"$out" || bad "update on the real-board path: $out"
ls "$host"/backup-*-rev0.bin >/dev/null 2>&1 || bad "update left no backup in $host"
[ -e "$host/kovaflash.lock" ] || bad "the writer took no lock in $host"
[ -e "$board/kovaflash.lock" ] && bad "the writer touched the board's own folder"
out=$(kf verify "$work/new.bin") && grep -qx 'up to date' <<<"$out" || bad "a new process does not see the update: $out"
"$native/kovaflash" --board "$board" verify "$work/new.bin" >/dev/null || bad "the board's flash.bin does not hold the update"
# Each process lets the board go only after ZUNDA.dll has kept what it wrote.
for value in 0xA7 0x3C 0xA7 0x5E; do
    kf ec write 0x41 $value >/dev/null
    got=$(kf ec read 0x41)
    [ "$got" = "EC[0x41] = $value" ] || bad "EC write lost between processes: wrote $value, read: $got"
done
# The floor lies beside the program: an older release is refused; the
# backup the update took comes back with no safety switched off.
"$native/kova-image" make "$work/old.bin" --seed 9 --revision 1 >/dev/null
"$native/kova-image" sign "$work/old.bin" --key "$work/vendor.key" --release 05.01 --security-version 1 >/dev/null
out=$(kf update "$work/old.bin" --yes)
[ $? = 3 ] && grep -q 'below the board.s floor 2' <<<"$out" && [ -f "$bin/board-records/board-state.json" ] ||
    bad "an older release on the real-board path: $out"
mkdir -p "$work/elsewhere"
out=$(cd "$work/elsewhere" && launch "$runner" "$bin/kovaflash.exe" --board ../host restore --yes)
[ $? = 0 ] && grep -q 'not needed: a backup this tool took' <<<"$out" || bad "restore on the real-board path: $out"
"$native/kovaflash" --board "$board" verify "$work/installed.bin" >/dev/null || bad "restore did not bring back the board's firmware"
kf update "$work/new.bin" --yes >/dev/null || bad "the update again after the restore"
# After an update that took no backup, restore has none to take (and does
# not reach for an older one); the board's state says so on the board too.
kf update "$work/old.bin" --yes --allow-older --no-backup >/dev/null 2>&1 || bad "an older release with --allow-older"
out=$(kf restore --yes)
[ $? = 2 ] && grep -q 'took no backup (--no-backup)' <<<"$out" || bad "restore after --no-backup on the real-board path: $out"
"$native/kovaflash" --board "$board" verify "$work/old.bin" >/dev/null || bad "a refused restore changed the board"
kf update "$work/new.bin" --yes >/dev/null || bad "the update back to new.bin"
# What the board trusts may be written by Administrators, SYSTEM and
# TrustedInstaller only: a folder or file others may write is refused, with
# the icacls lines that mend it. (Wine shows a Unix file's owner and mode as
# its owner and access list: "others may write" as Everyone's write access,
# another owner than the caller as Anonymous; it keeps no list set on a
# file, so icacls cannot be run here.)
for f in board-records board-records/board-state.json board-records/history.jsonl trusted-keys trusted-keys/vendor.pub; do
    chmod o+w "$bin/$f"
    out=$(kf check "$work/new.bin")
    [ $? = 2 ] && grep -q 'writable by S-1-1-0, not only by Administrators' <<<"$out" && grep -q 'icacls ' <<<"$out" ||
        bad "$f writable by everyone: $out"
    chmod o-w "$bin/$f"
done
if [ "$(id -u)" = 0 ]; then
    chown 65534 "$bin/board-records/board-state.json"
    out=$(kf info)
    [ $? = 2 ] && grep -q 'owned by S-1-5-7, not by Administrators' <<<"$out" || bad "a state another account owns: $out"
    chown 0 "$bin/board-records/board-state.json"
fi
# The board's records lie beside the program too: the update is in the history.
out=$(kf history)
grep -q ' update  image=.*new.bin.*exit_code=0' <<<"$out" && [ -f "$bin/board-records/history.jsonl" ] ||
    bad "history on the real-board path: $out"

# The kit's host, which knows nothing of the simulator.
ec_before=$(kf ec read 0x40 | sed 's/.* = //')
out=$(cd "$bin" && $runner host.exe "$work/new.bin" 2>&1 | tr -d '\r')
grep -qx 'board K5R vendor ZALT version 05.01 date 03/24/2009 flash 0x200000' <<<"$out" || bad "host.exe identity: $out"
grep -q '^check 0x00000000 blocks 32 "Image validation sucessfully completed. "$' <<<"$out" || bad "host.exe check: $out"
grep -qx "ec 0x40 = 0x5A, put back $ec_before" <<<"$out" || bad "host.exe EC (it found $ec_before): $out"
grep -qx 'flash 0x1FFFE0 "R2318"' <<<"$out" || bad "host.exe flash read: $out"
[ "$(kf ec read 0x40)" = "EC[0x40] = $ec_before" ] || bad "host.exe did not leave EC RAM as it found it ($ec_before)"
# Its update, only with a signature that checks out (CNG, as README.txt
# shows), under the mutex, with the counter read from a second thread.
"$native/kova-image" make "$work/host-new.bin" --seed 12 --revision 1 >/dev/null
"$native/kova-image" make "$work/host-other.bin" --seed 13 --revision 1 >/dev/null
"$native/kova-image" sign "$work/host-new.bin" --key "$work/vendor.key" --release 05.03 --security-version 3 >/dev/null
"$native/kova-image" sign "$work/host-other.bin" --key "$work/vendor.key" --release 05.03 --security-version 3 \
    --out "$work/host-other.sig" >/dev/null
cp "$work/host-new.bin.sig" "$work/host-other.bin.sig"  # another image's signature
before_host=$(state)
out=$(cd "$bin" && $runner host.exe "$work/host-other.bin" update "$work/vendor.pub" 2>&1 | tr -d '\r')
grep -q 'is for other bytes' <<<"$out" && grep -q '^update refused' <<<"$out" && [ "$(state)" = "$before_host" ] ||
    bad "host.exe took an image with another image's signature: $out"
# ... nor a signature with one bit of s flipped.
cp "$work/host-new.bin" "$work/host-flipped.bin"
python3 - "$work/host-new.bin.sig" "$work/host-flipped.bin.sig" <<'PYEOF'
import sys
lines = open(sys.argv[1]).read().split("\n")
last = lines[7]
lines[7] = last[:-1] + "%x" % (int(last[-1], 16) ^ 1)
open(sys.argv[2], "w").write("\n".join(lines))
PYEOF
out=$(cd "$bin" && $runner host.exe "$work/host-flipped.bin" update "$work/vendor.pub" 2>&1 | tr -d '\r')
grep -q 'does not verify with' <<<"$out" && grep -q '^update refused' <<<"$out" && [ "$(state)" = "$before_host" ] ||
    bad "host.exe took a signature with a bit flipped: $out"
out=$(cd "$bin" && $runner host.exe "$work/host-new.bin" update "$work/vendor.pub" 2>&1 | tr -d '\r')
grep -qx 'update 0x00000000 "BIOS update successfully completed. "' <<<"$out" && grep -q '^counter -\?[0-9]' <<<"$out" ||
    bad "host.exe update: $out"
"$native/kovaflash" --board "$board" verify "$work/host-new.bin" >/dev/null || bad "host.exe's update is not on the board"
exit $fail
