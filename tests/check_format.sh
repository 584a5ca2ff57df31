#!/usr/bin/env bash
# Fails when any C++ source of the repository is not clang-format clean.
set -euo pipefail
root=$1
cd "$root"
mapfile -t files < <(find include platform src host trust records sim trace tools tests bench -name '*.cpp' -o -name '*.c' -o -name '*.h' 2>/dev/null | sort)
clang-format --dry-run -Werror "${files[@]}"
echo "${#files[@]} files clang-format clean"
