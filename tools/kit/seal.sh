#!/usr/bin/env bash
# Seals a kit folder whose files are final: writes its SBOM (from the build,
# with every file's SHA-256), then SHA256SUMS over every file, then, with a
# release key, SHA256SUMS.sig; then OUT/NAME.zip. One fixed time on every
# file and no extra attributes, so the zip is the same bytes wherever and
# whenever it is made.
# Usage: seal.sh OUT NAME CROSS_CXX [RELEASE_KEY KOVA_IMAGE]
set -euo pipefail
out=$1 name=$2 cxx=$3 release_key=${4:-} kova_image=${5:-}
here=$(cd "$(dirname "$0")" && pwd)
kit=$out/$name
# The version as the kit's own kova.h states it.
version=$(tr -d '\r' <"$kit/kova.h" | sed -n 's/^#define KOVA_VERSION_STRING "\(.*\)"$/\1/p')
[ -n "$version" ] || { echo "seal.sh: no version in $kit/kova.h" >&2; exit 1; }
rm -f "$kit/SBOM.cdx.json" "$kit/SHA256SUMS" "$kit/SHA256SUMS.sig" "$out/$name.zip"
# The SBOM is text of the kit: CRLF line ends, as every other.
python3 "$here/third_party.py" sbom "$cxx" "$kit" "$version" | sed 's/$/\r/' >"$out/.$name.sbom"
mv "$out/.$name.sbom" "$kit/SBOM.cdx.json"
mapfile -t files < <(cd "$kit" && find . -type f | sed 's|^\./||' | LC_ALL=C sort)
(cd "$kit" && sha256sum "${files[@]}" | sed 's/$/\r/' >SHA256SUMS)
listed=(SHA256SUMS)
if [ -n "$release_key" ]; then
    "$kova_image" sign-kit "$kit/SHA256SUMS" --key "$release_key" --kit "$name" >/dev/null
    listed+=(SHA256SUMS.sig)
fi
(cd "$out" && find "$name" -exec env TZ=UTC touch -h -d '2009-03-24 00:00:00' {} + &&
    TZ=UTC zip -q -X -D "$name.zip" $(printf "$name/%s " "${files[@]}" "${listed[@]}"))
