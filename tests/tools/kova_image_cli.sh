#!/usr/bin/env bash
# kova-image from the command line: made images pass inspect with the
# library's verdict, broken ones fail it, bad input gets exit status 2, and
# diff maps the blocks that differ.
# Usage: kova_image_cli.sh KOVA_IMAGE
set -uo pipefail
tool=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail=0

expect() {  # expect STATUS PATTERN ARGS...
    local want=$1 pattern=$2 out status
    shift 2
    out=$("$tool" "$@" 2>&1)
    status=$?
    if [ "$status" != "$want" ] || ! grep -qE -- "$pattern" <<<"$out"; then
        echo "FAIL: kova-image $*: status $status (want $want), output:"
        echo "$out" | head -40
        echo "  expected to match: $pattern"
        fail=1
    fi
}

# Every combination of link form, module layout and header-only module.
n=0
for form in "" --segmented; do
    for layout in "" "--modules 1 --module-size 0x100" "--sizes 5,0,7,0x1001" "--modules 200 --module-size 0x40"; do
        for flag in "" "--header-only 0"; do
            n=$((n + 1))
            # shellcheck disable=SC2086
            expect 0 "" make "$work/m$n.bin" $form $layout $flag --seed $n
            expect 0 "verdict +: valid image" inspect "$work/m$n.bin"
        done
    done
done
expect 0 "link form +: segment:offset" inspect "$work/m9.bin"
expect 0 'boot-info +: "\$BOOTSI\$" at 0x1F0100, revision 1, strings "K5R", "", "ZALT"' inspect "$work/m1.bin"
expect 0 'platform tag +: "R2318" at 0x1FFFE0' inspect "$work/m1.bin"
expect 0 'revision 0,' make "$work/r0.bin" --revision 0
expect 0 'boot-info .* revision 0,' inspect "$work/r0.bin"

# Same options, same bytes; another seed, another image.
expect 0 "" make "$work/a.bin" --seed 5
expect 0 "" make "$work/b.bin" --seed 5
expect 0 "0 of 512 blocks differ" diff "$work/a.bin" "$work/b.bin"
expect 0 "" make "$work/c.bin" --seed 6
expect 1 "[0-9]+ of 512 blocks differ" diff "$work/a.bin" "$work/c.bin"

# One byte changed in the first module: its sum breaks, diff shows block 0x100.
cp "$work/a.bin" "$work/bad.bin"
printf '\x5a' | dd of="$work/bad.bin" bs=1 seek=$((0x100080)) conv=notrunc status=none
expect 1 "0  +0x100068 .* BAD: sum not zero" inspect "$work/bad.bin"
expect 1 "verdict +: INVALID image" inspect "$work/bad.bin"
expect 1 "^0x100000  X\.{63}$" diff "$work/a.bin" "$work/bad.bin"
expect 1 "1 of 512 blocks differ" diff "$work/a.bin" "$work/bad.bin"

# A boot block that does not sum to zero.
cp "$work/a.bin" "$work/boot.bin"
printf '\x01' | dd of="$work/boot.bin" bs=1 seek=$((0x1F8000)) conv=notrunc status=none
expect 1 "boot block +: sum 0x[0-9A-F]{8} \(NOT zero\)" inspect "$work/boot.bin"

# Bad input: exit status 2 and a clear reason.
head -c 1000 "$work/a.bin" >"$work/short.bin"
expect 2 "short.bin: 1000 bytes, an image is exactly 2097152" inspect "$work/short.bin"
expect 2 "missing.bin: no such file" inspect "$work/missing.bin"
expect 2 "short.bin: 1000 bytes" diff "$work/a.bin" "$work/short.bin"
expect 2 "--revision '256' is not a number" make "$work/x.bin" --revision 256
expect 2 "do not fit below the boot block" make "$work/x.bin" --sizes 0x100000
expect 2 "header-only module 6 does not exist" make "$work/x.bin" --header-only 6
expect 2 "cannot create a file there" make "$work/no/such/dir/x.bin"
expect 2 "" bogus
# No output writes over an existing file unless asked.
"$tool" make "$work/kept.bin" --seed 1 >/dev/null
before=$(sha256sum <"$work/kept.bin")
expect 2 'kept.bin: exists \(--replace replaces it\)' make "$work/kept.bin" --seed 2
[ "$(sha256sum <"$work/kept.bin")" = "$before" ] || { echo "FAIL: make wrote over an existing file"; fail=1; }
expect 0 'seed 2' make "$work/kept.bin" --seed 2 --replace
[ "$(sha256sum <"$work/kept.bin")" != "$before" ] || { echo "FAIL: make --replace did not replace"; fail=1; }
exit $fail
