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

# Identity: 2-byte window offset, then bytes of a made image's top 64 KiB
# (boot-info blocks of other boards and revisions, and the platform tag).
ident=$(dirname "$out")/identity
rm -rf "$ident"
mkdir -p "$ident"
cut_top() {  # cut_top NAME WINDOW_OFFSET LENGTH make-options...
    local name=$1 off=$2 len=$3
    shift 3
    "$tool" make "$work/t-$name.bin" "$@" >/dev/null
    {
        printf "\\x$(printf %02x $((off & 0xFF)))\\x$(printf %02x $((off >> 8)))"
        dd if="$work/t-$name.bin" iflag=skip_bytes,count_bytes skip=$((0x1F0000 + off)) count="$len" status=none
    } >"$ident/$name"
}
cut_top good 0x100 32
cut_top revision2 0x100 32 --revision 2
cut_top other-model 0x100 32 --model K5S
cut_top second-string 0x100 32 --second X
cut_top other-vendor 0x100 32 --vendor ZALTX
cut_top tag 0xFFE0 31 --platform-tag R2319

# F-segment: 2-byte offset, then an interface block ("$QRF", record offset,
# seven bytes, notify port) in several shapes.
fseg=$(dirname "$out")/fseg
rm -rf "$fseg"
mkdir -p "$fseg"
printf '\x10\x4a$QRF\x20\0\0\0\0\0\0\0\xb2\0' >"$fseg/default"
printf '\x00\x01$QRF\x00\0\0\0\0\0\0\0\x80\0' >"$fseg/record-on-block"
printf '\xf0\xff$QRF\x08\0\0\0\0\0\0\0\xb2\0' >"$fseg/at-the-end"
printf '\x10\x4a$QRX' >"$fseg/no-block"
printf '\x00\x20$QRF\xff\0\0\0\0\0\0\0\x66\0' >"$fseg/far-record-ec-port"

# ACPI: 2-byte F-segment offset, F-segment payload length, the RSDP, then
# the RSDT written at 0x200000 (entries pointing at the board's tables).
acpi=$(dirname "$out")/acpi
rm -rf "$acpi"
mkdir -p "$acpi"
rsdt='RSDT\x2c\0\0\0\x01\0KOVASM\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\0\x10\x20\0\0\x20\x20\0'
printf "\\x00\\xe0\\x14RSD PTR \\0KOVASM\\0\\0\\0\\x20\\0$rsdt" >"$acpi/aligned"
printf "\\x03\\x12\\x14RSD PTR \\0KOVASM\\0\\0\\0\\x20\\0$rsdt" >"$acpi/unaligned"
printf '\xf0\xff\x10RSD PTR \0KOVASM\0' >"$acpi/too-close-to-the-end"
printf '\x00\xe0\x14RSD PTR \0KOVASM\0\0\0\0\xf0RSDT\x08' >"$acpi/rsdt-unbacked"
echo "seeds: $(ls "$ident" | wc -l) identity, $(ls "$fseg" | wc -l) fseg, $(ls "$acpi" | wc -l) acpi"
