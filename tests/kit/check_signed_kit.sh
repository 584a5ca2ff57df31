#!/usr/bin/env bash
# The release step with a throw-away certificate and release key: each
# signed binary verifies, one changed byte is refused, the signature comes
# off to the reproducible bytes; the kit's SHA256SUMS.sig is checked by
# kovaflash verify-kit, which refuses a changed, a missing and an extra file
# and a list that is not the one signed.
#   check_signed_kit.sh SOURCE_DIR CROSS_BUILD_DIR NATIVE_BIN_DIR
set -uo pipefail
src=$1 cross=$2 native=$3
work=$(mktemp -d /tmp/kova-signed.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail=0
bad() { echo "FAIL: $*"; fail=1; }
bash "$src/tests/kit/throwaway_signer.sh" "$work/keys" "$native/kova-image" || { echo "FAIL: no throw-away signer"; exit 1; }
keys=$work/keys
unsigned=$(bash "$src/tools/dist.sh" "$src" "$cross" "$work/dist" "$native" | head -1)
name=$(basename "$unsigned")
sign() {  # OUT [OPTIONS...]
    local out=$1
    shift
    bash "$src/tools/sign_kit.sh" "$src" "$cross" "$native" "$unsigned" "$out" --cert "$keys/vendor.p12" \
        --pass-file "$keys/pass.txt" --release-key "$keys/release.key" --publisher "KOVA Test Vendor" \
        --url https://kova.example/release --ca "$keys/vendor.pem" "$@"
}
log=$(sign "$work/signed" --time 1700000000 2>&1) || { echo "FAIL: sign_kit.sh: $log"; exit 1; }
echo "$log"
kit=$work/signed/$name
grep -q 'no timestamp server named' <<<"$log" || bad "signing without a timestamp server does not say so"

# Each binary: verified with its publisher, refused with one byte changed
# (in its code, its headers, its last byte before the signature), and the
# unsigned bytes back when the signature is removed.
for f in KOVA.dll kovaflash.exe diagnostics/ZUNDA.dll; do
    out=$(osslsigncode verify -CAfile "$keys/vendor.pem" -in "$kit/$f" 2>&1)
    [ $? = 0 ] && grep -q 'Signature verification: ok' <<<"$out" || bad "$f: osslsigncode verify refuses it: $out"
    grep -q 'Text description: KOVA Test Vendor' <<<"$out" && grep -q 'URL description: https://kova.example/release' <<<"$out" ||
        bad "$f: the signature does not name the publisher and its URL"
    size=$(stat -c %s "$unsigned/$f")
    for at in 64 $((size / 2)) $((size - 1)); do
        cp "$kit/$f" "$work/changed"
        byte=$(od -An -tu1 -j "$at" -N1 "$work/changed" | tr -d ' ')
        printf "$(printf '\\%03o' $(((byte + 1) % 256)))" | dd of="$work/changed" bs=1 seek="$at" conv=notrunc 2>/dev/null
        out=$(osslsigncode verify -CAfile "$keys/vendor.pem" -in "$work/changed" 2>&1) &&
            ! grep -q 'Failed' <<<"$out" && bad "$f with byte $at changed verifies"
    done
    osslsigncode remove-signature -in "$kit/$f" -out "$work/stripped" >/dev/null 2>&1
    cmp -s "$work/stripped" "$unsigned/$f" || bad "$f: removing the signature does not give the unsigned build's bytes"
    rm -f "$work/stripped"
done
dll=$(stat -c %s "$unsigned/KOVA.dll") signed_dll=$(stat -c %s "$kit/KOVA.dll")
[ "$dll" -le 10240 ] || bad "KOVA.dll is $dll bytes before signing (at most 10,240)"
echo "KOVA.dll: $dll bytes unsigned, $signed_dll signed: the signature adds $((signed_dll - dll)) bytes"

# The step refuses to write over a signed kit unless asked, and signing
# again at the same time gives the same files, but for SHA256SUMS.sig (an
# ECDSA signature takes a fresh random number each time).
out=$(sign "$work/signed" --time 1700000000 2>&1) && bad "sign_kit.sh wrote over an existing signed kit"
grep -q 'exists (--replace replaces it)' <<<"$out" || bad "sign_kit.sh's refusal: $out"
# The step's own refusals, each with nothing written: an output that is the
# unsigned kit's folder, a certificate through a link, a signature that its
# CA does not take, and an osslsigncode whose removal does not give the
# unsigned bytes back (a wrapper that adds a byte to what it strips).
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/stranger-key.pem" -out "$work/stranger.pem" -days 2 \
    -subj "/CN=Stranger" 2>/dev/null
ln -s "$keys/vendor.p12" "$work/linked.p12"
mkdir "$work/shim"
printf '#!/bin/sh\n/usr/bin/osslsigncode "$@" || exit\n[ "$1" != remove-signature ] || printf x >>"$5"\n' \
    >"$work/shim/osslsigncode"
chmod +x "$work/shim/osslsigncode"
refusal() {  # CASE -> the step's output
    case $1 in
    over-unsigned) sign "$(dirname "$unsigned")" --replace ;;
    linked-cert) sign "$work/refused" --cert "$work/linked.p12" ;;
    other-ca) sign "$work/refused" --ca "$work/stranger.pem" ;;
    strip-differs) PATH=$work/shim:$PATH sign "$work/refused" ;;
    esac
}
for row in "over-unsigned|would replace the unsigned one" "linked-cert|linked.p12: not a regular file" \
    "other-ca|osslsigncode verify refuses the signed KOVA.dll" \
    "strip-differs|KOVA.dll: removing the signature does not give back the unsigned bytes"; do
    IFS='|' read -r case text <<<"$row"
    out=$(refusal "$case" 2>&1) && bad "sign_kit.sh, $case: not refused"
    grep -qF -- "$text" <<<"$out" || bad "sign_kit.sh, $case: $out"
    if [ -d "$work/refused" ] && [ -n "$(ls -A "$work/refused")" ]; then
        bad "sign_kit.sh, $case: wrote $(ls -A "$work/refused")"
    fi
