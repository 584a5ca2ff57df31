#!/usr/bin/env bash
# Builds the shipped files a second time, from the same sources, in another
# folder, and compares them byte for byte with the first build's.
#   check_reproducible.sh SOURCE_DIR FIRST_BUILD_DIR FILE...   (FILE relative to the build folder)
set -uo pipefail
src=$1 first=$2
shift 2
second=$(mktemp -d /tmp/kova-rebuild.XXXXXX)
trap 'rm -rf "$second"' EXIT
cmake -S "$src" -B "$second" -G Ninja -DCMAKE_BUILD_TYPE=Release \
    -DCMAKE_TOOLCHAIN_FILE="$src/cmake/i686-w64-mingw32.cmake" >/dev/null || exit 1
cmake --build "$second" --target KOVA ZUNDA ZUNDA_recorder kovaflash kova_implibs >/dev/null || { echo "second build failed"; exit 1; }
fail=0
for f in "$@"; do
    # A timestamp that slipped through would differ: the second build made
    # its file in a later second than the first build did.
    if [ "$(stat -c %Y "$first/$f")" = "$(stat -c %Y "$second/$f")" ]; then
        echo "FAIL: $f was made in the same second by both builds: a timestamp in it could not show"
        fail=1
    elif cmp -s "$first/$f" "$second/$f"; then
        echo "same: $f ($(stat -c %s "$first/$f") bytes)"
    else
        echo "FAIL: $f differs between $first and $second"
        cmp -l "$first/$f" "$second/$f" 2>&1 | head -5
        fail=1
    fi
done
exit $fail
