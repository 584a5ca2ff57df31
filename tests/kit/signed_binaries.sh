#!/usr/bin/env bash
# kovaflash.exe and KOVA.dll with an Authenticode signature run as they do
# without one: signed with a throw-away certificate, beside the
# simulator's ZUNDA.dll, they pass the host tool's CLI cases (and the DLL's
# own cases where dll_test.exe is built); and the signed kovaflash.exe
# checks a kit's signed list with Windows CNG: a good one taken, a changed
# file and another key's signature refused.
# Usage: signed_binaries.sh BIN_DIR LOADER NATIVE_BIN_DIR   (LOADER: wine or wine64)
set -uo pipefail
bin=$1 loader=$2 native=$3
here=$(cd "$(dirname "$0")" && pwd)
work=$(mktemp -d /tmp/kova-signed-bin.XXXXXX)
trap 'rm -rf "$work"' EXIT
fail=0
bad() { echo "FAIL: $*"; fail=1; }
bash "$here/throwaway_signer.sh" "$work/keys" "$native/kova-image" || { echo "FAIL: no throw-away signer"; exit 1; }
keys=$work/keys
mkdir "$work/run"
for f in kovaflash.exe KOVA.dll; do
    osslsigncode sign -pkcs12 "$keys/vendor.p12" -readpass "$keys/pass.txt" -h sha256 -n "KOVA Test Vendor" \
        -i https://kova.example/release -in "$bin/$f" -out "$work/run/$f" >/dev/null 2>&1 || bad "cannot sign $f"
    osslsigncode verify -CAfile "$keys/vendor.pem" -in "$work/run/$f" >/dev/null 2>&1 || bad "the signed $f does not verify"
done
cp "$bin/ZUNDA.dll" "$work/run/"
[ $fail = 0 ] || exit 1

bash "$here/../tools/kovaflash_cli.sh" "$work/run/kovaflash.exe" "$loader" "$native/kova-image" >"$work/cli.out" 2>&1 ||
    bad "the signed kovaflash.exe and KOVA.dll fail the CLI cases: $(grep -A3 FAIL "$work/cli.out" | head -20)"
if [ -f "$bin/dll_test.exe" ]; then
    cp "$bin/dll_test.exe" "$work/run/"
    (cd "$work/run" && "$loader" dll_test.exe --gtest_brief=1 >"$work/dll.out" 2>&1) ||
        bad "the signed KOVA.dll fails its cases: $(tail -20 "$work/dll.out")"
fi

# verify-kit through CNG, on a small kit signed with the release key, in a
# folder named in Cyrillic, Greek and CJK (the names shown as they are).
kit="$work/комплект κιτ 套件/KOVA-0.0"
mkdir -p "$kit/examples"
printf 'readme\r\n' >"$kit/README.txt"
printf 'int main(void) { return 0; }\r\n' >"$kit/examples/host.c"
(cd "$kit" && sha256sum README.txt examples/host.c | sed 's/$/\r/' >SHA256SUMS)
"$native/kova-image" sign-kit "$kit/SHA256SUMS" --key "$keys/release.key" --kit KOVA-0.0 >/dev/null
. "$here/../tools/launch.sh"
verify_kit() { (cd "$work/run" && launch "$loader" ./kovaflash.exe verify-kit "$kit" --release-key "$keys/release.pub"); }
out=$(verify_kit 2>&1) || bad "verify-kit under $loader refuses a good kit: $out"
grep -q 'all 2 files as signed' <<<"$out" || bad "verify-kit under $loader: $out"
printf 'stray\r\n' >"$kit/examples/заметка.txt"
out=$(verify_kit 2>&1)
[ $? = 3 ] && grep -q 'extra         : examples/заметка.txt' <<<"$out" || bad "verify-kit under $loader, an extra file: $out"
rm "$kit/examples/заметка.txt"
printf 'x' >>"$kit/README.txt"
out=$(verify_kit 2>&1)
[ $? = 3 ] && grep -q 'differs       : README.txt' <<<"$out" || bad "verify-kit under $loader takes a changed file: $out"
"$native/kova-image" sign-kit "$kit/SHA256SUMS" --key "$keys/other.key" --kit KOVA-0.0 --replace >/dev/null
out=$(verify_kit 2>&1)
[ $? = 3 ] && grep -q 'not by the release key' <<<"$out" || bad "verify-kit under $loader takes another key's list: $out"
[ $fail = 0 ] && echo "signed kovaflash.exe and KOVA.dll under $loader: the CLI cases$([ -f "$bin/dll_test.exe" ] &&
    echo " and the DLL's cases") passed; verify-kit took the good kit through CNG and refused two damaged ones"
exit $fail