done
[ -f "$unsigned/KOVA.dll" ] || bad "the unsigned kit is gone"

# A timestamp server that is named must answer: none here does.
out=$(sign "$work/stamped" --timestamp http://127.0.0.1:1/ 2>&1) && bad "signing with a dead timestamp server succeeded"
grep -q 'gave no timestamp' <<<"$out" && [ ! -e "$work/stamped/$name" ] || bad "a dead timestamp server: $out"
sign "$work/again" --time 1700000000 >/dev/null 2>&1 || bad "sign_kit.sh into a second folder"
diff -r -x SHA256SUMS.sig "$kit" "$work/again/$name" >/dev/null || bad "signing twice at one time gives other files"
python3 "$src/tests/kit/check_sbom.py" "$kit" >"$work/sbom.out" 2>&1 || bad "the signed kit's SBOM: $(cat "$work/sbom.out")"

# verify-kit: the signed list, then each file. Each case changes a fresh
# copy of the signed kit one way.
damage() {  # CASE DIR
    local d=$2
    case $1 in
    good) ;;
    changed) printf 'x' >>"$d/README.txt" ;;
    missing) rm "$d/kova.h" ;;
    extra) printf 'int x;\n' >"$d/examples/extra.c" ;;
    # A file changed and its line changed with it: the list is no longer the one signed.
    list-edited)
        printf 'x' >>"$d/README.txt"
        sed -i "s/^[0-9a-f]*  README.txt/$(sha256sum "$d/README.txt" | cut -c1-64)  README.txt/" "$d/SHA256SUMS" ;;
    other-key) "$native/kova-image" sign-kit "$d/SHA256SUMS" --key "$keys/other.key" --kit "$name" --replace >/dev/null ;;
    signature-changed) sed -i -E '/^signature /{s/0$/1/;t;s/[0-9a-f]$/0/}' "$d/SHA256SUMS.sig" ;;
    unsigned) rm "$d/SHA256SUMS.sig" ;;
    # A file through a link, with the same bytes: not the file signed.
    linked) mv "$d/README.txt" "$work/readme" && ln -s "$work/readme" "$d/README.txt" ;;
    # Folders nested past the walk's depth: named, not entered.
    too-deep) mkdir -p "$d/examples/a/b/c/d/e/f/g" && printf 'x\n' >"$d/examples/a/b/c/d/e/f/g/x.c" ;;
    # A list past its bound is not read (it was not signed either).
    list-too-long) head -c 70000 /dev/zero | tr '\0' ' ' >>"$d/SHA256SUMS" ;;
    # Signed by the release key, yet not a list a kit may have: a name
    # outside the folder (in POSIX's or in Windows' spelling), a name twice,
    # a line that is no checksum.
    list-escapes | list-escapes-windows | list-twice | list-not-a-sum)
        local line
        line="$(sha256sum "$d/README.txt" | cut -c1-64)  "
        case $1 in
        list-escapes) line+=../outside ;;
        list-escapes-windows) line+='..\outside' ;;
        list-twice) line+=README.txt ;;
        list-not-a-sum) line="README.txt  ${line%  }" ;;
        esac
        printf '%s\r\n' "$line" >>"$d/SHA256SUMS"
        "$native/kova-image" sign-kit "$d/SHA256SUMS" --key "$keys/release.key" --kit "$name" --replace >/dev/null ;;
    esac
}
files=$(($(find "$kit" -type f | wc -l) - 2))  # all but SHA256SUMS and its signature
for row in "good|0|all $files files as signed" "changed|3|differs       : README.txt" "missing|3|missing       : kova.h" \
    "extra|3|extra         : examples/extra.c" "list-edited|3|not the list that was signed" \
    "other-key|3|not by the release key" "signature-changed|3|the signature does not verify" \
    "unsigned|3|SHA256SUMS.sig" "list-escapes|3|names a file outside the kit" \
    "list-escapes-windows|3|names a file outside the kit" "list-twice|3|lists README.txt a second time" \
    "list-not-a-sum|3|is not \"<64 hex digits>  NAME\"" "list-too-long|3|more than 65536 bytes" \
    "linked|3|extra         : README.txt (not a regular file)" \
    "too-deep|3|extra         : examples/a/b/c/d/e/f/g (not a regular file)"; do
    IFS='|' read -r case want text <<<"$row"
    rm -rf "$work/case" && cp -a "$kit" "$work/case"
    damage "$case" "$work/case"
    out=$("$native/kovaflash" verify-kit "$work/case" --release-key "$keys/release.pub" 2>&1)
    status=$?
    [ $status = "$want" ] && grep -qF -- "$text" <<<"$out" || bad "verify-kit, $case: exit $status (want $want): $out"
