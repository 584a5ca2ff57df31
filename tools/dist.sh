#!/usr/bin/env bash
# Writes the kit a Windows host developer links against: OUT/KOVA-<version>/
# and OUT/KOVA-<version>.zip, the version being kova.h's. README.txt's
# usage section is kovaflash's own help, taken from the native build of the
# same sources. The same sources give the same kit, byte for byte.
# Usage: dist.sh SOURCE_DIR CROSS_BUILD_DIR OUT_DIR NATIVE_BIN_DIR
set -euo pipefail
src=$1 cross=$2 out=$3 native=$4
macro() { sed -n "s/^#define KOVA_VERSION_$1 \"\{0,1\}\([0-9.]*\)\"\{0,1\}$/\1/p" "$src/include/kova.h"; }
version=$(macro STRING) major=$(macro MAJOR) minor=$(macro MINOR)
[ -n "$version" ] && [ -n "$major" ] && [ -n "$minor" ] || { echo "no version in include/kova.h" >&2; exit 1; }
[ -x "$native/kovaflash" ] || { echo "no native kovaflash in $native (its help goes into README.txt)" >&2; exit 1; }
name=KOVA-$version
kit=$out/$name
rm -rf "$kit" "$kit.zip"
mkdir -p "$kit/examples" "$kit/diagnostics"
cp "$cross/bin/KOVA.dll" "$cross/bin/kovaflash.exe" "$cross/kit/libKOVA.dll.a" "$cross/kit/KOVA.lib" \
    "$cross/kit/KOVA.def" "$src/tools/kit/KOVAConfig.cmake" "$src/tools/kit/CHANGELOG.txt" "$src/LICENSE" "$kit/"
cp "$src/include/kova.h" "$kit/kova.h"
cp "$src/tools/kit/examples/host.c" "$kit/examples/host.c"
cp "$cross/bin/recorder/ZUNDA.dll" "$kit/diagnostics/ZUNDA.dll"
fill() {
    sed -e "s/@VERSION@/$version/g" -e "s/@VERSION_MAJOR@/$major/g" -e "s/@VERSION_MINOR@/$minor/g" \
        -e "s/@VERSION_MAJOR2@/${version%%.*}/g" -e "s/@VERSION_MINOR2@/${version#*.}/g" "$1"
}
fill "$src/tools/kit/KOVAConfigVersion.cmake" >"$kit/KOVAConfigVersion.cmake"
KIT_USAGE=$(bash "$src/tools/kit/usage.sh" "$native/kovaflash") || { echo "kovaflash --help failed" >&2; exit 1; }
export KIT_USAGE
fill "$src/tools/kit/README.txt" | awk '$0 == "@USAGE@" {print ENVIRON["KIT_USAGE"]; next} {print}' >"$kit/README.txt"
# The cross compiler the binaries were linked with: the third-party code
# they hold is what it took from Debian's packages.
cxx=$(cat "$cross/kit/cross-compiler.txt" 2>/dev/null || true)
[ -x "$cxx" ] || { echo "no cross compiler named in $cross/kit/cross-compiler.txt" >&2; exit 1; }
python3 "$src/tools/kit/third_party.py" notices "$cxx" >"$kit/THIRD-PARTY-NOTICES.txt"
# Every text file of the kit ends its lines with CRLF, as Windows editors
# expect (Notepad before Windows 10 1809 shows LF-only text as one line).
text_files=(kova.h KOVA.def KOVAConfig.cmake KOVAConfigVersion.cmake examples/host.c LICENSE THIRD-PARTY-NOTICES.txt
    CHANGELOG.txt README.txt)
for f in "${text_files[@]}"; do
    sed -i -e 's/\r$//' -e 's/$/\r/' "$kit/$f"
done
bash "$src/tools/kit/seal.sh" "$out" "$name" "$cxx"
echo "$kit"
echo "$kit.zip"
