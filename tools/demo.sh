#!/usr/bin/env bash
# The demo: the host tool drives the library against a simulated K5R board
# kept in a board directory, as a flashing utility would on the real board.
# Usage: demo.sh KOVAFLASH BOARD_DIR
set -euo pipefail
tool=$1 board=$2
step() { printf '\n\033[1m$ kovaflash %s\033[0m\n' "$*"; "$tool" --board "$board" "$@"; }

echo "Simulated board: $board"
step info
step ec write 0x40 0xA5
step ec read 0x40
step ec write 0x41 7
step ec read 0x41
echo
echo "The board keeps its EC RAM and flash between runs; read it back any time with:"
echo "  $tool --board $board ec read 0x40"
