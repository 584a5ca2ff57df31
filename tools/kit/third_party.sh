#!/usr/bin/env bash
# Prints THIRD-PARTY-NOTICES.txt: the licence of every library linked into
# kovaflash.exe and diagnostics/ZUNDA.dll, taken from the copyright file of the Debian package it was
# built from, so the notices follow the libraries the build really used.
# KOVA.dll links nothing of others (it has no C runtime).
# Usage: third_party.sh   (fails, naming the package, when a file is missing)
set -euo pipefail
# name|Debian package|what kovaflash.exe holds of it
libraries=(
    "CLI11|libcli11-dev|the command line (header-only, BSD-3-Clause)"
    "nlohmann/json|nlohmann-json3-dev|--json output, the history (header-only, MIT)"
    "MinGW-w64 runtime and winpthreads|mingw-w64-i686-dev|the C runtime start-up, its helpers and threads"
    "GCC runtime: libstdc++ and libgcc|gcc-mingw-w64-base|the C++ standard library and the compiler's support code (GPL-3.0 with the GCC Runtime Library Exception)"
    "zlib|libz-mingw-w64-dev|diagnostics/ZUNDA.dll only: the compression of its traces (zlib licence)"
)
cat <<'HEAD'
Third-party notices for kovaflash.exe and diagnostics/ZUNDA.dll
================================================================
kovaflash.exe and diagnostics/ZUNDA.dll are built from this kit's sources
(MIT, see LICENSE) and contain code of the libraries below, linked
statically (zlib in diagnostics/ZUNDA.dll only). Each one's copyright and
licence follow, as the Debian package it was built from states them.
KOVA.dll contains no third-party code.
HEAD
for row in "${libraries[@]}"; do
    IFS='|' read -r name package what <<<"$row"
    file=/usr/share/doc/$package/copyright
    [ -r "$file" ] || { echo "third_party.sh: $file missing: install the Debian package $package" >&2; exit 1; }
    printf '\n\n== %s ==\n%s (Debian package %s)\n\n' "$name" "$what" "$package"
    cat "$file"
done
