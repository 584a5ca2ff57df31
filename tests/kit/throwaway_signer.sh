#!/usr/bin/env bash
# A throw-away code-signing certificate and release key for the signing
# tests, in DIR: vendor.p12 (its password in pass.txt), vendor.pem (the
# certificate, the CA its signatures are checked against), release.key and
# release.pub (made by kova-image), other.key/.pub (a key that is not the
# release's). Valid for two days.
# Usage: throwaway_signer.sh DIR KOVA_IMAGE
set -euo pipefail
dir=$1 kova_image=$2
mkdir -p "$dir"
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$dir/vendor-key.pem" -out "$dir/vendor.pem" -days 2 \
    -subj "/CN=KOVA Test Vendor/O=KOVA Test Vendor" -addext "keyUsage=critical,digitalSignature" \
    -addext "extendedKeyUsage=codeSigning" 2>/dev/null
printf 'throw-away\n' >"$dir/pass.txt"
openssl pkcs12 -export -inkey "$dir/vendor-key.pem" -in "$dir/vendor.pem" -out "$dir/vendor.p12" \
    -passout file:"$dir/pass.txt"
"$kova_image" keygen "$dir/release" >/dev/null
"$kova_image" keygen "$dir/other" >/dev/null
