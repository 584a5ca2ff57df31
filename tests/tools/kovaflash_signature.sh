#!/usr/bin/env bash
# Signed images, one table: each signature case with the exit code and the
# words update must give, and the board byte-identical after every refusal.
# Then the cases that pass: a good signature, --allow-unsigned, a board that
# trusts no key; and what check, verify and --json say. Keys and signatures
# are made here by the native kova-image, never kept.
# Usage: kovaflash_signature.sh KOVAFLASH RUNNER KOVA_IMAGE   (RUNNER: "" natively, wine64)
set -uo pipefail
kovaflash=$1 runner=$2 kova_image=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail=0
bad() { echo "FAIL: $*"; fail=1; }
[ -z "$runner" ] || $runner cmd /c exit </dev/null >/dev/null 2>&1
kf() { $runner "$kovaflash" --board "$work/board" "$@" 2>&1 | tr -d '\r'; return "${PIPESTATUS[0]}"; }
ki() { "$kova_image" "$@" >/dev/null || bad "kova-image $*"; }
state() { (cd "$work/board" && sha256sum flash.bin ec-ram.bin smbus-eeprom.bin); }
# Flips the lowest bit of the hex digit at column COL of line LINE.
flip_digit() {  # FILE LINE COL
    python3 - "$@" <<'EOF'
import sys
path, line, col = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
lines = open(path).read().split("\n")
d = int(lines[line - 1][col], 16) ^ 1
lines[line - 1] = lines[line - 1][:col] + "%x" % d + lines[line - 1][col + 1:]
open(path, "w").write("\n".join(lines))
EOF
}

cd "$work" || exit 1
ki keygen vendor
ki keygen other
[ "$(stat -c %a vendor.key)" = 600 ] || bad "vendor.key is mode $(stat -c %a vendor.key), not owner-only"
"$kova_image" keygen vendor >/dev/null 2>&1 && bad "keygen replaced an existing private key"
ki make installed.bin --seed 5 --revision 0
ki make new.bin --seed 5 --revision 1
ki make another.bin --seed 6 --revision 1
ki sign new.bin --key vendor.key
ki sign another.bin --key vendor.key
# kova-image says who signed: 0 a trusted key, 1 any other signature, 2 a bad file.
mkdir trusted && cp vendor.pub trusted/
for c in "new.bin|0|good, by trusted key vendor" "another.bin --signature new.bin.sig|1|for other bytes" \
    "new.bin --signature vendor.pub|2|not a signature file"; do
    IFS='|' read -r args code words <<<"$c"
    out=$("$kova_image" verify-signature $args --trust trusted 2>&1)
    [ $? = "$code" ] && grep -qF "$words" <<<"$out" || bad "kova-image verify-signature $args: $out"
done
kf board init --image installed.bin --trust vendor.pub >/dev/null || bad "board init --trust"
[ -f board/trusted-keys/vendor.pub ] || bad "board init did not keep the trusted key"

# case | how IMAGE.sig is made from a good one (SIG) | exit | words
cases=(
    "missing|rm SIG|3|has no signature"
    "truncated|head -c 200 new.bin.sig >SIG|2|truncated"
    "other key|ki sign IMAGE --key other.key|3|not among the 1 trusted keys"
    "other image|cp another.bin.sig SIG|3|is for other bytes"
    "bit in the signature|flip_digit SIG 5 20|3|does not verify with trusted key vendor"
    "bit in the hash|flip_digit SIG 4 20|3|is for other bytes"
    "bit in the image|python3 -c 'import sys; b=bytearray(open(sys.argv[1],\"rb\").read()); b[0x20000]^=1; open(sys.argv[1],\"wb\").write(b)' IMAGE|3|is for other bytes"
    "format version|sed -i 's/^kova-image-signature 1\$/kova-image-signature 2/' SIG|2|format version \"2\""
    "oversized|head -c 600 /dev/zero >>SIG|2|more than 512 bytes"
)
# Wine shows a Unix symbolic link to a Windows program as the file it names:
# kovaflash.exe's reparse-point check cannot be reached here.
link_to_real() { mv "$1" real.sig && ln -s real.sig "$1"; }
[ -n "$runner" ] || cases+=("a link|link_to_real SIG|2|symbolic link")
before=$(state)
for c in "${cases[@]}"; do
    IFS='|' read -r name make code words <<<"$c"
    rm -f case.bin case.bin.sig real.sig
    cp new.bin case.bin && cp new.bin.sig case.bin.sig
    cmd=${make//SIG/case.bin.sig}
    eval "${cmd//IMAGE/case.bin}"
    out=$(kf update case.bin --yes)
    got=$?
    [ $got = "$code" ] || bad "$name: exit $got, not $code: $out"
    grep -qF -- "$words" <<<"$out" || bad "$name: no \"$words\" in: $out"
    grep -q 'nothing written' <<<"$out" || [ "$code" = 2 ] || bad "$name: the refusal does not say nothing was written"
    [ "$(state)" = "$before" ] || bad "$name: the board changed"
done

# check refuses as update does; verify only says it.
out=$(kf check another.bin --signature new.bin.sig)
[ $? = 3 ] && grep -q 'is for other bytes' <<<"$out" || bad "check with another image's signature: $out"
out=$(kf verify installed.bin)
[ $? = 0 ] && grep -q '^signature     : ' <<<"$out" && grep -qx 'up to date' <<<"$out" ||
    bad "verify of the installed, unsigned image: $out"

# --allow-unsigned writes an unsigned image after a warning, and only that:
# it does not let a refused identity through.
cp new.bin unsigned.bin
out=$(kf update unsigned.bin --yes --allow-unsigned)
[ $? = 0 ] && grep -q 'accepted anyway (--allow-unsigned)' <<<"$out" && grep -q '^verified ' <<<"$out" ||
    bad "--allow-unsigned: $out"
ki make k7x.bin --model K7X
out=$(kf update k7x.bin --yes --allow-unsigned)
[ $? = 3 ] && grep -q 'board "K7X"' <<<"$out" || bad "--allow-unsigned let a refused identity through: $out"

# A good signature installs; --json carries the state.
kf board init --replace --image installed.bin --trust vendor.pub >/dev/null
out=$(kf update new.bin --yes)
[ $? = 0 ] && grep -q 'good, by trusted key vendor' <<<"$out" && grep -q '^verified ' <<<"$out" ||
    bad "a signed image: $out"
out=$(kf --json check new.bin)
python3 -c 'import json,sys; s=json.loads(sys.argv[1])["signature"]; sys.exit(not (s["state"]=="good" and s["signer"]=="vendor" and s["checked"]))' "$out" ||
    bad "--json signature fields: $out"

# A board that trusts no key takes any image and says so.
rm -rf board
kf board init --image installed.bin >/dev/null
out=$(kf update unsigned.bin --yes)
[ $? = 0 ] && grep -q "the image's origin was not checked" <<<"$out" || bad "no trusted key: $out"
# --trusted-keys names another folder: there the key is trusted.
mkdir keys && cp vendor.pub keys/
out=$(kf check another.bin --trusted-keys keys)
[ $? = 0 ] && grep -q 'good, by trusted key vendor' <<<"$out" || bad "--trusted-keys: $out"
echo "not a key" >keys/vendor-junk.pub
out=$(kf check another.bin --trusted-keys keys)
[ $? = 2 ] && grep -q 'vendor-junk.pub: not a P-256 public key' <<<"$out" || bad "a bad trusted key: $out"
exit $fail
