#!/usr/bin/env bash
# Seed corpus of the image fuzzer, cut from images that kova-image makes:
# each seed is the 3-byte little-endian offset of the ROM header's flags
# byte (H - 4), then the image bytes from there through the module chain.
# Usage: make_seeds.sh KOVA_IMAGE OUTDIR
set -euo pipefail
tool=$1 out=$2
rm -rf "$out"
mkdir -p "$out"
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
PAYLOAD=4096

seed() {  # seed NAME HEADER_OFFSET make-options...
    local name=$1 h=$2
    shift 2
    "$tool" make "$work/$name.bin" --header-offset "$h" "$@" >/dev/null
    local at=$((h - 4))
    {
        printf "\\x$(printf %02x $((at & 0xFF)))\\x$(printf %02x $(((at >> 8) & 0xFF)))\\x$(printf %02x $(((at >> 16) & 0xFF)))"
        dd if="$work/$name.bin" iflag=skip_bytes,count_bytes skip="$at" count="$PAYLOAD" status=none
    } >"$out/$name"
}

seed link32 0x100040 --sizes 0x40,0x80,0x10,0x100
seed segmented 0x100040 --segmented --sizes 0x40,0x80,0x10,0x100
seed segmented-header-only 0x100040 --segmented --sizes 0x40,0x80,0x10 --header-only 1
seed low-half 0x100 --sizes 0x200,0x20
seed one-module 0x150000 --sizes 0x300
seed odd-sizes 0x100040 --sizes 5,7,1,0,3
seed segmented-high 0x1C0000 --segmented --sizes 0x100,0x100,0x100 --seed 7
seed many-modules 0x100040 --modules 40 --module-size 0x10 --header-only 39
echo "$(ls "$out" | wc -l) seeds in $out"
