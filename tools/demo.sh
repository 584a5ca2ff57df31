#!/usr/bin/env bash
# The demo: the host tool drives the library against a simulated K5R board
# kept in a board directory, as a flashing utility would on the real board:
# the board runs one firmware image, which is backed up; the vendor's key
# (made here, kept in the work folder) signs a later revision, which the
# board trusts: it is checked, written with a progress bar (after a backup
# of its own) and verified, and checked again; a copy signed by nobody the
# board trusts is refused, and so is an older release once a newer one is
# in; the backup the update took brings the old firmware back, and the
# history shows every write.
# Usage: demo.sh BIN_DIR WORK_DIR
set -euo pipefail
bin=$1 work=$2
board=$work/board
rm -rf "$work"
mkdir -p "$work"
say() { printf '\n\033[1m$ %s\033[0m\n' "$*"; }
run() { say "$*"; "$@"; }
flash() { say "kovaflash $*"; "$bin/kovaflash" --board "$board" "$@"; }

run "$bin/kova-image" make "$work/installed.bin" --seed 5 --revision 0
run "$bin/kova-image" make "$work/new.bin" --seed 5 --revision 1 --sizes 0x6000,0x1800,0x14000,0x3000,0x800,0x9000
run "$bin/kova-image" keygen "$work/vendor"
run "$bin/kova-image" sign "$work/new.bin" --key "$work/vendor.key" --release 05.02 --security-version 2
run "$bin/kova-image" make "$work/old.bin" --seed 6 --revision 1
run "$bin/kova-image" sign "$work/old.bin" --key "$work/vendor.key" --release 05.01 --security-version 1
flash board init --image "$work/installed.bin" --trust "$work/vendor.pub"
flash info
flash backup "$work/before.bin"
flash check "$work/new.bin" --map
run "$bin/kova-image" keygen "$work/stranger"
cp "$work/new.bin" "$work/unknown.bin"
run "$bin/kova-image" sign "$work/unknown.bin" --key "$work/stranger.key" --release 05.02 --security-version 2
say "kovaflash update $work/unknown.bin --yes   # signed by a key the board does not trust: refused, exit 3"
"$bin/kovaflash" --board "$board" update "$work/unknown.bin" --yes || echo "(exit $?)"
flash update "$work/new.bin" --yes --map
flash verify "$work/new.bin"
flash info   # the board's state: release 05.02, security version 2, signed by vendor, floor 2
flash check "$work/new.bin"
say "kovaflash update $work/old.bin --yes   # an older release (security version 1 < 2): refused, exit 3"
"$bin/kovaflash" --board "$board" update "$work/old.bin" --yes || echo "(exit $?)"
flash restore --yes
flash verify "$work/installed.bin"
flash info   # the firmware as found before the update, back; the floor stays 2
flash trust list
flash history
flash flash read 0x1FFFE0 --count 32
flash ec write 0x40 0xA5
flash ec read 0x40
flash smbus write-byte 0xA0 0x10 0x5A
flash acpi lock
echo
echo "The board keeps its flash, EC RAM and SMBus EEPROM in $board between runs."
