#!/usr/bin/env bash
# Prints kovaflash's help as the program prints it: the whole of
# `kovaflash --help`, then the help of every command, each without the
# exit-status footer the main help already gave.
#   usage.sh KOVAFLASH [RUNNER]   (RUNNER: wine64 for kovaflash.exe)
set -euo pipefail
kovaflash=$1 runner=${2:-}
# The names listed under "Subcommands:" in a help text.
commands_of() { awk '/^Subcommands:/ {f=1; next} f && /^  [a-z]/ {print $1} f && /^$/ {f=0}' <<<"$1"; }
without_footer() { awk '/^Exit status:/ {exit} {print}' <<<"$1" | sed -e :a -e '/^\n*$/{$d;N;ba' -e '}'; }
show() {
    local text
    text=$($runner "$kovaflash" "$@" --help | tr -d '\r')
    local subs
    subs=$(commands_of "$text")
    if [ -z "$subs" ]; then
        printf '\n'
        without_footer "$text"
        return
    fi
    [ $# = 0 ] && printf '%s\n' "$text"
    for sub in $subs; do
        show "$@" "$sub"
    done
}
show
