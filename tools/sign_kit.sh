#!/usr/bin/env bash
# The release step: a signed copy of the kit ./run dist wrote. KOVA.dll,
# kovaflash.exe and diagnostics/ZUNDA.dll get the vendor's Authenticode
# signature (SHA-256); the SBOM and SHA256SUMS are made again over the
# signed files, and SHA256SUMS is signed with the release key
# (SHA256SUMS.sig). The unsigned kit is left as it is; removing each
# signature gives back its bytes exactly, which this step proves before it
# writes anything else.
# Usage: sign_kit.sh SOURCE_DIR CROSS_BUILD_DIR NATIVE_BIN_DIR KIT_DIR OUT_DIR
#          --cert VENDOR.p12 [--pass-file FILE] --release-key RELEASE.key
#          --publisher NAME --url URL [--timestamp URL] [--ca FILE] [--time UNIX] [--replace]
set -euo pipefail
src=$1 cross=$2 native=$3 kit=$4 out=$5
shift 5
usage() { sed -n '9,11p' "$0" | sed 's/^# \{0,1\}//' >&2; exit 2; }
die() { echo "sign-kit: $*" >&2; exit "${2:-1}"; }
cert="" pass_file="" release_key="" publisher="" url="" timestamp="" ca="" sign_time="" replace=0
while [ $# -gt 0 ]; do
    case $1 in
    --cert) cert=${2:-} ;;
    --pass-file) pass_file=${2:-} ;;
    --release-key) release_key=${2:-} ;;
    --publisher) publisher=${2:-} ;;
    --url) url=${2:-} ;;
    --timestamp) timestamp=${2:-} ;;
    --ca) ca=${2:-} ;;
    --time) sign_time=${2:-} ;;
    --replace) replace=1; shift; continue ;;
    *) echo "sign-kit: unknown option $1" >&2; usage ;;
    esac
    [ $# -ge 2 ] || { echo "sign-kit: $1 needs a value" >&2; usage; }
    shift 2
done
[ -n "$cert" ] && [ -n "$release_key" ] && [ -n "$publisher" ] && [ -n "$url" ] || usage
for f in "$cert" "$release_key" ${pass_file:+"$pass_file"} ${ca:+"$ca"}; do
    [ -f "$f" ] && [ ! -L "$f" ] || die "$f: not a regular file" 2
done
[ -z "$sign_time" ] || [[ $sign_time =~ ^[0-9]+$ ]] || die "--time: seconds since 1970, UTC" 2
command -v osslsigncode >/dev/null || die "osslsigncode is not installed (Debian package osslsigncode)"
[ -f "$kit/KOVA.dll" ] || die "$kit: not a kit folder (./run dist writes one)" 2
name=$(basename "$kit")
signed=$out/$name
[ "$(realpath -m "$signed")" != "$(realpath -m "$kit")" ] || die "the signed kit would replace the unsigned one" 2
if [ -e "$signed" ] || [ -e "$signed.zip" ]; then
    [ $replace = 1 ] || die "$signed exists (--replace replaces it)" 2
    rm -rf "$signed" "$signed.zip"
fi
cxx=$(cat "$cross/kit/cross-compiler.txt")

mkdir -p "$out"
work=$(mktemp -d "$out/.signing.XXXXXX")
trap 'rm -rf "$work"' EXIT
cp -a "$kit" "$work/$name"
rm -f "$work/$name/SBOM.cdx.json" "$work/$name/SHA256SUMS" "$work/$name/SHA256SUMS.sig"
options=(-pkcs12 "$cert" -h sha256 -n "$publisher" -i "$url")
[ -z "$pass_file" ] || options+=(-readpass "$pass_file")
[ -z "$sign_time" ] || options+=(-time "$sign_time")
if [ -n "$timestamp" ]; then
    options+=(-ts "$timestamp")
else
    echo "sign-kit: no timestamp server named (--timestamp URL): the signatures carry no timestamp, so Windows"
    echo "  takes them only while the certificate is valid"
fi
verify=(osslsigncode verify)
[ -z "$ca" ] || verify+=(-CAfile "$ca")
for f in KOVA.dll kovaflash.exe diagnostics/ZUNDA.dll; do
    from=$kit/$f to=$work/$name/$f
    if ! log=$(osslsigncode sign "${options[@]}" -in "$from" -out "$to.signed" 2>&1); then
        grep -q 'timestamping failed' <<<"$log" &&
            die "the timestamp server $timestamp gave no timestamp (RFC 3161): no signed kit written"
        die "osslsigncode cannot sign $f: $(grep -v '^$' <<<"$log" | tail -1)"
    fi
    mv "$to.signed" "$to"
    # The signature must come off again to the reproducible bytes, and verify.
    osslsigncode remove-signature -in "$to" -out "$work/stripped" >/dev/null 2>&1 && cmp -s "$work/stripped" "$from" ||
        die "$f: removing the signature does not give back the unsigned bytes"
    rm -f "$work/stripped"
    log=$("${verify[@]}" -in "$to" 2>&1) || die "osslsigncode verify refuses the signed $f: $(grep -i -m1 'fail\|error' <<<"$log")"
    printf 'sign-kit: %-22s %8d bytes unsigned, %8d signed (signature %d bytes)\n' "$f" "$(stat -c %s "$from")" \
        "$(stat -c %s "$to")" $(($(stat -c %s "$to") - $(stat -c %s "$from")))
done
bash "$src/tools/kit/seal.sh" "$work" "$name" "$cxx" "$release_key" "$native/kova-image"
mv "$work/$name" "$signed"
mv "$work/$name.zip" "$signed.zip"
echo "$signed"
echo "$signed.zip"