done
out=$("$native/kovaflash" verify-kit "$unsigned" --release-key "$keys/release.pub" 2>&1) &&
    bad "verify-kit takes the unsigned kit (no SHA256SUMS.sig): $out"
# Every problem at once, each in its list, with --json.
rm -rf "$work/case" && cp -a "$kit" "$work/case"
damage changed "$work/case" && damage missing "$work/case" && damage extra "$work/case"
"$native/kovaflash" verify-kit "$work/case" --release-key "$keys/release.pub" --json >"$work/report.json" 2>/dev/null
python3 -c '
import json, sys
r = json.load(open(sys.argv[1]))
want = {"exit_code": 3, "verified": False, "differs": ["README.txt"], "missing": ["kova.h"], "extra": ["examples/extra.c"]}
sys.exit(0 if all(r.get(k) == v for k, v in want.items()) else 1)' "$work/report.json" ||
    bad "verify-kit --json with three problems: $(cat "$work/report.json")"

# What the command is given must be what it claims: exit 2.
out=$("$native/kovaflash" verify-kit "$work/nowhere" --release-key "$keys/release.pub" 2>&1)
[ $? = 2 ] && grep -q 'not a folder' <<<"$out" || bad "verify-kit of no folder: $out"
out=$("$native/kovaflash" verify-kit "$kit" --release-key "$keys/release.key" 2>&1)
[ $? = 2 ] || bad "verify-kit with a private key file as the release key: $out"
# sign-kit writes over neither an existing signature nor its own input.
out=$("$native/kova-image" sign-kit "$kit/SHA256SUMS" --key "$keys/release.key" --kit "$name" 2>&1)
[ $? = 2 ] && grep -q -- '--replace replaces it' <<<"$out" || bad "sign-kit over an existing SHA256SUMS.sig: $out"
out=$("$native/kova-image" sign-kit "$kit/SHA256SUMS" --key "$keys/release.key" --kit "$name" --out "$kit/SHA256SUMS" \
    --replace 2>&1)
[ $? = 2 ] && "$native/kovaflash" verify-kit "$kit" --release-key "$keys/release.pub" >/dev/null ||
    bad "sign-kit --out its own input: $out"
[ $fail = 0 ] && echo "signed kit $name: three binaries signed, verified, refused with a byte changed, stripped to the" \
    "reproducible bytes; SHA256SUMS.sig checked by verify-kit, 15 damaged kits refused"
exit $fail
