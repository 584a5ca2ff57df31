#!/usr/bin/env bash
# Writes the kit a Windows host developer links against: OUT/KOVA-<version>/
# and OUT/KOVA-<version>.zip, the version being the version resource's
# ProductVersion. The same sources give the same kit, byte for byte.
# Usage: dist.sh SOURCE_DIR CROSS_BUILD_DIR OUT_DIR
set -euo pipefail
src=$1 cross=$2 out=$3
version=$(sed -n 's/.*VALUE "ProductVersion", "\([^"\\]*\).*/\1/p' "$src/src/version.rc")
[ -n "$version" ] || { echo "no ProductVersion in src/version.rc" >&2; exit 1; }
name=KOVA-$version
kit=$out/$name
rm -rf "$kit" "$kit.zip"
mkdir -p "$kit"
cp "$cross/bin/KOVA.dll" "$cross/bin/kovaflash.exe" "$cross/kit/libKOVA.dll.a" "$cross/kit/KOVA.lib" "$kit/"
cp "$src/include/kova.h" "$kit/kova.h"
cp "$src/include/kova.def" "$kit/KOVA.def"
sed 's/$/\r/' "$src/tools/kit/README.txt" >"$kit/README.txt"  # CRLF: read on Windows
files=(KOVA.dll kova.h KOVA.def libKOVA.dll.a KOVA.lib kovaflash.exe README.txt)
(cd "$kit" && sha256sum "${files[@]}" >SHA256SUMS)
# One fixed time on every file and no extra attributes, so the zip is the
# same bytes wherever and whenever it is made.
(cd "$out" && TZ=UTC touch -d '2009-03-24 00:00:00' "$name" "$name"/* &&
    TZ=UTC zip -q -X -D "$name.zip" $(printf "$name/%s " "${files[@]}" SHA256SUMS))
echo "$kit"
echo "$kit.zip"
