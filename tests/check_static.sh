#!/usr/bin/env bash
# Static analysis of the library: clang-tidy with the committed .clang-tidy
# and cppcheck, both must be clean.
set -euo pipefail
root=$1
cd "$root"
mapfile -t sources < <(find src -name '*.cpp' | sort)
flags=(-std=c++17 -ffreestanding -fno-exceptions -fno-rtti -Iinclude -Iplatform -Isrc)
out=$(clang-tidy --quiet "${sources[@]}" -- "${flags[@]}" 2>&1 | grep -E 'warning:|error:' || true)
if [ -n "$out" ]; then
    echo "$out"
    echo "clang-tidy: findings above"
    exit 1
fi
cppcheck --enable=warning,style,performance,portability --error-exitcode=1 --inline-suppr --std=c++17 \
    -Iinclude -Iplatform -Isrc --quiet src
echo "${#sources[@]} library sources clean under clang-tidy and cppcheck"
